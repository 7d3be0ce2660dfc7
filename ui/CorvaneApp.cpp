#include "ui/CorvaneApp.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QEvent>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>
#include <clocale>
#include <QIcon>
#include <chrono>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "platform/app_directory.h"
#include "platform/data_folders.h"
#include "platform/process_start.h"
#include "storage/data_migration.h"
#include "ui/CMainDlg.h"
#include "ui/MonitorSession.h"
#include "ui/SingleInstance.h"

namespace {

// SIGTERM and SIGINT end the program as Exit does, without questions. The
// handler only writes a byte; the window thread reads it.
int quitSignalPipe[2] = {-1, -1};

void OnQuitSignalArrived(int) {
  const char byte = 1;
  const ssize_t written = ::write(quitSignalPipe[1], &byte, 1);
  (void)written;  // a full pipe already holds the news
}

void EndOnQuitSignals(CMainDlg& dialog) {
  if (::pipe2(quitSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(quitSignalPipe[0], QSocketNotifier::Read, &dialog);
  QObject::connect(notifier, &QSocketNotifier::activated, &dialog, [&dialog] {
    char bytes[16];
    while (::read(quitSignalPipe[0], bytes, sizeof bytes) > 0) {
    }
    dialog.OnQuitSignal();
  });
  struct sigaction action {};
  action.sa_handler = OnQuitSignalArrived;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

// Reports how long the window took to appear: from the process's start (as
// the kernel recorded it, to its clock tick) and from main(), to the end of
// the window's first paint. The boot-clock time of that moment lets a
// measuring script that spawned the program compute the start-up exactly.
class StartupReport : public QObject {
 public:
  StartupReport(QWidget* window, std::chrono::steady_clock::time_point mainEntry, bool quit)
      : window_(window), mainEntry_(mainEntry), quit_(quit) {
    window_->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_ && event->type() == QEvent::Paint && !seen_) {
      seen_ = true;
      // The children paint in the same pass; report once it is over.
      QTimer::singleShot(0, this, [this] { Report(); });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  void Report() {
    window_->removeEventFilter(this);
    const double shown = corvane::BootClockSeconds();
    const double sinceMain =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - mainEntry_)
            .count();
    const std::optional<double> start = corvane::ProcessStartBootSeconds();
    std::fprintf(stderr, "corvane start-up: %.0f ms from process start, %.1f ms from main, shown at boot clock %.6f s\n",
                 start ? (shown - *start) * 1000.0 : -1.0, sinceMain, shown);
    std::fflush(stderr);
    if (quit_) QCoreApplication::exit(0);
  }

  QWidget* window_;
  std::chrono::steady_clock::time_point mainEntry_;
  bool quit_;
  bool seen_ = false;
};

// Tells apart the instances of different data folders; the default
// folders have the empty key.
QString InstanceKey(const std::optional<std::string>& dataDir) {
  std::optional<std::string> single = dataDir;
  if (!single) single = corvane::ProcessEnvironment(corvane::kDataDirVariable);
  if (!single || single->empty()) return QString();
  const corvane::DataFolders folders = corvane::ResolveDataFolders(single);
  return QString::fromLatin1(
      QCryptographicHash::hash(QByteArray::fromStdString(folders.config),
                               QCryptographicHash::Sha1)
          .toHex()
          .left(16));
}

}  // namespace

CorvaneApp::CorvaneApp(QApplication& app, std::chrono::steady_clock::time_point mainEntry)
    : app_(app), mainEntry_(mainEntry) {}

void CorvaneApp::Describe() {
  // Byte counts are written as "1.50 KB" into the list and the logs,
  // whatever the user's locale says about decimal commas.
  std::setlocale(LC_NUMERIC, "C");
  // The icons and the built-in guide are compiled into the corvane_ui
  // static library; nothing else would pull them into the executable.
  Q_INIT_RESOURCE(corvane);
  QApplication::setApplicationName(QStringLiteral("Corvane"));
  QApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("corvane"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/corvane.svg")));
  // The window hides behind its tray icon; message boxes shown meanwhile
  // must not end the program when they close.
  QApplication::setQuitOnLastWindowClosed(false);
}

std::optional<std::string> CorvaneApp::ParseCommandLine() {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Corvane, a network traffic monitor"));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption dataDirOption(
      QStringLiteral("data-dir"),
      QStringLiteral("Keep settings, filters and traffic logs in <dir> (also CORVANE_DATA_DIR)."),
      QStringLiteral("dir"));
  parser.addOption(dataDirOption);
  parser.process(app_);
  std::optional<std::string> dataDir;
  if (parser.isSet(dataDirOption)) dataDir = parser.value(dataDirOption).toStdString();

  return dataDir;
}

int CorvaneApp::Run() {
  Describe();
  const std::optional<std::string> dataDir = ParseCommandLine();

  const corvane::DataFolders folders = corvane::ResolveDataFolders(dataDir);
  if (corvane::Status checked = corvane::CheckDataFolders(folders); !checked) {
    // Nothing is read from or written to folders another user could reach.
    std::fprintf(stderr, "corvane: %s\n", checked.reason.c_str());
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Corvane"),
                    QString::fromStdString(checked.reason), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);  // a path is no markup
    box.exec();
    return 1;
  }

  SingleInstance instance(InstanceKey(dataDir));
  QString problem;
  switch (instance.Claim(&problem)) {
    case SingleInstance::Role::kNotified:
      return 0;
    case SingleInstance::Role::kUnanswered:
      std::fprintf(stderr, "corvane: %s\n", qUtf8Printable(problem));
      return 1;
    case SingleInstance::Role::kFirst:
      if (!problem.isEmpty()) std::fprintf(stderr, "corvane: %s\n", qUtf8Printable(problem));
      break;
  }

  QStringList folderProblems;
  for (const std::string& folder : {folders.config, folders.logs}) {
    if (corvane::Status made = corvane::MakePrivateFolder(folder); !made) {
      folderProblems << QString::fromStdString(made.reason);
    }
  }
  std::string migrated;
  if (folders.config != folders.logs) {
    const std::string oldDirectory = corvane::AppDirectory();
    migrated = corvane::MigrationMessage(
        oldDirectory, corvane::MigrateOldDataFiles(oldDirectory, folders));
  }

  MonitorSession session(folders);
  CMainDlg dialog(session);
  EndOnQuitSignals(dialog);
  QObject::connect(&app_, &QGuiApplication::commitDataRequest, &dialog,
                   [&dialog](QSessionManager&) { dialog.OnCommitData(); });
  QObject::connect(&instance, &SingleInstance::ShowRequested, &dialog, [&dialog] {
    dialog.OnShowMainDialog();
    if (dialog.windowState() & Qt::WindowMinimized) dialog.showNormal();
  });
  // Told once the window is up, without holding up its start.
  auto tell = [&dialog](QMessageBox::Icon icon, const QString& text) {
    auto* box = new QMessageBox(icon, QStringLiteral("Corvane"), text, QMessageBox::Ok, &dialog);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  };
  if (!folderProblems.isEmpty()) {
    QTimer::singleShot(0, &dialog, [tell, text = folderProblems.join(QLatin1Char('\n'))] {
      tell(QMessageBox::Critical, text);
    });
  }
  if (!migrated.empty()) {
    QTimer::singleShot(0, &dialog, [tell, text = QString::fromStdString(migrated)] {
      tell(QMessageBox::Information, text);
    });
  }
  const bool reportStartup = qEnvironmentVariableIsSet("CORVANE_REPORT_STARTUP");
  const bool quitAfterReport = qgetenv("CORVANE_REPORT_STARTUP") == "quit";
  std::unique_ptr<StartupReport> report;
  if (reportStartup) report = std::make_unique<StartupReport>(&dialog, mainEntry_, quitAfterReport);
  StartUp(session, dialog);
  const int result = dialog.exec();
  if (quitAfterReport) return 0;  // ended by the report, not by Exit
  return result == QDialog::Accepted ? 0 : 1;
}
