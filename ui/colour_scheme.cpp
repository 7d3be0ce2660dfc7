#include "ui/colour_scheme.h"

#include <QApplication>
#include <QProcess>
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

// GNOME's setting: 'prefer-dark', 'prefer-light' or 'default'.
std::optional<bool> GnomePrefersDark() {
  QProcess gsettings;
  gsettings.start(QStringLiteral("gsettings"),
                  {QStringLiteral("get"), QStringLiteral("org.gnome.desktop.interface"),
                   QStringLiteral("color-scheme")});
  if (!gsettings.waitForStarted(kAskTimeoutMs)) return std::nullopt;
  if (!gsettings.waitForFinished(kAskTimeoutMs)) {
    gsettings.kill();
    gsettings.waitForFinished(kAskTimeoutMs);
    return std::nullopt;
  }
  if (gsettings.exitStatus() != QProcess::NormalExit || gsettings.exitCode() != 0) return std::nullopt;
  const QByteArray answer = gsettings.readAllStandardOutput();
  if (answer.contains("prefer-dark")) return true;
  if (answer.contains("prefer-light")) return false;
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
  return GnomePrefersDark();
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
