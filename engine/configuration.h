// The monitor's configuration: the persisted settings (set.dat) and the
// Options dialog's result, taken over into the live settings the worker
// threads read.
//
// Window thread (or corvane-cli's main thread); the worker threads see each
// value change atomically, on their next datagram or pass.
#pragma once

#include <string>

#include "engine/live_settings.h"
#include "storage/settings.h"

namespace corvane {

// Takes over the persisted settings and the proxy values derived from them
// (not the interface address).
void ApplySettings(LiveSettings& live, const Settings& settings);
// The settings the live ones hold now.
Settings CurrentSettings(const LiveSettings& live);
// Reads set.dat from `appDirectory` over the current settings and applies
// it; a missing file changes nothing.
void LoadSettingsFile(LiveSettings& live, const std::string& appDirectory);
// Takes over the Options dialog's mask, flags and proxy values (proxy
// address from the dotted text, 255.255.255.255 when it is none; port from
// the port text). The interface is the Monitor's to change.
void ApplyOptions(LiveSettings& live, const OptionsResult& result);

}  // namespace corvane
