// The corvane program as an object: reads the command line, checks and makes
// the data folders, claims the single instance, moves the files of older
// versions, makes the monitor's session (MonitorSession: the Monitor and its
// start-up steps) and the main window on it, wires the window to the
// signals, the session manager and a second start, and starts both. Run()
// returns the program's exit code.
//
// Lives on the main thread, inside the QApplication that main() made, for
// the program's whole run. With CORVANE_REPORT_STARTUP set, it writes one
// line to stderr once the window is first painted; with the value "quit" it
// then ends.
#pragma once

#include <chrono>
#include <optional>
#include <string>

class QApplication;

class CorvaneApp {
 public:
  // `mainEntry` is when main() began, for the start-up report.
  CorvaneApp(QApplication& app, std::chrono::steady_clock::time_point mainEntry);

  // Starts the program and runs it until Exit, a quit signal or the end of
  // the session: 0 when it ended well, 1 when it could not start.
  int Run();

 private:
  // The application's name, icon and resources; --data-dir.
  void Describe();
  std::optional<std::string> ParseCommandLine();

  QApplication& app_;
  std::chrono::steady_clock::time_point mainEntry_;
};
