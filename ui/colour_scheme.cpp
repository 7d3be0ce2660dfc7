#include "ui/colour_scheme.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QStyle>
#include <QStyleFactory>
#include <QVariant>

#ifdef CORVANE_HAVE_QTDBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#endif

namespace {

constexpr int kAskTimeoutMs = 1000;

// Whether ApplyColours changed the application's look.
bool lookChanged = false;

#ifdef CORVANE_HAVE_QTDBUS
// The portal's appearance setting: 1 prefers dark, 2 prefers light, 0 says
// nothing.
std::optional<bool> PortalPrefersDark() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return std::nullopt;
  QDBusMessage read = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.portal.Desktop"),
      QStringLiteral("/org/freedesktop/portal/desktop"),
      QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("Read"));
  read << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
  const QDBusMessage reply = bus.call(read, QDBus::Block, kAskTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
  // Read wraps the value in one variant more than it says.
  QVariant value = reply.arguments().first();
  for (int depth = 0; depth < 3 && value.canConvert<QDBusVariant>(); ++depth) {
    value = value.value<QDBusVariant>().variant();
  }
  bool ok = false;
  const uint scheme = value.toUInt(&ok);
  if (!ok || scheme == 0 || scheme > 2) return std::nullopt;
  return scheme == 1;
}
#endif

// GTK's own preference, for desktops without the portal: the user's
// settings.ini of GTK 4 or 3 (gtk-application-prefer-dark-theme, or a theme
// named "...-dark"). A file read, not a gsettings child: the window starts
// no process before its threads do.
std::optional<bool> GtkPrefersDark() {
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.isEmpty()) config = QDir::homePath() + QStringLiteral("/.config");
  for (const char* version : {"gtk-4.0", "gtk-3.0"}) {
    QFile file(config + QLatin1Char('/') + QLatin1String(version) + QStringLiteral("/settings.ini"));
    // Another program's file: a settings.ini is a few lines.
    if (file.size() > 64 * 1024 || !file.open(QIODevice::ReadOnly | QIODevice::Text)) continue;
    std::optional<bool> dark;
    while (!file.atEnd()) {
      const QString line = QString::fromUtf8(file.readLine(4096)).trimmed();
      const qsizetype equals = line.indexOf(QLatin1Char('='));
      if (equals < 0) continue;
      const QString key = line.left(equals).trimmed();
      const QString value = line.mid(equals + 1).trimmed().toLower();
      if (key == QStringLiteral("gtk-application-prefer-dark-theme")) {
        dark = value == QStringLiteral("1") || value == QStringLiteral("true");
      } else if (key == QStringLiteral("gtk-theme-name") && value.endsWith(QStringLiteral("-dark"))) {
        dark = true;
      }
    }
    if (dark) return dark;
  }
  return std::nullopt;
}

}  // namespace

QString ColourChoiceName(ColourChoice choice) {
  switch (choice) {
    case ColourChoice::kLight:
      return QStringLiteral("light");
    case ColourChoice::kDark:
      return QStringLiteral("dark");
    case ColourChoice::kSystem:
      break;
  }
  return QStringLiteral("system");
}

ColourChoice ColourChoiceOfName(const QString& name) {
  if (name == QStringLiteral("light")) return ColourChoice::kLight;
  if (name == QStringLiteral("dark")) return ColourChoice::kDark;
  return ColourChoice::kSystem;
}

std::optional<bool> DesktopPrefersDark() {
#ifdef CORVANE_HAVE_QTDBUS
  if (const std::optional<bool> portal = PortalPrefersDark()) return portal;
#endif
  return GtkPrefersDark();
}

QPalette DarkPalette() {
  const QColor window(45, 45, 48), base(30, 30, 32), text(225, 225, 225), disabled(127, 127, 127);
  QPalette dark;
  dark.setColor(QPalette::Window, window);
  dark.setColor(QPalette::WindowText, text);
  dark.setColor(QPalette::Base, base);
  dark.setColor(QPalette::AlternateBase, QColor(40, 40, 43));
  dark.setColor(QPalette::ToolTipBase, QColor(60, 60, 64));
  dark.setColor(QPalette::ToolTipText, text);
  dark.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
  dark.setColor(QPalette::Text, text);
  dark.setColor(QPalette::Button, QColor(55, 55, 58));
  dark.setColor(QPalette::ButtonText, text);
  dark.setColor(QPalette::BrightText, QColor(255, 90, 90));
  dark.setColor(QPalette::Light, QColor(75, 75, 78));
  dark.setColor(QPalette::Midlight, QColor(62, 62, 65));
  dark.setColor(QPalette::Mid, QColor(40, 40, 42));
  dark.setColor(QPalette::Dark, QColor(25, 25, 27));
  dark.setColor(QPalette::Shadow, QColor(10, 10, 10));
  dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
  dark.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
  dark.setColor(QPalette::Link, QColor(110, 170, 255));
  dark.setColor(QPalette::LinkVisited, QColor(190, 140, 255));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    dark.setColor(QPalette::Disabled, role, disabled);
  }
  return dark;
}

void ApplyColours(bool dark) {
  if (!dark && !lookChanged) return;
  lookChanged = true;
  // Fusion draws every control from the palette; the platform's style may not.
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
  QApplication::setPalette(dark ? DarkPalette() : QApplication::style()->standardPalette());
}

void ApplyColourChoice(ColourChoice choice) {
  if (choice != ColourChoice::kSystem) {
    ApplyColours(choice == ColourChoice::kDark);
    return;
  }
  // A desktop that says nothing keeps the look the program started with.
  if (const std::optional<bool> dark = DesktopPrefersDark()) ApplyColours(*dark);
}
