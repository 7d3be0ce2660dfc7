#include "attribution/port_process_map.h"

#include <algorithm>

namespace corvane {

IpAddress UnmapV4(const IpAddress& address) {
  static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!address.IsV6() || !std::equal(kMappedPrefix, kMappedPrefix + 12, address.bytes.begin())) {
    return address;
  }
  IpAddress v4;
  v4.family = IpFamily::kV4;
  std::copy(address.bytes.begin() + 12, address.bytes.end(), v4.bytes.begin());
  return v4;
}

std::optional<std::string> PortProcessMap::Lookup(uint8_t protocol, const IpAddress& localAddress,
                                                  uint16_t localPort) const {
  if (!Active()) return std::nullopt;
  MutexLock lock(portMapMutex_);
  auto find = [&](const IpAddress& address) REQUIRES(portMapMutex_) -> const std::string* {
    auto it = endpoints_.find(EndpointKey{protocol, address, localPort});
    return it == endpoints_.end() ? nullptr : &it->second;
  };
  const IpAddress wildcard = WildcardOf(localAddress.family);
  if (const std::string* label = find(localAddress)) return *label;
  if (localAddress != wildcard) {
    if (const std::string* label = find(wildcard)) return *label;
  }
  if (localAddress.IsV4()) {
    if (const std::string* label = find(WildcardOf(IpFamily::kV6))) return *label;
  }
  return std::nullopt;
}

void PortProcessMap::RequestExact(const SocketTuple& tuple) {
  if (!Active()) return;
  {
    MutexLock lock(portMapMutex_);
    if (requests_.size() >= kMaxPendingRequests) return;
    if (std::find(requests_.begin(), requests_.end(), tuple) != requests_.end()) return;
    requests_.push_back(tuple);
  }
  requestReady_.notify_one();
}

std::optional<std::string> PortProcessMap::TakeAnswer(const SocketTuple& tuple) {
  MutexLock lock(portMapMutex_);
  auto it = answers_.find(tuple);
  if (it == answers_.end()) {
    // An unconnected socket (no remote end) answers for every datagram of
    // its port: bound to this address, to every address of its family, or,
    // for IPv4, to every address of a dual-stack IPv6 socket.
    for (const IpAddress& local : {tuple.localAddress, WildcardOf(tuple.localAddress.family),
                                   WildcardOf(IpFamily::kV6)}) {
      auto unconnected =
          answers_.find(SocketTuple{tuple.protocol, local, tuple.localPort, IpAddress{}, 0});
      if (unconnected != answers_.end()) return unconnected->second;
    }
    return std::nullopt;
  }
  std::string label = std::move(it->second);
  answers_.erase(it);
  return label;
}

void PortProcessMap::Store(uint8_t protocol, const IpAddress& localAddress, uint16_t localPort,
                           std::string label) {
  MutexLock lock(portMapMutex_);
  std::string& stored = endpoints_[EndpointKey{protocol, UnmapV4(localAddress), localPort}];
  if (stored != label) {
    stored = std::move(label);
    version_.fetch_add(1, std::memory_order_release);
  }
}

void PortProcessMap::ReplaceFromPass(const std::vector<EndpointLabel>& pass) {
  std::unordered_map<EndpointKey, std::string, EndpointKeyHash> next;
  next.reserve(pass.size());
  MutexLock lock(portMapMutex_);
  for (const EndpointLabel& entry : pass) {
    const EndpointKey key{entry.protocol, UnmapV4(entry.localAddress), entry.localPort};
    if (entry.owned) {
      next[key] = entry.label;
    } else if (!next.contains(key)) {
      // A closing connection keeps the label its endpoint had.
      if (auto it = endpoints_.find(key); it != endpoints_.end()) next.emplace(key, it->second);
    }
  }
  if (next != endpoints_) {
    endpoints_.swap(next);
    version_.fetch_add(1, std::memory_order_release);
  }
}

void PortProcessMap::WaitForRequests(std::chrono::milliseconds timeout,
                                     std::vector<SocketTuple>& out) {
  MutexLock lock(portMapMutex_);
  requestReady_.wait_for(lock, timeout,
                         [this]() REQUIRES(portMapMutex_) { return woken_ || !requests_.empty(); });
  woken_ = false;
  out.insert(out.end(), requests_.begin(), requests_.end());
  requests_.clear();
}

void PortProcessMap::Wake() {
  {
    MutexLock lock(portMapMutex_);
    woken_ = true;
  }
  requestReady_.notify_all();
}

void PortProcessMap::StoreAnswer(const SocketTuple& tuple, std::string label) {
  {
    MutexLock lock(portMapMutex_);
    auto [it, isNew] = answers_.insert_or_assign(tuple, label);
    if (isNew) {
      answerOrder_.push_back(tuple);
      while (answerOrder_.size() > kMaxAnswers) {
        answers_.erase(answerOrder_.front());
        answerOrder_.pop_front();
      }
    }
  }
  Store(tuple.protocol, tuple.localAddress, tuple.localPort, std::move(label));
}

}  // namespace corvane
