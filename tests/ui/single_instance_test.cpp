// The corvane program itself under the offscreen platform, with HOME in a
// fresh folder: a second start hands over to the running window and ends,
// and the window keeps its files in its own XDG folders only, nothing
// beside the executable.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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

  void Launch(QProcess& process) {
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
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
  QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(runtime() + QStringLiteral("/corvane.socket")), 30000);
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

}  // namespace
