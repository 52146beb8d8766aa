// The target server list through the window: the six buttons, the list file's exact bytes and
// the file error boxes.

#include <cstring>

#include "GuiTestSupport.h"

namespace kova::gui {

class ServerList : public FormTest {
 protected:
  QTemporaryDir dir;
  QPlainTextEdit* edit = Child<QPlainTextEdit>("EdServers");

  QStringList Entries() {
    QStringList l;
    for (int i = 0; i < Server()->count(); ++i) l << Server()->itemText(i);
    return l;
  }
  QString Path(const char* name) { return dir.filePath(QLatin1String(name)); }
  void File(const char* button, const QString& answer) {
    nextFileName = answer;
    Click(button);
  }
};

TEST_F(ServerList, AddUseEditAndApply) {
  Click("BtServerAdd");  // empty text and duplicates are added as they are
  Server()->setEditText("192.0.2.1:80");
  Click("BtServerAdd");
  Click("BtServerAdd");
  EXPECT_EQ(Entries(), QStringList({"", "192.0.2.1:80", "192.0.2.1:80"}));
  EXPECT_EQ(Server()->currentText(), "192.0.2.1:80");
  EXPECT_EQ(form.Engine().TargetHost(), "");  // adding chooses no target

  // typed -> target afterwards: split at the first ':', one character each side, nothing trimmed
  const std::vector<std::pair<QString, std::string>> uses = {
      {"first:1", "first|1"}, {"192.0.2.1", "first|1"}, {":80", "first|1"}, {"h:", "first|1"},
      {"", "first|1"},        {"a:b:c", "a|b:c"},      {" a : b ", " a | b "}};
  for (const auto& [typed, target] : uses) {
    Server()->setEditText(typed);
    Click("BtServerUse");
    EXPECT_EQ(form.Engine().TargetHost() + "|" + form.Engine().TargetPort(), target) << typed.toStdString();
  }
  EXPECT_EQ(Server()->count(), 3);  // using adds nothing

  edit->setPlainText("a:1\n\nb:2\n");
  Server()->setEditText("typed:9");
  Click("BtUpdate");
  EXPECT_EQ(Entries(), QStringList({"a:1", "", "b:2"}));
  EXPECT_EQ(Server()->currentText(), "typed:9");  // applying chooses no server
  edit->setPlainText("unsaved");
  Click("BtEdit");  // discards the edit box without a question
  EXPECT_EQ(form.EditBoxText(), "a:1\n\nb:2\n");
  edit->setPlainText("");
  Click("BtUpdate");
  EXPECT_EQ(Server()->count(), 0);
  EXPECT_TRUE(messages.empty());
}

TEST_F(ServerList, FilesRoundTripByteExactExceptLineBreaksAndErrorsChangeNothing) {
  Server()->addItems({"a:1", "b:2"});
  // file bytes -> saved after loading them, replacing out.txt silently: only breaks change
  const std::vector<std::pair<QByteArray, QByteArray>> cases = {
      {"a:1\r\nb:2\r\n", "a:1\r\nb:2\r\n"}, {"a:1\nb:2\n", "a:1\r\nb:2\r\n"}, {"a:1\rb:2\r", "a:1\r\nb:2\r\n"},
      {"a:1\r\nb:2", "a:1\r\nb:2"},         {"", ""},                         {"\r\n", "\r\n"},
      {"a\r\r\nb\n\rc", "a\r\n\r\nb\r\n\r\nc"},
      {"\xe4\xb8\xbb\xe6\x9c\xba:80\xc2\xa0\t\r\n", "\xe4\xb8\xbb\xe6\x9c\xba:80\xc2\xa0\t\r\n"}};
  for (const auto& [in, out] : cases) {
    QFile f(Path("in.txt")), saved(Path("out.txt"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(in) == in.size() && f.flush());
    File("BtLoad", Path("in.txt"));
    File("BtSave", Path("out.txt"));
    EXPECT_EQ(saved.open(QIODevice::ReadOnly) ? saved.readAll() : "(none)", out) << in.toStdString();
  }
  EXPECT_EQ(Entries(), QStringList({"a:1", "b:2"}));  // loading leaves the list in use alone
  Click("BtUpdate");
  EXPECT_EQ(Entries(), QStringList({"主机:80\u00a0\t"}));

  // Errors and cancelling change nothing.
  auto box = [](const QString& what, const QString& path, int error) {  // the system's text, one full stop
    const QString reason = QString::fromLocal8Bit(std::strerror(error));
    return "KOVA 2.0|Cannot " + what + " file \"" + path + "\". " + reason + (reason.endsWith('.') ? "" : ".") +
           "|error";
  };
  edit->setPlainText("kept");
  const QString old = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir.path()));
  File("BtLoad", "missing.txt");  // a relative name is reported with its full path
  QDir::setCurrent(old);
  File("BtLoad", dir.path());  // a folder opens but cannot be read
  File("BtSave", Path("no/such/x.txt"));
  File("BtLoad", QString());  // cancelled
  File("BtSave", QString());
  EXPECT_EQ(messages, QStringList({box("open", Path("missing.txt"), ENOENT), box("open", dir.path(), EISDIR),
                                   box("create", Path("no/such/x.txt"), ENOENT)}));
  EXPECT_EQ(form.EditBoxText(), "kept");
}

}  // namespace kova::gui
