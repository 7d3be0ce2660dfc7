// Which way a datagram went, as flows, history rows and reports store it.
#pragma once

namespace corvane {

inline constexpr int kDirectionUpload = 1;    // sent by a local address
inline constexpr int kDirectionDownload = 2;  // received by one, or sent to a multicast group

}  // namespace corvane
