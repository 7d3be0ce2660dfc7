// The settings that worker threads read while the program runs.
//
// Written by the window thread (start-up and the Options command), read by
// the capture and processing threads for every datagram or event. Each value
// is read and written whole: numbers are atomics, the proxy host text has a
// mutex of its own (never held while taking another lock). Values too large
// for an atomic (the local networks, an IPv6 proxy address) are versioned
// snapshots: a reader keeps its own copy and takes the new one only when the
// version moved, so the capture thread pays one atomic load per datagram.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ip_address.h"
#include "platform/mutex.h"

namespace corvane {

// A value replaced whole by one thread and read often by others.
template <typename T>
class VersionedValue {
 public:
  void Set(T value) {
    auto snapshot = std::make_shared<const T>(std::move(value));
    MutexLock lock(mutex_);
    value_ = std::move(snapshot);
    version_.fetch_add(1, std::memory_order_release);
  }
  // 0 until the first Set().
  uint64_t Version() const { return version_.load(std::memory_order_acquire); }
  // Makes `copy` the newest value when the version moved past `seen`. The
  // mutex is taken only then.
  void Refresh(std::shared_ptr<const T>& copy, uint64_t& seen) const {
    const uint64_t version = Version();
    if (version == seen && copy) return;
    MutexLock lock(mutex_);
    copy = value_ ? value_ : std::make_shared<const T>();
    seen = version;
  }
  T Get() const {
    MutexLock lock(mutex_);
    return value_ ? *value_ : T{};
  }

 private:
  mutable Mutex mutex_;
  std::shared_ptr<const T> value_ GUARDED_BY(mutex_);
  std::atomic<uint64_t> version_{0};
};

struct LiveSettings {
  std::atomic<uint32_t> interfaceAddress{0};
  std::atomic<uint32_t> interfaceMask{0xffffffffu};
  std::atomic<bool> hideLanFlows{false};
  std::atomic<bool> freezeGraph{false};
  std::atomic<bool> proxyEnabled{false};
  std::atomic<uint32_t> proxyAddress{0};
  // The proxy's address when it is an IPv6 one; no address otherwise.
  VersionedValue<IpAddress> proxyAddress6;
  std::atomic<uint16_t> proxyPort{0};

  std::string ProxyHost() const {
    MutexLock lock(proxyHostMutex_);
    return proxyHost_;
  }
  void SetProxyHost(std::string host) {
    MutexLock lock(proxyHostMutex_);
    proxyHost_ = std::move(host);
  }

 private:
  mutable Mutex proxyHostMutex_;
  std::string proxyHost_ GUARDED_BY(proxyHostMutex_);
};

}  // namespace corvane
