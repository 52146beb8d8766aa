// One copy per user: the guard's key, its lock, and the real program refusing a second start.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "GuiTestSupport.h"
#include "gui/SingleInstance.h"

#include <sys/stat.h>

namespace kova::gui {
namespace {

TEST(SingleInstanceKey, IsTheExecutableFileNameInUpperCase) {
  const std::vector<std::pair<QString, QString>> cases = {
      {"/usr/bin/kova", "KOVA"}, {"kova", "KOVA"}, {"/opt/x/Relay.exe", "RELAY.EXE"}, {"/a/b/KoVa", "KOVA"}};
  for (const auto& [path, key] : cases) EXPECT_EQ(TSingleInstance::KeyForExecutable(path), key) << path.toStdString();
}

TEST(SingleInstanceLock, SecondHolderOfTheSameKeySeesTheFirst) {
  QTemporaryDir dir;
  auto first = std::make_unique<TSingleInstance>(TSingleInstance::KeyForExecutable("/a/kova"), dir.path());
  EXPECT_FALSE(first->AnotherCopyRuns());
  {
    // Same name in another folder and in another letter case: the same program.
    TSingleInstance second(TSingleInstance::KeyForExecutable("/b/KOVA"), dir.path());
    EXPECT_TRUE(second.AnotherCopyRuns());
    TSingleInstance other(TSingleInstance::KeyForExecutable("/a/relay"), dir.path());
    EXPECT_FALSE(other.AnotherCopyRuns());
  }
  first.reset();
  TSingleInstance next(TSingleInstance::KeyForExecutable("/a/kova"), dir.path());
  EXPECT_FALSE(next.AnotherCopyRuns());
}

TEST(SingleInstanceLock, AnUnusableFolderDoesNotStopTheProgram) {
  TSingleInstance guard("KOVA", "/nonexistent/folder");
  EXPECT_FALSE(guard.AnotherCopyRuns());
}

// The real program as child processes, with a private runtime folder and message log.
class SingleInstanceProgram : public ::testing::Test {
 protected:
  QTemporaryDir runtime;
  QString program = QCoreApplication::applicationDirPath() + "/../src/app/kova";
  QString log = runtime.filePath("messages.log");

  void SetUp() override {
    ASSERT_TRUE(QFileInfo(program).isExecutable()) << "build the kova target first: " << program.toStdString();
  }
  std::unique_ptr<QProcess> Launch() {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("KOVA_TEST_MESSAGE_LOG", log);
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(program, {});
    EXPECT_TRUE(p->waitForStarted(5000));
    return p;
  }
  // Whether process pid holds the program's lock, looked up without touching the lock itself
  // (taking it to test it could make a starting copy believe another one runs).
  bool HeldBy(qint64 pid) {
    struct stat st {};
    if (::stat(QFile::encodeName(TSingleInstance::LockPathFor("KOVA", runtime.path())).constData(), &st) != 0)
      return false;
    QFile locks("/proc/locks");
    if (!locks.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray& line : locks.readAll().split('\n')) {
      const QList<QByteArray> f = line.simplified().split(' ');
      // "1: FLOCK ADVISORY WRITE <pid> <major>:<minor>:<inode> 0 EOF"
      if (f.size() >= 6 && f[1] == "FLOCK" && f[4].toLongLong() == pid &&
          f[5].split(':').value(2).toULongLong() == static_cast<qulonglong>(st.st_ino))
        return true;
    }
    return false;
  }
  QByteArray Log() {
    QFile f(log);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
};

TEST_F(SingleInstanceProgram, SecondCopyIsRefusedAndAKilledFirstCopyBlocksNothing) {
  auto first = Launch();
  ASSERT_TRUE(guitest::WaitFor([&] { return HeldBy(first->processId()); }, std::chrono::seconds(10)));

  auto second = Launch();
  ASSERT_TRUE(second->waitForFinished(10000)) << "the second copy did not end";
  EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(Log(), QByteArray("KOVA 2.0\tKOVA数据转发服务程序已经运行!\n"));
  EXPECT_EQ(first->state(), QProcess::Running) << "the first copy was disturbed";

  first->kill();  // no clean-up at all: the system must drop the lock
  const qint64 firstPid = first->processId();
  ASSERT_TRUE(first->waitForFinished(5000));
  EXPECT_FALSE(HeldBy(firstPid));

  auto third = Launch();
  EXPECT_TRUE(guitest::WaitFor([&] { return HeldBy(third->processId()); }, std::chrono::seconds(10)))
      << "a dead copy blocked the start";
  EXPECT_EQ(third->state(), QProcess::Running);
  third->kill();
  third->waitForFinished(5000);
  EXPECT_EQ(Log().count('\n'), 1);
}

}  // namespace
}  // namespace kova::gui
