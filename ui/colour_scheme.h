// The window's colours: light or dark as the desktop prefers, or as the
// user chose in Options. The desktop's preference comes from the
// freedesktop appearance setting (org.freedesktop.portal.Settings, key
// "color-scheme"), else from GNOME's own setting; a desktop that says
// neither keeps the platform's look. Dark means the Fusion style with a
// dark palette.
//
// Window thread only. Asking the desktop may wait up to about a second for
// the portal or GTK's settings.ini; it fails quietly.
#pragma once

#include <QPalette>
#include <QString>
#include <optional>

enum class ColourChoice { kSystem, kLight, kDark };

// "system", "light", "dark" (the form kept in the preferences); anything
// else reads as kSystem.
QString ColourChoiceName(ColourChoice choice);
ColourChoice ColourChoiceOfName(const QString& name);

// True when the desktop asks for dark, false for light, nullopt when it
// says nothing.
std::optional<bool> DesktopPrefersDark();

// The palette used for dark.
QPalette DarkPalette();

// Applies light or dark to the whole application. Light leaves the
// platform's own look unless dark was applied before.
void ApplyColours(bool dark);

// Applies the choice; kSystem asks the desktop, and changes nothing when
// it says nothing.
void ApplyColourChoice(ColourChoice choice);
