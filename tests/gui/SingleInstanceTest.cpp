// One copy per user: the real program refusing a second start, and the guard's key.

#include "GuiTestSupport.h"
#include "gui/SingleInstance.h"

#include <csignal>

namespace kova::gui {

TEST(SingleInstance, SecondCopyIsRefusedAKilledOneBlocksNothingAndTheKeyIsTheFileName) {
  const QString program = QCoreApplication::applicationDirPath() + "/../src/app/kova";
  ASSERT_TRUE(QFileInfo(program).isExecutable()) << "build the kova target: " << program.toStdString();
  QTemporaryDir runtime;
  QFile log(runtime.filePath("messages.log"));
  auto launch = [&] {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();  // offscreen, as this program
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("KOVA_TEST_MESSAGE_LOG", log.fileName());  // boxes are logged, not shown
    p->setProcessEnvironment(env);
    p->start(program, {});
    EXPECT_TRUE(p->waitForStarted(5000));
    return p;
  };
  // Read from /proc: probing the lock itself could make a starting copy believe another one runs.
  auto heldBy = [&](qint64 pid) {
    const QString lock = TSingleInstance::LockPathFor("KOVA", runtime.path()), proc = QString("/proc/%1/").arg(pid);
    for (const QFileInfo& fd : QDir(proc + "fd").entryInfoList(QDir::Files | QDir::System)) {
      QFile info(proc + "fdinfo/" + fd.fileName());
      if (fd.symLinkTarget() == lock && info.open(QIODevice::ReadOnly) && info.readAll().contains("FLOCK")) return true;
    }
    return false;
  };

  auto first = launch();
  ASSERT_TRUE(WaitFor([&] { return heldBy(first->processId()); }, 10000));
  auto second = launch();
  ASSERT_TRUE(second->waitForFinished(10000) && second->exitStatus() == QProcess::NormalExit) << "no clean end";
  EXPECT_EQ(first->state(), QProcess::Running) << "the first copy was disturbed";
  first->kill();  // no clean-up at all: the system must drop the lock
  ASSERT_TRUE(first->waitForFinished(5000));
  // A logout's SIGTERM and a terminal's SIGINT end it as its exit does, not by the signal.
  for (const int sig : {SIGTERM, SIGINT}) {
    auto running = launch();
    ASSERT_TRUE(WaitFor([&] { return heldBy(running->processId()); }, 10000)) << "a dead copy blocked the start";
    ::kill(static_cast<pid_t>(running->processId()), sig);
    EXPECT_TRUE(running->waitForFinished(5000) && running->exitStatus() == QProcess::NormalExit && running->exitCode() == 0) << sig;
  }
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  EXPECT_EQ(log.readAll(), "KOVA 2.0\tKOVA数据转发服务程序已经运行!\n");  // from the second copy only

  // Keyed by the file name in any folder or case; without a folder for the guard it still starts.
  const TSingleInstance held(TSingleInstance::KeyForExecutable("/a/kova"), runtime.path());
  EXPECT_TRUE(TSingleInstance(TSingleInstance::KeyForExecutable("/b/KoVa"), runtime.path()).AnotherCopyRuns());
  EXPECT_FALSE(TSingleInstance(TSingleInstance::KeyForExecutable("/a/relay"), runtime.path()).AnotherCopyRuns());
  EXPECT_FALSE(TSingleInstance("KOVA", "/nonexistent/folder").AnotherCopyRuns());
}

}  // namespace kova::gui
