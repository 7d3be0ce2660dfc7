// The settings that worker threads read while the program runs.
//
// Written by the window thread (start-up and the Options command), read by
// the capture and processing threads for every datagram or event. Each value
// is read and written whole: numbers are atomics, the proxy host text has a
// mutex of its own (never held while taking another lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace corvane {

struct LiveSettings {
  std::atomic<uint32_t> interfaceAddress{0};
  std::atomic<uint32_t> interfaceMask{0xffffffffu};
  std::atomic<bool> hideLanFlows{false};
  std::atomic<bool> freezeGraph{false};
  std::atomic<bool> proxyEnabled{false};
  std::atomic<uint32_t> proxyAddress{0};
  std::atomic<uint16_t> proxyPort{0};

  std::string ProxyHost() const {
    std::lock_guard lock(proxyHostMutex_);
    return proxyHost_;
  }
  void SetProxyHost(std::string host) {
    std::lock_guard lock(proxyHostMutex_);
    proxyHost_ = std::move(host);
  }

 private:
  mutable std::mutex proxyHostMutex_;
  std::string proxyHost_;  // GUARDED_BY(proxyHostMutex_)
};

}  // namespace corvane
