// The corvane program itself under the offscreen platform, with HOME in a
// fresh folder: a second start hands over to the running window and ends,
// and the window keeps its files in its own XDG folders only, nothing
// beside the executable; another user's lock or socket changes nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

namespace {

class SingleInstanceTest : public ::testing::Test {
 protected:
  SingleInstanceTest() {
    QDir(home.path()).mkdir(QStringLiteral("run"));
    QFile::setPermissions(runtime(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "CORVANE_DATA_DIR"}) {
      environment.remove(QString::fromLatin1(name));
    }
    // Under AddressSanitizer: what Qt leaves at exit is not this test's
    // subject, the exit status of the second start is.
    if (environment.contains(QStringLiteral("ASAN_OPTIONS"))) {
      environment.insert(QStringLiteral("ASAN_OPTIONS"),
                         environment.value(QStringLiteral("ASAN_OPTIONS")) +
                             QStringLiteral(":detect_leaks=0"));
    }
  }
  ~SingleInstanceTest() override {
    for (QProcess* process : {&first, &second}) {
      if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
      }
    }
  }

  QString runtime() const { return home.path() + QStringLiteral("/run"); }

  void Launch(QProcess& process,
              QProcess::ProcessChannelMode channels = QProcess::ForwardedChannels) {
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(channels);
    process.start(QStringLiteral(CORVANE_EXECUTABLE), QStringList());
    ASSERT_TRUE(process.waitForStarted(10000));
  }

  QTemporaryDir home;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  QProcess first;
  QProcess second;
};

TEST_F(SingleInstanceTest, SecondStartLeavesExactlyOneWindowProcess) {
  const QDir beside = QFileInfo(QStringLiteral(CORVANE_EXECUTABLE)).dir();
  const QStringList besideBefore = beside.entryList(QDir::Files | QDir::Hidden);
  Launch(first);
  // The first start listens once its window is on the way.
  QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(runtime() + QStringLiteral("/corvane/window.socket")), 30000);
  Launch(second);
  ASSERT_TRUE(second.waitForFinished(30000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(first.state(), QProcess::Running) << "the first window stays";

  // The window wrote only into its own folders (and the runtime folder).
  QStringList elsewhere;
  QDirIterator it(home.path(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = QDir(home.path()).relativeFilePath(it.next());
    if (!path.startsWith(QStringLiteral(".config/corvane/")) &&
        !path.startsWith(QStringLiteral(".local/state/corvane/")) &&
        !path.startsWith(QStringLiteral("run/"))) {
      elsewhere << path;
    }
  }
  EXPECT_TRUE(elsewhere.isEmpty()) << elsewhere.join(QLatin1Char(' ')).toStdString();
  EXPECT_TRUE(QFileInfo(home.path() + QStringLiteral("/.config/corvane")).isDir());
  EXPECT_TRUE(QFileInfo(home.path() + QStringLiteral("/.local/state/corvane/logs")).isDir());
  EXPECT_EQ(beside.entryList(QDir::Files | QDir::Hidden), besideBefore)
      << "nothing is written beside the executable";
}

// Another user's folders where the lock and the socket would go, each with
// a lock no window holds and a listener on the socket: the window neither
// gives up ("does not answer") nor hands over to the listener.
TEST_F(SingleInstanceTest, AnotherUsersLockOrSocketNeitherBlocksNorDismissesTheWindow) {
  if (::geteuid() != 0) GTEST_SKIP() << "making another user's files needs root";
  const QString theirRuntime = home.path() + QStringLiteral("/their-run");
  const QString temporary = home.path() + QStringLiteral("/tmp");
  const QString planted = temporary + QStringLiteral("/corvane-%1").arg(::geteuid());
  // Where the lock and the socket go, and the bare names beside them.
  const QStringList bases = {theirRuntime + QStringLiteral("/corvane/window"),
                             planted + QStringLiteral("/window"),
                             theirRuntime + QStringLiteral("/corvane"), planted};
  std::vector<std::unique_ptr<QLocalServer>> listeners;
  for (const QString& base : bases) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(base).path()));
    QFile lock(base + QStringLiteral(".lock"));
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write("garbage");
    lock.close();
    listeners.push_back(std::make_unique<QLocalServer>());
    ASSERT_TRUE(listeners.back()->listen(base + QStringLiteral(".socket")));
  }
  for (const QString& folder : {theirRuntime, theirRuntime + QStringLiteral("/corvane"), planted}) {
    ASSERT_EQ(::chown(folder.toLocal8Bit().constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(folder.toLocal8Bit().constData(), 0777), 0);
  }
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), theirRuntime);
  environment.insert(QStringLiteral("TMPDIR"), temporary);
  environment.insert(QStringLiteral("CORVANE_REPORT_STARTUP"), QStringLiteral("quit"));
  Launch(first, QProcess::MergedChannels);
  ASSERT_TRUE(first.waitForFinished(60000));
  const QString output = QString::fromLocal8Bit(first.readAll());
  EXPECT_EQ(first.exitCode(), 0) << output.toStdString();
  EXPECT_TRUE(output.contains(QStringLiteral("corvane start-up:"))) << "the window appeared";
  EXPECT_TRUE(output.contains(planted + QStringLiteral(" belongs to"))) << output.toStdString();
  for (auto& listener : listeners) {
    EXPECT_FALSE(listener->waitForNewConnection(200)) << listener->fullServerName().toStdString();
    EXPECT_TRUE(QFileInfo::exists(listener->fullServerName())) << "the socket was left alone";
  }
  for (const QString& base : bases) {
    QFile lock(base + QStringLiteral(".lock"));
    EXPECT_TRUE(lock.open(QIODevice::ReadOnly) && lock.readAll() == "garbage") << "left alone";
  }
}

}  // namespace
