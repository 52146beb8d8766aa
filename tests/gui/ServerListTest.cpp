// The target server list: the split rule, the edit box <-> list rules, the list files' exact
// bytes, and the six buttons as the window wires them.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include "GuiTestSupport.h"
#include "gui/ServerList.h"
#include "gui/uMain.h"

namespace kova::gui {
namespace {

using guitest::Child;
using guitest::Click;

struct TSplitCase {
  std::string Text;
  std::optional<std::pair<std::string, std::string>> Expected;
};

class SplitRule : public ::testing::TestWithParam<TSplitCase> {};

TEST_P(SplitRule, NeedsOneCharacterEachSideOfTheFirstColon) {
  const auto& c = GetParam();
  const auto got = SplitTarget(c.Text);
  ASSERT_EQ(got.has_value(), c.Expected.has_value()) << "'" << c.Text << "'";
  if (got) {
    EXPECT_EQ(got->Host, c.Expected->first);
    EXPECT_EQ(got->Port, c.Expected->second);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitRule,
    ::testing::Values(TSplitCase{"10.0.0.1:80", {{"10.0.0.1", "80"}}}, TSplitCase{"10.0.0.1", std::nullopt},
                      TSplitCase{":80", std::nullopt}, TSplitCase{"10.0.0.1:", std::nullopt},
                      TSplitCase{":", std::nullopt}, TSplitCase{"", std::nullopt},
                      TSplitCase{"a:b:c", {{"a", "b:c"}}},            // further colons belong to the port
                      TSplitCase{" a : b ", {{" a ", " b "}}},         // nothing is trimmed
                      TSplitCase{"服务器:http", {{"服务器", "http"}}}));

TEST(ServerListText, EveryKindOfLineBreakLoadsAsOne) {
  const std::vector<std::pair<QByteArray, QString>> cases = {
      {"a:1\r\nb:2\r\n", "a:1\nb:2\n"}, {"a:1\nb:2", "a:1\nb:2"},   {"a:1\rb:2\r", "a:1\nb:2\n"},
      {"a\r\r\nb", "a\n\nb"},           {"a\n\rb", "a\n\nb"},      {"a\n\r\nb", "a\n\nb"},
      {"", ""},                         {"\r\n", "\n"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(EditTextFromFileBytes(bytes), text) << bytes.toStdString();
  EXPECT_EQ(FileBytesFromEditText("a:1\n\nb:2"), QByteArray("a:1\r\n\r\nb:2"));
}

// ---- through the window --------------------------------------------------------------------------

class ServerListWindow : public ::testing::Test {
 protected:
  guitest::TSeamScope seams;
  TFormMain form;
  QTemporaryDir dir;
  QComboBox* box = Child<QComboBox>(form, "EdServerIP");
  QPlainTextEdit* edit = Child<QPlainTextEdit>(form, "EdServers");

  QStringList Entries() {
    QStringList l;
    for (int i = 0; i < box->count(); ++i) l << box->itemText(i);
    return l;
  }
  QString Path(const char* name) { return dir.filePath(QLatin1String(name)); }
  static QByteArray ReadFile(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
  }
  static void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
  }
  void Load(const QString& path) {
    seams.NextFileName = path;
    Click(form, "BtLoad");
  }
  void Save(const QString& path) {
    seams.NextFileName = path;
    Click(form, "BtSave");
  }
};

TEST_F(ServerListWindow, AddAppendsTheTextUnconditionallyAndKeepsIt) {
  Click(form, "BtServerAdd");  // empty text: an empty entry
  box->setEditText("10.0.0.1:80");
  Click(form, "BtServerAdd");
  Click(form, "BtServerAdd");  // duplicates too
  EXPECT_EQ(Entries(), QStringList({"", "10.0.0.1:80", "10.0.0.1:80"}));
  EXPECT_EQ(box->currentText(), "10.0.0.1:80");
  EXPECT_EQ(form.Engine().TargetHost(), "");  // adding chooses no target
}

TEST_F(ServerListWindow, UseTakesOnlyUsableTextsAndSaysNothingOtherwise) {
  box->setEditText("first:1");
  Click(form, "BtServerUse");
  for (const char* unusable : {"10.0.0.1", ":80", "10.0.0.1:", ""}) {
    box->setEditText(unusable);
    Click(form, "BtServerUse");
    EXPECT_EQ(form.Engine().TargetHost(), "first") << unusable;
    EXPECT_EQ(form.Engine().TargetPort(), "1");
  }
  box->setEditText("a:b:c");
  Click(form, "BtServerUse");
  EXPECT_EQ(form.Engine().TargetHost(), "a");
  EXPECT_EQ(form.Engine().TargetPort(), "b:c");
  EXPECT_EQ(box->count(), 0);
  EXPECT_TRUE(seams.Messages.empty());
}

TEST_F(ServerListWindow, EditAndApplyMoveTextOnlyWhenPressed) {
  edit->setPlainText("a:1\n\nb:2\n");
  box->setEditText("typed:9");
  Click(form, "BtUpdate");
  EXPECT_EQ(Entries(), QStringList({"a:1", "", "b:2"}));
  EXPECT_EQ(box->currentText(), "typed:9");  // applying the list does not choose a server
  EXPECT_EQ(form.Engine().NextServerIndex(), 0);

  edit->setPlainText("unsaved");
  Click(form, "BtEdit");  // discards the edit box without a question
  EXPECT_EQ(form.EditBoxText(), "a:1\n\nb:2\n");

  edit->setPlainText("");
  Click(form, "BtUpdate");  // an empty edit box empties the list in use
  EXPECT_EQ(box->count(), 0);
  Click(form, "BtEdit");
  EXPECT_EQ(form.EditBoxText(), "");
}

TEST_F(ServerListWindow, EditThenSaveWritesCrLfAfterEveryEntry) {
  box->addItems({"a:1", "b:2"});
  Click(form, "BtEdit");
  Save(Path("list.txt"));
  EXPECT_EQ(ReadFile(Path("list.txt")), QByteArray("a:1\r\nb:2\r\n"));
  edit->setPlainText("edited, not applied");  // save writes the edit box, not the list in use
  Save(Path("list.txt"));                      // and replaces the file without a question
  EXPECT_EQ(ReadFile(Path("list.txt")), QByteArray("edited, not applied"));
  EXPECT_TRUE(seams.Messages.empty());
}

TEST_F(ServerListWindow, LoadThenSaveIsByteExactUpToLineBreaks) {
  const std::vector<std::pair<QByteArray, QByteArray>> cases = {
      {"a:1\r\nb:2\r\n", "a:1\r\nb:2\r\n"},
      {"a:1\nb:2\n", "a:1\r\nb:2\r\n"},  // lone LF becomes CR LF
      {"a:1\rb:2\r", "a:1\r\nb:2\r\n"},  // lone CR too
      {"a:1\r\nb:2", "a:1\r\nb:2"},      // no break after the last line: none added
      {"", ""},
      {"\r\n", "\r\n"},
      // Characters the edit box could quietly change (no-break space, tab, CJK) come back as they were.
      {"\xe4\xb8\xbb\xe6\x9c\xba:80\xc2\xa0\t\r\n", "\xe4\xb8\xbb\xe6\x9c\xba:80\xc2\xa0\t\r\n"},
  };
  for (const auto& [in, out] : cases) {
    WriteFile(Path("in.txt"), in);
    Load(Path("in.txt"));
    Save(Path("out.txt"));
    EXPECT_EQ(ReadFile(Path("out.txt")), out) << in.toStdString();
  }
}

TEST_F(ServerListWindow, LoadedLinesBecomeEntriesOnlyAtApply) {
  WriteFile(Path("in.txt"), "a:1\r\n\r\nb:2\r\n");
  box->addItem("old:1");
  Load(Path("in.txt"));
  EXPECT_EQ(Entries(), QStringList({"old:1"}));
  Click(form, "BtUpdate");
  EXPECT_EQ(Entries(), QStringList({"a:1", "", "b:2"}));
}

TEST_F(ServerListWindow, FileErrorsShowTheirBoxAndChangeNothing) {
  // The system's text gets exactly one full stop after it.
  auto reason = [](int error) {
    const QString text = QString::fromLocal8Bit(std::strerror(error));
    return text.endsWith('.') ? text : text + '.';
  };
  edit->setPlainText("kept");
  Load(Path("missing.txt"));
  Load(dir.path());  // a folder opens but cannot be read
  Save(Path("no/such/folder/x.txt"));
  ASSERT_EQ(seams.Messages.size(), 3u);
  EXPECT_EQ(seams.Messages[0].Text, "Cannot open file \"" + Path("missing.txt") + "\". " + reason(ENOENT));
  EXPECT_EQ(seams.Messages[1].Text, "Cannot open file \"" + dir.path() + "\". " + reason(EISDIR));
  EXPECT_EQ(seams.Messages[2].Text, "Cannot create file \"" + Path("no/such/folder/x.txt") + "\". " + reason(ENOENT));
  for (const auto& m : seams.Messages) {
    EXPECT_EQ(m.Title, "KOVA 2.0");
    EXPECT_TRUE(m.Error);
  }
  EXPECT_EQ(form.EditBoxText(), "kept");
}

TEST_F(ServerListWindow, RelativeNamesAreReportedWithTheirFullPath) {
  const QString old = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir.path()));
  Load("missing.txt");
  QDir::setCurrent(old);
  ASSERT_EQ(seams.Messages.size(), 1u);
  EXPECT_TRUE(seams.Messages[0].Text.startsWith("Cannot open file \"" + Path("missing.txt") + "\". "));
}

TEST_F(ServerListWindow, DialogsShowTheirFileTypesAndCancelDoesNothing) {
  edit->setPlainText("kept");
  Load(QString());
  Save(QString());
  EXPECT_EQ(form.EditBoxText(), "kept");
  EXPECT_TRUE(seams.Messages.empty());
  ASSERT_EQ(seams.Requests.size(), 2u);
  // What the window asks for, shown by the real dialog: labels exact (the save dialog's second
  // one has a full-width "（"), patterns working behind them, "*.txt" in ".", suffix "txt".
  const std::vector<std::pair<QString, QString>> expected = {{"文本文件(*.txt)", "所有文件(*.*)"},
                                                             {"文本文件(*.txt)", "所有文件（*.*)"}};
  for (int i = 0; i < 2; ++i) {
    const TFileRequest& request = seams.Requests[i];
    std::unique_ptr<QFileDialog> dialog(TUiSeam::MakeFileDialog(nullptr, request));
    auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(types, nullptr);
    ASSERT_EQ(types->count(), 2);
    EXPECT_EQ(types->itemText(0), expected[i].first);
    EXPECT_EQ(types->itemText(1), expected[i].second);
    EXPECT_EQ(dialog->nameFilters(), QStringList({expected[i].first + " (*.txt)", expected[i].second + " (*.*)"}));
    EXPECT_EQ(dialog->acceptMode(), i == 0 ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    EXPECT_EQ(dialog->defaultSuffix(), "txt");
    EXPECT_EQ(dialog->directory(), QDir("."));
    EXPECT_EQ(request.InitialName, "*.txt");
  }
  EXPECT_TRUE(std::unique_ptr<QFileDialog>(TUiSeam::MakeFileDialog(nullptr, seams.Requests[1]))
                  ->testOption(QFileDialog::DontConfirmOverwrite));
}

}  // namespace
}  // namespace kova::gui
