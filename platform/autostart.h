// "Launch on startup": the desktop's autostart entry corvaneapp.desktop in
// the user's autostart folder ($XDG_CONFIG_HOME/autostart, by default
// ~/.config/autostart).
//
// Window thread. The program counts as set to start with the desktop when
// the entry exists; its content is not examined. Failures come back as a
// Status with the system's reason.
#pragma once

#include <string>

#include "platform/status.h"

namespace corvane {

inline constexpr const char* kAutostartFileName = "corvaneapp.desktop";

// The path of the entry; empty when neither XDG_CONFIG_HOME nor the home
// directory is known.
std::string AutostartEntryPath();

bool IsAutostartEnabled();

// Writes the entry so that the desktop starts `executablePath` at log-in.
Status EnableAutostart(const std::string& executablePath);

// Removes the entry; there being none is no failure.
Status DisableAutostart();

// The content of the entry for `executablePath`, with the path quoted and
// escaped as desktop entries require.
std::string AutostartEntryText(const std::string& executablePath);

}  // namespace corvane
