#include "engine/proxy_attribution.h"

#include "engine/flow_table.h"
#include "vocabulary/text_format.h"

namespace corvane {

std::string ExtractRequestHost(std::string_view text) {
  size_t scheme = text.find("://");
  if (scheme == std::string_view::npos) return {};
  size_t start = scheme + 3;
  size_t end = text.find('/', start);
  if (end == std::string_view::npos) end = text.find(' ', start);
  if (end == std::string_view::npos) return {};
  std::string_view host = text.substr(start, end - start);
  if (size_t zero = host.find('\0'); zero != std::string_view::npos) host = host.substr(0, zero);
  if (host.size() > kMaxRequestHost) host = host.substr(0, kMaxRequestHost);
  return std::string(host);
}

bool ProxyAttribution::AttributeProxyDatagram(const LiveSettings& settings,
                                              const IpAddress& sourceAddress,
                                              const IpAddress& destinationAddress, uint32_t length,
                                              uint16_t destinationPort, uint16_t sourcePort,
                                              int direction,
                                              std::optional<std::string_view> requestText,
                                              int64_t now, ProxyRequestQueue& queue) {
  if (!settings.proxyEnabled.load(std::memory_order_relaxed)) return false;
  if (!requestText) return false;
  uint16_t proxyPort = settings.proxyPort.load(std::memory_order_relaxed);
  const IpAddress& remote = direction == kDirectionUpload ? destinationAddress : sourceAddress;
  if (remote.IsV4()) {
    if (remote.V4Value() != settings.proxyAddress.load(std::memory_order_relaxed)) return false;
  } else {
    settings.proxyAddress6.Refresh(proxyAddress6_, proxyAddress6Version_);
    if (remote != *proxyAddress6_) return false;
  }
  uint16_t localPort;
  if (direction == kDirectionUpload) {
    if (destinationPort != proxyPort) return false;
    // The request is text up to its first zero byte.
    std::string_view text = *requestText;
    if (size_t zero = text.find('\0'); zero != std::string_view::npos) text = text.substr(0, zero);
    size_t verb = text.find("GET");
    if (verb == std::string_view::npos) verb = text.find("POST");
    if (verb != std::string_view::npos) {
      std::string host = SanitizeNetworkText(ExtractRequestHost(text.substr(verb)));
      if (!host.empty()) proxyPortMap_[sourcePort] = std::move(host);
    }
    localPort = sourcePort;
  } else {
    if (sourcePort != proxyPort) return false;
    localPort = destinationPort;
  }
  auto entry = proxyPortMap_.find(localPort);
  if (entry == proxyPortMap_.end()) return true;  // no request seen: counted nowhere
  queue.Push(ProxyEvent{entry->second, localPort, now, length, direction,
                        direction == kDirectionUpload ? sourceAddress : destinationAddress});
  return true;
}

std::optional<std::string> ProxyAttribution::HostOfPort(uint16_t localPort) const {
  auto it = proxyPortMap_.find(localPort);
  if (it == proxyPortMap_.end()) return std::nullopt;
  return it->second;
}

}  // namespace corvane
