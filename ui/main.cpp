// corvane: the traffic monitor's window. One option, --data-dir DIR (or
// CORVANE_DATA_DIR), keeps every file in DIR instead of the XDG folders. A
// start while a window of the same folders runs brings that window to the
// front and ends. The start-up and the run are CorvaneApp's.
#include <QApplication>
#include <chrono>

#include "ui/CorvaneApp.h"

int main(int argc, char** argv) {
  const auto mainEntry = std::chrono::steady_clock::now();
  QApplication app(argc, argv);
  return CorvaneApp(app, mainEntry).Run();
}
