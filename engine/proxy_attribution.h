// Splitting the traffic with an HTTP proxy by the web hosts its requests
// name.
//
// Runs on the capture thread inside AccountDatagram. Each upload to the
// proxy that carries "GET" or "POST" with a URL teaches the connection's
// local port its web host (ProxyPortMap, private to the capture thread);
// every datagram of that port with the proxy is then queued as a ProxyEvent
// for that host. The map is never emptied while the program runs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/event_queues.h"
#include "engine/live_settings.h"

namespace corvane {

// Longest host text kept from a request.
inline constexpr size_t kMaxRequestHost = 254;

// The host after the first "://" of `text`: up to the next "/", else up to
// the next blank, else empty. Ends at a zero byte and is cut to 254
// characters. The text itself is returned as read; callers that show it
// sanitise it.
std::string ExtractRequestHost(std::string_view text);

class ProxyAttribution {
 public:
  // Takes over the datagram when it is TCP traffic with the configured
  // proxy (answers true); then it is queued as a ProxyEvent when its local
  // port's host is known, and counted nowhere otherwise. Answers false for
  // everything else and while the proxy option is off. `requestText` is the
  // PacketInfo request text (nullopt for protocols other than TCP).
  bool AttributeProxyDatagram(const LiveSettings& settings, const IpAddress& sourceAddress,
                              const IpAddress& destinationAddress, uint32_t length,
                              uint16_t destinationPort, uint16_t sourcePort, int direction,
                              std::optional<std::string_view> requestText, int64_t now,
                              ProxyRequestQueue& queue);

  // The host last learnt for a local port (for tests and reports).
  std::optional<std::string> HostOfPort(uint16_t localPort) const;

 private:
  std::map<uint16_t, std::string> proxyPortMap_;  // capture thread only
  // The settings' IPv6 proxy address as last seen (capture thread only).
  std::shared_ptr<const IpAddress> proxyAddress6_;
  uint64_t proxyAddress6Version_ = 0;
};

}  // namespace corvane
