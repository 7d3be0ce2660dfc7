// Fuzzes the web host taken from a request to the proxy, and the proxy
// attribution that learns and queues it. Input: two bytes of flags and
// local port, then the request text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "engine/event_queues.h"
#include "engine/live_settings.h"
#include "engine/proxy_attribution.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

  const std::string host = corvane::ExtractRequestHost(text);
  if (host.size() > corvane::kMaxRequestHost) std::abort();
  if (host.find('\0') != std::string::npos) std::abort();
  if (host.find('/') != std::string::npos) std::abort();

  corvane::LiveSettings settings;
  const uint32_t local = 0x0200007f;  // 127.0.0.2
  const uint32_t proxy = 0x0300007f;  // 127.0.0.3
  settings.interfaceAddress = local;
  settings.proxyEnabled = true;
  settings.proxyAddress = proxy;
  settings.proxyPort = 3128;

  const auto localIp = corvane::IpAddress::V4(local);
  const auto proxyIp = corvane::IpAddress::V4(proxy);
  corvane::ProxyAttribution attribution;
  corvane::ProxyRequestQueue queue;
  const uint16_t localPort = static_cast<uint16_t>(40000 + (data[1] & 0x0f));
  const bool upload = (data[0] & 1) != 0;
  const auto request = (data[0] & 2) ? std::optional<std::string_view>(text) : std::nullopt;
  for (int i = 0; i < 2; ++i) {
    if (upload) {
      attribution.AttributeProxyDatagram(settings, localIp, proxyIp, static_cast<uint16_t>(size),
                                         3128, localPort, 1, request, i, queue);
    } else {
      attribution.AttributeProxyDatagram(settings, proxyIp, localIp, static_cast<uint16_t>(size),
                                         localPort, 3128, 2, request, i, queue);
    }
  }
  if (auto learnt = attribution.HostOfPort(localPort)) {
    if (learnt->size() > corvane::kMaxRequestHost) std::abort();
  }
  return 0;
}
