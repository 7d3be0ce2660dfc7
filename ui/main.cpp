// corvane: the traffic monitor's window. The program is its main dialog:
// it starts with the dialog's start-up sequence and ends when Exit ends the
// dialog. It reads no arguments. The one environment variable it reads is
// for measuring: with CORVANE_REPORT_STARTUP set, it writes one line to
// stderr once the window is first painted (see StartupReport); with the
// value "quit" it then ends.
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <clocale>
#include <QIcon>
#include <chrono>
#include <cstdio>
#include <memory>

#include "platform/process_start.h"
#include "ui/CMainDlg.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  const auto mainEntry = std::chrono::steady_clock::now();
  QApplication app(argc, argv);
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
  CMainDlg dialog;
  const bool reportStartup = qEnvironmentVariableIsSet("CORVANE_REPORT_STARTUP");
  const bool quitAfterReport = qgetenv("CORVANE_REPORT_STARTUP") == "quit";
  std::unique_ptr<StartupReport> report;
  if (reportStartup) report = std::make_unique<StartupReport>(&dialog, mainEntry, quitAfterReport);
  const int result = dialog.exec();
  if (quitAfterReport) return 0;  // ended by the report, not by Exit
  return result == QDialog::Accepted ? 0 : 1;
}
