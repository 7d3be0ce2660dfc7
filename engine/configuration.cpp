#include "engine/configuration.h"

#include <optional>

#include "platform/data_folders.h"
#include "platform/ip_address.h"

namespace corvane {

namespace {

// The proxy's IPv6 address when its address text is one (the Options
// dialog hands over the address it resolved the host to); else none.
IpAddress ProxyAddress6FromText(const std::string& text) {
  std::optional<IpAddress> address = ParseIp(text);
  return address && address->IsV6() ? *address : IpAddress{};
}

}  // namespace

void ApplySettings(LiveSettings& live, const Settings& settings) {
  live.interfaceMask.store(settings.interfaceMask);
  live.hideLanFlows.store(settings.hideLanFlows);
  live.freezeGraph.store(settings.freezeGraph);
  live.proxyEnabled.store(settings.proxyEnabled);
  live.SetProxyHost(settings.proxyHost);
  live.proxyAddress.store(settings.proxyAddress);
  live.proxyAddress6.Set(ProxyAddress6FromText(settings.proxyHost));
  live.proxyPort.store(settings.proxyPort);
}

Settings CurrentSettings(const LiveSettings& live) {
  Settings settings;
  settings.interfaceAddress = live.interfaceAddress.load();
  settings.interfaceMask = live.interfaceMask.load();
  settings.hideLanFlows = live.hideLanFlows.load();
  settings.freezeGraph = live.freezeGraph.load();
  settings.proxyEnabled = live.proxyEnabled.load();
  settings.proxyHost = live.ProxyHost();
  settings.proxyAddress = live.proxyAddress.load();
  settings.proxyPort = live.proxyPort.load();
  return settings;
}

void LoadSettingsFile(LiveSettings& live, const std::string& appDirectory) {
  Settings settings = CurrentSettings(live);
  LoadSettings(appDirectory + "/" + kSettingsFileName, settings);
  ApplySettings(live, settings);
}

void ApplyOptions(LiveSettings& live, const OptionsResult& result) {
  live.interfaceMask.store(result.interfaceMask);
  live.hideLanFlows.store(result.hideLanFlows);
  live.freezeGraph.store(result.freezeGraph);
  live.proxyEnabled.store(result.proxyEnabled);
  live.SetProxyHost(result.proxyHostText);
  live.proxyAddress.store(ProxyAddressFromText(result.proxyHostText));
  live.proxyAddress6.Set(ProxyAddress6FromText(result.proxyHostText));
  live.proxyPort.store(ProxyPortFromText(result.proxyPortText));
}

}  // namespace corvane
