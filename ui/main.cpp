// corvane: the traffic monitor's window. The program is its main dialog:
// it starts with the dialog's start-up sequence and ends when Exit ends the
// dialog. It reads no arguments and no environment of its own.
#include <QApplication>
#include <clocale>
#include <QIcon>

#include "ui/CMainDlg.h"

int main(int argc, char** argv) {
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
  return dialog.exec() == QDialog::Accepted ? 0 : 1;
}
