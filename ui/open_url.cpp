#include "ui/open_url.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>

namespace {

// Splits an Exec value into arguments: blanks separate them, double quotes
// group, and inside quotes a backslash escapes the next character.
std::optional<QStringList> SplitExecLine(const QString& line) {
  QStringList arguments;
  QString current;
  bool inQuotes = false;
  bool hasArgument = false;
  for (int i = 0; i < line.size(); ++i) {
    const QChar c = line[i];
    if (inQuotes) {
      if (c == u'\\' && i + 1 < line.size()) {
        current += line[++i];
      } else if (c == u'"') {
        inQuotes = false;
      } else {
        current += c;
      }
    } else if (c == u'"') {
      inQuotes = true;
      hasArgument = true;
    } else if (c == u' ' || c == u'\t') {
      if (hasArgument) arguments << current;
      current.clear();
      hasArgument = false;
    } else {
      current += c;
      hasArgument = true;
    }
  }
  if (inQuotes) return std::nullopt;  // an unterminated quote
  if (hasArgument) arguments << current;
  return arguments;
}

bool IsUrlPlaceholder(const QString& argument) {
  return argument.contains(QLatin1String("%u")) || argument.contains(QLatin1String("%U")) ||
         argument.contains(QLatin1String("%f")) || argument.contains(QLatin1String("%F"));
}

std::optional<QString> ExecLineOf(const QString& desktopId) {
  const QString path = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, desktopId);
  if (path.isEmpty()) return std::nullopt;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
  QTextStream in(&file);
  bool inMainGroup = false;
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.startsWith(u'[')) {
      inMainGroup = line == QLatin1String("[Desktop Entry]");
    } else if (inMainGroup && line.startsWith(QLatin1String("Exec"))) {
      const int equals = line.indexOf(u'=');
      if (equals > 0 && line.left(equals).trimmed() == QLatin1String("Exec")) {
        return line.mid(equals + 1).trimmed();
      }
    }
  }
  return QString();  // found, but without a command line
}

QString QueryDefaultHtmlHandler() {
  QProcess process;
  process.start(QStringLiteral("xdg-mime"),
                {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("text/html")});
  if (!process.waitForFinished(5000)) {
    process.kill();
    process.waitForFinished(1000);
    return {};
  }
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) return {};
  return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

int StartHandler(const QString& program, const QStringList& arguments) {
  const QString resolved = program.contains(u'/') ? program : QStandardPaths::findExecutable(program);
  if (resolved.isEmpty() || !QFileInfo::exists(resolved)) return kOpenFileNotFound;
  if (!QFileInfo(resolved).isExecutable()) return kOpenAccessDenied;
  return QProcess::startDetached(resolved, arguments) ? kOpenSucceeded : kOpenAccessDenied;
}

}  // namespace

QString OpenUrlReasonText(int result) {
  switch (result) {
    case 0: return QStringLiteral("The operating system is out\nof memory or resources.");
    case 2: return QStringLiteral("The specified file was not found.");
    case 3: return QStringLiteral("The specified path was not found.");
    case 5: return QStringLiteral("The operating system denied\naccess to the specified file.");
    case 8: return QStringLiteral("There was not enough memory to complete the operation.");
    case 11: return QStringLiteral("The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).");
    case 26: return QStringLiteral("A sharing violation occurred. ");
    case 27: return QStringLiteral("The filename association is\nincomplete or invalid.");
    case 28:
      return QStringLiteral("The DDE transaction could not\nbe completed because the request timed out.");
    case 29: return QStringLiteral("The DDE transaction failed.");
    case 30:
      return QStringLiteral(
          "The DDE transaction could not\nbe completed because other DDE transactions\nwere being "
          "processed.");
    case 31: return QStringLiteral("There is no application associated\nwith the given filename extension.");
    case 32: return QStringLiteral("The specified dynamic-link library was not found.");
    default: return QStringLiteral("Unknown Error (%1) occurred.").arg(result);
  }
}

std::optional<QStringList> HandlerCommand(const QString& execLine, const QString& url) {
  const std::optional<QStringList> split = SplitExecLine(execLine);
  if (!split || split->isEmpty()) return std::nullopt;
  QStringList command;
  for (const QString& argument : *split) {
    if (IsUrlPlaceholder(argument)) break;
    // Other placeholders (%i %c %k ...) have no value here; "%%" is a percent.
    if (argument.size() == 2 && argument[0] == u'%' && argument[1] != u'%') continue;
    QString text = argument;
    text.replace(QLatin1String("%%"), QLatin1String("%"));
    command << text;
  }
  if (command.isEmpty()) return std::nullopt;
  command << url;
  return command;
}

UrlOpenServices UrlOpenServices::System() {
  UrlOpenServices services;
  services.desktopOpen = [](const QString& url) { return QDesktopServices::openUrl(QUrl(url)); };
  services.defaultHtmlHandler = &QueryDefaultHtmlHandler;
  services.desktopExecLine = &ExecLineOf;
  services.startDetached = &StartHandler;
  return services;
}

int OpenUrlWith(const UrlOpenServices& services, const QString& url) {
  const QUrl parsed(url, QUrl::StrictMode);
  // Only a whole URL with a scheme is handed on; anything else (an empty
  // text, a text a program could take for an option) names nothing to open.
  if (!parsed.isValid() || parsed.scheme().isEmpty() || url.startsWith(u'-')) {
    return kOpenFileNotFound;
  }
  if (services.desktopOpen && services.desktopOpen(url)) return kOpenSucceeded;

  // The desktop could not open it: find the browser by hand. Without one,
  // the desktop's failure stands: nothing is associated with the link.
  const QString handler = services.defaultHtmlHandler ? services.defaultHtmlHandler() : QString();
  if (handler.isEmpty()) return kOpenNoAssociation;
  const std::optional<QString> execLine =
      services.desktopExecLine ? services.desktopExecLine(handler) : std::nullopt;
  if (!execLine) return kOpenNoAssociation;
  const std::optional<QStringList> command = HandlerCommand(*execLine, url);
  if (!command) return kOpenAssociationInvalid;
  if (!services.startDetached) return kOpenFileNotFound;
  return services.startDetached(command->first(), command->mid(1));
}

bool OpenUrl(const QString& url, QString* reasonText) {
  const int result = OpenUrlWith(UrlOpenServices::System(), url);
  if (result > 32) return true;
  if (reasonText) *reasonText = OpenUrlReasonText(result);
  return false;
}
