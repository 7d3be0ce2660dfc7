// Opening a web page or a mail link with the desktop.
//
// First the desktop's own URL handling (QDesktopServices). When that fails,
// the desktop's default handler of text/html (`xdg-mime query default
// text/html`) is looked up and its command line started directly with the
// URL as one argument; no shell is involved. Failures are described with
// the classic "open" result codes and their texts (31 "There is no
// application associated ...", 2 "The specified file was not found.", ...).
//
// Window thread only: the lookup runs `xdg-mime` and waits for it (at most a
// few seconds).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// Opens `url`. On failure returns false and, when `reasonText` is given,
// stores the reason text of the failure in it.
bool OpenUrl(const QString& url, QString* reasonText);

// Results of an attempt to open, numbered as the classic shell numbers them:
// above 32 is success.
inline constexpr int kOpenSucceeded = 42;
inline constexpr int kOpenFileNotFound = 2;          // the handler program is missing
inline constexpr int kOpenAccessDenied = 5;          // the handler is not executable
inline constexpr int kOpenAssociationInvalid = 27;   // the handler's command line is unusable
inline constexpr int kOpenNoAssociation = 31;        // nothing opens this kind of link

// The reason text for a failed result, e.g. "A sharing violation occurred. "
// for 26 and "Unknown Error (%d) occurred." for a number without a text.
QString OpenUrlReasonText(int result);

// The services OpenUrl uses, replaceable for tests.
struct UrlOpenServices {
  // The desktop's own opening; true when it succeeded.
  std::function<bool(const QString& url)> desktopOpen;
  // The desktop file id of the default text/html handler, e.g.
  // "firefox-esr.desktop"; empty when there is none.
  std::function<QString()> defaultHtmlHandler;
  // The Exec line of a desktop file id; nullopt when the file is not found.
  std::function<std::optional<QString>(const QString& desktopId)> desktopExecLine;
  // Starts `program` with `arguments` detached; returns one of the results
  // above (kOpenSucceeded, kOpenFileNotFound, kOpenAccessDenied).
  std::function<int(const QString& program, const QStringList& arguments)> startDetached;

  // The real desktop: QDesktopServices, xdg-mime, the XDG application
  // directories and QProcess.
  static UrlOpenServices System();
};

// Opens `url` with `services` and returns the result code.
int OpenUrlWith(const UrlOpenServices& services, const QString& url);

// The command that runs a desktop file's `execLine` on `url`: the line is
// split into arguments (double quotes and backslash escapes as desktop files
// write them), cut before the first file or URL placeholder (%u %U %f %F),
// other placeholders dropped, and `url` appended as the last argument.
// nullopt when the line holds no program.
std::optional<QStringList> HandlerCommand(const QString& execLine, const QString& url);
