// The monitor of one run of the program and the start-up steps around it that
// are not about widgets. It owns the Monitor (on its Env), wired to the
// capture helper, the traffic log folder and the host-name look-ups; it
// reads set.dat, the look-up preference and the history's days, opens the
// history database and the usage alerts' store, chooses the watched
// interface, follows its addresses and starts capture.
//
// CorvaneApp owns one for the program's run and hands it to the main window,
// which shows what the steps report and forwards its commands to the
// monitor. All calls come from the window thread. Start-up is two steps:
// Open() before the window's Initialise(), StartCapture() after it (the
// window's first tick and layout come before the first datagram). Stop(),
// which the destructor also runs, ends the address watcher and the
// monitor's threads.
//
// The preferences file (corvane.conf in the configuration folder) is shared
// with the window, which keeps its layout and its own choices there.
#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/monitor.h"
#include "platform/address_watcher.h"
#include "platform/data_folders.h"
#include "platform/env.h"
#include "platform/status.h"
#include "storage/usage_alerts.h"

class MonitorSession {
 public:
  // The program's session: the real system, files in `folders` (which exist).
  explicit MonitorSession(corvane::DataFolders folders);
  // For tests and tools: every file in `dataDirectory`; `env` must outlive
  // the session.
  MonitorSession(corvane::Env& env, std::string dataDirectory);
  ~MonitorSession();
  MonitorSession(const MonitorSession&) = delete;
  MonitorSession& operator=(const MonitorSession&) = delete;

  corvane::Monitor& monitor() { return *monitor_; }
  const corvane::DataFolders& folders() const { return folders_; }
  // The QSettings file of the preferences and the window's layout.
  QString PreferencesFile() const;
  // Whether remote hosts are named; read by the resolver threads, which may
  // outlive the session.
  const std::shared_ptr<std::atomic<bool>>& lookUpNames() const { return lookUpNames_; }

  // What the capture helper tells, on capture threads: why a helper that
  // was capturing stopped, and how it names programs once it is ready.
  // Set before StartCapture(); cleared only after Stop().
  struct HelperEvents {
    std::function<void(const std::string& reason)> stopped;
    std::function<void(corvane::capture::AttributionMode mode)> ready;
  };
  void SetHelperEvents(HelperEvents events) { helperEvents_ = std::move(events); }

  // Before StartCapture(): watch the interface `name` with these addresses,
  // which are then not followed, instead of the saved interface (tests).
  void SetInterface(std::string name, corvane::LocalNetworks networks) {
    interfaceOverride_ = std::move(name);
    fixedNetworks_ = std::move(networks);
  }

  // Start-up, first step: set.dat (the options, the mask and the proxy),
  // the look-up preference, the history database and the usage alerts of
  // the saved budget. Failures are reported, not fatal: the monitor runs
  // without what could not be opened.
  struct Opened {
    corvane::Status history;      // the history database
    corvane::Status usageAlerts;  // the alerts already fired
  };
  Opened Open();

  // Start-up, second step: the interface saved by Options while it exists,
  // else the one of the default route (`notice` says why); its addresses
  // are followed and capture starts on it.
  struct Started {
    std::string notice;
    corvane::Status watching;  // following the interface's addresses
  };
  Started StartCapture();

  // Follows the addresses of the interface `name` from now on (also when
  // Options changes the interface).
  corvane::Status WatchAddressesOf(const std::string& name);

  // The usage alerts start with the first budget set (at start or in
  // Options): the alerts already fired and the history's counts of this
  // day and hour are read then. Fails when the alerts' file cannot be read.
  corvane::Status SetUsageBudget(corvane::UsageBudget budget);
  // Checks each application's bytes against the budget: the alerts due now
  // are appended to `alerts`. Fails when the fired alerts cannot be kept.
  corvane::Status CheckUsage(std::vector<corvane::UsageAlert>& alerts);

  // Ends the address watcher and the monitor's threads; idempotent.
  void Stop();

 private:
  void WireMonitor();

  corvane::DataFolders folders_;
  std::unique_ptr<corvane::Monitor> monitor_;
  const std::shared_ptr<std::atomic<bool>> lookUpNames_ = std::make_shared<std::atomic<bool>>(true);
  HelperEvents helperEvents_;
  std::optional<std::string> interfaceOverride_;
  std::optional<corvane::LocalNetworks> fixedNetworks_;
  // Hands the watched interface's addresses to the monitor from its own
  // thread; stopped before the monitor.
  corvane::AddressWatcher addressWatcher_;
  // The budgets from the preferences, checked every tick.
  std::unique_ptr<corvane::UsageAlerts> usageAlerts_;
};
