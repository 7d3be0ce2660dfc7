#include "tools/live_session.h"

#include <csignal>
#include <cstdio>

#include "engine/configuration.h"
#include "engine/wiring.h"
#include "platform/helper_capture.h"
#include "platform/interfaces.h"
#include "platform/ip_address.h"
#include "storage/settings.h"
#include "tools/cli_common.h"

namespace corvane {
namespace {

// "lo (127.0.0.1/8 ::1/128), eth0 (...)": the interfaces for a message.
std::string InterfacesText(const std::vector<NetworkInterface>& interfaces) {
  std::string text;
  for (const NetworkInterface& entry : interfaces) {
    if (!text.empty()) text += ", ";
    text += IsValidInterfaceName(entry.name) ? entry.name : std::string("?");
    std::string addresses;
    for (const IpPrefix& own : entry.addresses) {
      addresses += (addresses.empty() ? "" : " ") + FormatIp(own.address) + '/' +
                   std::to_string(own.length);
    }
    text += " (" + (addresses.empty() ? std::string("no address") : addresses) + ')';
  }
  return text.empty() ? std::string("none") : text;
}

// The interface watch captures on: --interface as a name, or the one that
// holds it as an address; without it the saved one, else the default
// route's. An address of this host that no interface lists (127.0.0.2 in
// lo's 127.0.0.0/8, or another local route's) is watched on the loopback
// interface, which all traffic to and from such addresses crosses, and is
// set in `extraLocal` to count as a local address. Empty (after a message)
// when --interface names nothing here.
std::string WatchedInterface(const Options& options, std::optional<IpAddress>& extraLocal) {
  if (options.interfaceText.empty()) {
    const auto saved = ReadSettingsFile(options.folders.config + "/" + kSettingsFileName);
    std::string notice;
    std::string name = ChooseWatchedInterface(saved ? saved->interfaceName : std::string(), notice);
    if (!notice.empty()) std::fprintf(stderr, "corvane-cli: %s\n", notice.c_str());
    return name;
  }
  Status listed;
  const std::vector<NetworkInterface> interfaces = ListInterfaces(listed);
  if (!listed) {
    std::fprintf(stderr, "corvane-cli: %s\n", listed.reason.c_str());
    return {};
  }
  if (FindInterfaceNamed(interfaces, options.interfaceText)) return options.interfaceText;
  if (auto address = ParseIp(options.interfaceText)) {
    std::string name = InterfaceHolding(interfaces, *address);
    if (name.empty() && IsLocalAddress(*address)) {
      for (const NetworkInterface& entry : interfaces) {
        if (entry.loopback && name.empty()) name = entry.name;
      }
      if (!name.empty()) extraLocal = *address;
    }
    if (!name.empty()) return name;
    std::fprintf(stderr, "corvane-cli: %s is not an address of this host; its interfaces: %s\n",
                 options.interfaceText.c_str(), InterfacesText(interfaces).c_str());
    return {};
  }
  std::fprintf(stderr, "corvane-cli: no interface named %s (corvane-cli interfaces lists them)\n",
               options.interfaceText.c_str());
  return {};
}
std::atomic<bool> interrupted{false};

void OnSignal(int) { interrupted.store(true); }

}  // namespace

void CatchEndSignals(bool hangUp) {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  if (hangUp) std::signal(SIGHUP, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return interrupted.load(); }

LiveSession::LiveSession(const Options& options)
    : options_(options), monitor_(Env::Default(), options.folders.config), metrics_(options.metrics) {
  monitor_.SetErrorHandler([](const std::string& message) {
    std::fprintf(stderr, "corvane-cli: %s\n", message.c_str());
  });
  monitor_.SetTitleHandler([](const std::string& title) {
    std::fprintf(stderr, "%s\n", title.c_str());
  });
}

const char* LiveSession::AttributionText() const { return AttributionModeText(mode_.load()); }

bool LiveSession::Open() {
  if (!SetUpFiltersAndNames(options_, monitor_, false)) return false;
  // Without its history the watch still shows and counts everything.
  if (options_.history) {
    if (HistoryStatus status = monitor_.EnableHistory(options_.folders.history); !status) {
      std::fprintf(stderr, "corvane-cli: %s\n", status.reason.c_str());
    }
  }
  // Metrics first: a port in use or a file that can't be written ends the
  // watch before capture starts.
  std::string metricsError;
  auto endpoint = metrics_.Start(metricsError);
  if (!endpoint) {
    std::fprintf(stderr, "corvane-cli: %s\n", metricsError.c_str());
    return false;
  }
  if (options_.metrics.listen) {
    std::fprintf(stderr, "metrics: http://%s/metrics\n", FormatMetricsEndpoint(*endpoint).c_str());
  }
  if (auto error = metrics_.Publish(monitor_, 0)) {
    std::fprintf(stderr, "corvane-cli: %s\n", error->c_str());
    return false;
  }
  monitor_.SetCaptureStateHandler(
      [this](const Monitor::CaptureState& state) { metrics_.SetCaptureState(state); });
  std::optional<IpAddress> extraLocal;
  interfaceName_ = WatchedInterface(options_, extraLocal);
  if (interfaceName_.empty()) return false;
  // The interface's addresses decide each datagram's direction; they are
  // followed while the watch runs.
  if (Status watching = addresses_.Start(
          interfaceName_,
          [this, extraLocal](const LocalNetworks& networks) {
            if (!extraLocal) return monitor_.SetLocalNetworks(networks);
            LocalNetworks withExtra = networks;
            withExtra.addresses.push_back(*extraLocal);
            monitor_.SetLocalNetworks(withExtra);
          });
      !watching) {
    std::fprintf(stderr, "corvane-cli: %s\n", watching.reason.c_str());
  }
  if (!Configure(options_, monitor_)) return false;
  // Capture runs in the capture helper; this program holds no capability.
  // It is opened here first so that a user without capture rights gets the
  // reason and a failing exit status at once.
  HelperCaptureOptions helper;
  helper.onStopped = [](const std::string& reason) {
    std::fprintf(stderr, "corvane-cli: %s\n", reason.c_str());
  };
  helper.onReady = [this](capture::AttributionMode now) { mode_.store(now); };
  LiveWiring wiring;
  wiring.helper = std::move(helper);
  wiring.openNow = interfaceName_;
  wiring.opened = [](const std::string& reason) {
    if (!reason.empty()) std::fprintf(stderr, "corvane-cli: %s\n", reason.c_str());
  };
  // The log (--save-log) and the names (--resolve) are set up as for a
  // replay, by Configure and SetUpFiltersAndNames.
  wiring.hostNames = false;
  if (Status opened = WireLiveMonitor(monitor_, std::move(wiring)); !opened) {
    std::fprintf(stderr, "corvane-cli: %s\n", opened.reason.c_str());
    return false;
  }
  std::fprintf(stderr, "attribution: %s\n", AttributionText());
  return true;
}

void LiveSession::Tick(long elapsedSeconds) {
  (void)monitor_.TakeTick();
  if (auto error = metrics_.Publish(monitor_, elapsedSeconds)) {
    std::fprintf(stderr, "corvane-cli: %s\n", error->c_str());
  }
}

void LiveSession::Stop() {
  std::fprintf(stderr, "corvane-cli: %llu datagrams dropped by the kernel\n",
               static_cast<unsigned long long>(monitor_.CaptureDroppedByKernel()));
  monitor_.Stop();
}

bool LiveSession::Finish() {
  addresses_.Stop();
  const auto metricsFailure = metrics_.Finish(monitor_);
  if (metricsFailure) std::fprintf(stderr, "corvane-cli: %s\n", metricsFailure->c_str());
  if (options_.flows) {
    std::string out;
    AppendFlowTotals(monitor_, out);
    AppendTotals(monitor_, out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  }
  return SaveAtEnd(options_, monitor_) && !metricsFailure;
}

}  // namespace corvane
