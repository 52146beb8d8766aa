// The server list through the window: the buttons, the file's exact bytes, error boxes, dialog wildcards.

#include <cstring>

#include "GuiTestSupport.h"

namespace kova::gui {

using namespace Qt::Literals::StringLiterals;

class ServerList : public FormTest {
 protected:
  QTemporaryDir dir;
  const QString old = QDir::currentPath();
  const bool inDir = QDir::setCurrent(dir.path());  // relative names and the dialogs start here
  ~ServerList() override { QDir::setCurrent(old); }
  QPlainTextEdit* edit = Child<QPlainTextEdit>("EdServers");

  QStringList Entries() {
    QStringList l;
    for (int i = 0; i < Server()->count(); ++i) l << Server()->itemText(i);
    return l;
  }
  QString Path(const char* name) { return dir.filePath(QLatin1String(name)); }
  bool Write(const char* name, const QByteArray& bytes) {
    QFile f(Path(name));
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.flush();
  }
  QByteArray Read(const char* name) {
    QFile f(Path(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : "(none)";
  }
  void File(const char* button, const QString& answer) { nextFileName = answer, Click(button); }
};

TEST_F(ServerList, ButtonsAndFilesKeepEveryByteAndWildcardNamesOnlyFilterTheDialogs) {
  ASSERT_TRUE(inDir);
  Click("BtServerAdd");  // empty text and repeated entries are added as they are; adding chooses no target
  Server()->setEditText("192.0.2.1:80");
  for (int i = 0; i < 2; ++i) Click("BtServerAdd");
  EXPECT_EQ(Entries(), QStringList({"", "192.0.2.1:80", "192.0.2.1:80"}));
  EXPECT_EQ(Server()->currentText() + "|" + QString::fromStdString(form.Engine().TargetHost()), "192.0.2.1:80|");
  // typed -> target afterwards (the text rules are the socket layer's); an unusable text changes nothing
  const std::vector<std::pair<QString, std::string>> uses = {
      {"first:1", "first|1"}, {"192.0.2.1", "first|1"}, {"[::1]:8080", "::1|8080"}, {"h:65536", "::1|8080"}};
  for (const auto& [typed, target] : uses) {
    Server()->setEditText(typed);
    Click("BtServerUse");
    EXPECT_EQ(form.Engine().TargetHost() + "|" + form.Engine().TargetPort(), target) << typed.toStdString();
  }
  EXPECT_EQ(Server()->count(), 3);
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

  const QByteArray big = "host\xC4\xE3:8\xFF\x01"_ba.repeated(314'573);  // one 3 MB line
  // file bytes -> saved after loading them (out.txt replaced silently); empty = the same bytes
  const std::vector<std::pair<QByteArray, QByteArray>> cases = {
      {"\xE4\xB8\xBB\xE6\x9C\xBA:80\xC2\xA0\t\r\n"_ba, {}},                      // UTF-8 Chinese, no-break space
      {"\xC4\xE3\xBA\xC3:1\r\n\xD6\xD0:2"_ba, {}},                                  // GBK, no final break
      {"\xFF\xFE\xFD:80\r\n\x80\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xE4\xB8"_ba, {}},  // invalid, cut short
      // byte-order mark, valid and invalid mixed, separators the box breaks, placeholder look-alikes
      {"\xEF\xBB\xBF" "a\xE4\xB8\xBB\xC4\xE3\xFF\xF0\x9F\x98\x80:1\xE2\x80\xA9\xEF\xB7\x90\xEF\x9C\x80\xEF\x9F\xBF"_ba, {}},
      {"\x00\x01\x1F\x7F\t\x0B\x0C:1\x00\r\n"_ba, {}},  // NUL and control bytes
      {"a:1\rb:2\r"_ba, "a:1\r\nb:2\r\n"_ba},
      {"a\r\r\nb\n\rc\r\n"_ba, "a\r\n\r\nb\r\n\r\nc\r\n"_ba},
      {""_ba, {}}, {big, {}}};
  for (const auto& [in, out] : cases) {
    ASSERT_TRUE(Write("in.txt", in));
    File("BtLoad", Path("in.txt"));
    File("BtSave", Path("out.txt"));
    EXPECT_EQ(Read("out.txt"), out.isEmpty() ? in : out) << in.left(40).toHex().toStdString();
  }
  EXPECT_EQ(Entries(), QStringList());  // loading leaves the list in use alone

  // Other bytes show as placeholders; the engine gets the file's bytes, or none for a name with a NUL.
  ASSERT_TRUE(Write("in.txt", "\xC4\xE3:1\r\n\xE4\xB8\xBB:2\r\n127.0.0.1\x00x:3\r\n"_ba));
  File("BtLoad", Path("in.txt"));
  Click("BtUpdate");
  EXPECT_EQ(Entries(), QStringList({u"\uF7C4\uF7E3:1"_s, u"主:2"_s, u"127.0.0.1\0x:3"_s}));
  EXPECT_EQ(form.ServerItem(0) + "|" + form.ServerItem(1) + "|" + form.ServerItem(2), "\xC4\xE3:1|\xE4\xB8\xBB:2|");
  form.SetServerText(form.ServerItem(0));  // what NextServer shows, read back
  EXPECT_EQ(Server()->currentText(), Entries()[0]);
  Click("BtServerUse");
  EXPECT_EQ(form.Engine().TargetHost(), "\xC4\xE3");

  // Errors and cancelling change nothing.
  auto box = [](const QString& what, const QString& path, int error) {  // the system's text, one full stop
    const QString reason = QString::fromLocal8Bit(std::strerror(error));
    return "KOVA 2.0|Cannot " + what + " file \"" + path + "\". " + reason + (reason.endsWith('.') ? "" : ".") + "|error";
  };
  edit->setPlainText("kept");
  File("BtLoad", "missing.txt");  // a relative name is reported with its full path
  File("BtLoad", dir.path());  // a folder opens but cannot be read
  File("BtSave", Path("no/such/x.txt"));
  for (const char* button : {"BtLoad", "BtSave"}) File(button, QString());  // cancelled
  EXPECT_EQ(messages, QStringList({box("open", Path("missing.txt"), ENOENT), box("open", dir.path(), EISDIR),
                                   box("create", Path("no/such/x.txt"), ENOENT)}));
  EXPECT_EQ(form.EditBoxText(), "kept");

  // Wildcard names in both of Qt's own dialogs only filter the listing.
  TUiSeam::SetFileHook(nullptr);
  messages.clear();
  ASSERT_TRUE(Write("b.log", "b:2"));
  // Each step types a name ("" keeps the one shown) and accepts; the log notes the name and filter before.
  QStringList steps, log;
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] {
    auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!d) return;
    if (steps.isEmpty()) return log << "still open", d->reject();  // a dialog that should have closed
    auto* name = d->findChild<QLineEdit*>("fileNameEdit");
    log << name->text() + "|" + d->findChild<QFileSystemModel*>()->nameFilters().join(';');
    if (const QString step = steps.takeFirst(); !step.isEmpty()) name->setText(step);
    QMetaObject::invokeMethod(d, "accept");  // what its accept button does
  });
  driver.start(10);
  edit->setPlainText("kept 主");  // typed text is written in UTF-8
  steps = {"", "*.l?g", "new"};
  Click("BtSave");
  steps = {"", "*.LOG;*.log", "b.log"};
  Click("BtLoad");
  EXPECT_EQ(log, QStringList({"*.txt|*.txt", "*.txt|*.txt", "*.l?g|*.l?g", "*.txt|*.txt", "*.txt|*.txt", "*.LOG;*.log|*.LOG;*.log"}));
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"b.log", "in.txt", "new.txt", "out.txt"}));
  EXPECT_EQ(Read("new.txt"), "kept \xE4\xB8\xBB");
  EXPECT_EQ(form.EditBoxText(), "b:2");
}

}  // namespace kova::gui
