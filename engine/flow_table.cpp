#include "engine/flow_table.h"

#include <algorithm>
#include <functional>


namespace corvane {

size_t FlowTable::ProxyKeyHash::operator()(const ProxyKey& key) const {
  size_t h = std::hash<std::string>()(key.host);
  return h ^ (MixHash(key.labelId) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2));
}

void FlowTable::AddToAddressFlow(const IpAddress& remoteAddress, uint32_t labelId, int direction,
                                 uint64_t length) {
  MutexLock lock(mutex_);
  addressFlows_[AddressFlowKey(remoteAddress, labelId)].counts.Add(direction, length);
  totals_.Add(direction, length);
}

uint32_t FlowTable::AddToPendingSocket(const SocketTuple& tuple, int direction, uint64_t length) {
  MutexLock lock(mutex_);
  const FlowKey key = SocketKeyOf(tuple.remoteAddress, tuple.protocol, tuple.localPort);
  PendingSocket* socket = pendingSockets_.Lookup(key);
  if (!socket) {
    socket = &pendingSockets_[key];
    socket->tuple = tuple;
    ++undecidedSockets_;
  }
  totals_.Add(direction, length);
  if (socket->labelId == kUndecidedLabel) {
    socket->counts.Add(direction, length);
    return kUndecidedLabel;
  }
  addressFlows_[AddressFlowKey(tuple.remoteAddress, socket->labelId)].counts.Add(direction, length);
  return socket->labelId;
}

std::optional<std::pair<SocketTuple, uint32_t>> FlowTable::LookupPendingSocket(
    const FlowKey& socketKey) const {
  MutexLock lock(mutex_);
  const PendingSocket* socket = pendingSockets_.Lookup(socketKey);
  if (!socket) return std::nullopt;
  return std::pair{socket->tuple, socket->labelId};
}

uint32_t FlowTable::DecidePendingSocket(const FlowKey& socketKey, uint32_t labelId) {
  MutexLock lock(mutex_);
  PendingSocket* socket = pendingSockets_.Lookup(socketKey);
  if (!socket) return kUndecidedLabel;
  if (socket->labelId != kUndecidedLabel) return socket->labelId;
  socket->labelId = labelId;
  addressFlows_[AddressFlowKey(socket->tuple.remoteAddress, labelId)].counts.Add(socket->counts);
  socket->counts = FlowCounts{};
  --undecidedSockets_;
  return labelId;
}

void FlowTable::DecidePendingSocketsOfPort(uint16_t protocol, uint16_t localPort, uint32_t labelId) {
  MutexLock lock(mutex_);
  if (undecidedSockets_ == 0) return;
  std::vector<std::pair<IpAddress, FlowCounts>> decided;
  pendingSockets_.ForEachMutable([&](const FlowKey&, PendingSocket& socket) {
    if (socket.labelId != kUndecidedLabel || socket.tuple.protocol != protocol ||
        socket.tuple.localPort != localPort) {
      return;
    }
    socket.labelId = labelId;
    decided.emplace_back(socket.tuple.remoteAddress, socket.counts);
    socket.counts = FlowCounts{};
  });
  for (const auto& [remoteAddress, counts] : decided) {
    addressFlows_[AddressFlowKey(remoteAddress, labelId)].counts.Add(counts);
  }
  undecidedSockets_ -= decided.size();
}

FlowCounts FlowTable::Totals() const {
  MutexLock lock(mutex_);
  return totals_;
}

std::optional<FlowCounts> FlowTable::LookupAddressFlow(const IpAddress& remoteAddress,
                                                       uint32_t labelId) const {
  MutexLock lock(mutex_);
  const AddressFlow* flow = addressFlows_.Lookup(AddressFlowKey(remoteAddress, labelId));
  if (!flow) return std::nullopt;
  return flow->counts;
}

void FlowTable::TakeAddressFlowNews(std::span<const FlowKey> flows,
                                    std::span<std::optional<FlowNews>> news) {
  MutexLock lock(mutex_);
  for (const FlowKey& key : flows) addressFlows_.PrefetchSlot(key);
  for (const FlowKey& key : flows) addressFlows_.PrefetchEntry(key);
  for (size_t i = 0; i < flows.size(); ++i) {
    AddressFlow* flow = addressFlows_.Lookup(flows[i]);
    if (!flow) {
      news[i] = std::nullopt;
      continue;
    }
    const FlowCounts fresh{flow->counts.uploadBytes - std::min(flow->counts.uploadBytes, flow->taken.uploadBytes),
                           flow->counts.downloadBytes -
                               std::min(flow->counts.downloadBytes, flow->taken.downloadBytes)};
    flow->taken = flow->counts;
    news[i] = FlowNews{flow->counts, fresh};
  }
}

std::optional<FlowCounts> FlowTable::LookupAddressTotal(const IpAddress& remoteAddress) const {
  for (const AddressTotal& entry : AddressTotals()) {
    if (entry.remoteAddress == remoteAddress) return entry.counts;
  }
  return std::nullopt;
}

FlowCounts FlowTable::AddToProxyFlow(const std::string& host, uint32_t labelId, int direction,
                                     uint64_t length, bool& found) {
  MutexLock lock(mutex_);
  auto it = proxyIndex_.find(ProxyKey{host, labelId});
  if (it == proxyIndex_.end()) {
    found = false;
    proxyFlows_.push_back(ProxyFlowRecord{host, labelId, {}});
    proxyIndex_.emplace(ProxyKey{host, labelId}, proxyFlows_.size() - 1);
    return FlowCounts{};
  }
  found = true;
  FlowCounts& counts = proxyFlows_[it->second].counts;
  counts.Add(direction, length);
  totals_.Add(direction, length);
  return counts;
}

std::optional<FlowCounts> FlowTable::LookupProxyFlow(const std::string& host,
                                                     uint32_t labelId) const {
  MutexLock lock(mutex_);
  auto it = proxyIndex_.find(ProxyKey{host, labelId});
  if (it == proxyIndex_.end()) return std::nullopt;
  return proxyFlows_[it->second].counts;
}

void FlowTable::Clear() {
  MutexLock lock(mutex_);
  addressFlows_.clear();
  pendingSockets_.clear();
  proxyFlows_.clear();
  proxyIndex_.clear();
  totals_ = FlowCounts{};
  undecidedSockets_ = 0;
}

void FlowTable::ClearShown(const std::function<std::optional<FlowCounts>(const FlowKey& flow)>& shown,
                           std::vector<FlowKey>& shownFlows) {
  MutexLock lock(mutex_);
  FlowKeyStore<AddressFlow> kept;
  FlowCounts taken;
  addressFlows_.ForEach([&](const FlowKey& key, const AddressFlow& flow) {
    const FlowCounts& counts = flow.counts;
    std::optional<FlowCounts> row = shown(key);
    if (!row) {
      kept[key] = flow;
      return;
    }
    shownFlows.push_back(key);
    // A row never shows more than its flow counted; what the flow counted
    // after the row was read is the next row's.
    const FlowCounts saved{std::min(row->uploadBytes, counts.uploadBytes),
                           std::min(row->downloadBytes, counts.downloadBytes)};
    taken.Add(saved);
    const FlowCounts rest{counts.uploadBytes - saved.uploadBytes,
                          counts.downloadBytes - saved.downloadBytes};
    // What the application totals took beyond the saved row stays taken.
    const FlowCounts stillTaken{flow.taken.uploadBytes - std::min(flow.taken.uploadBytes, saved.uploadBytes),
                                flow.taken.downloadBytes -
                                    std::min(flow.taken.downloadBytes, saved.downloadBytes)};
    if (rest.uploadBytes != 0 || rest.downloadBytes != 0) kept[key] = AddressFlow{rest, stillTaken};
  });
  addressFlows_ = std::move(kept);
  FlowKeyMap<PendingSocket> undecided;
  pendingSockets_.ForEach([&](const FlowKey& key, const PendingSocket& socket) {
    if (socket.labelId == kUndecidedLabel) undecided[key] = socket;
  });
  pendingSockets_ = std::move(undecided);
  for (const ProxyFlowRecord& flow : proxyFlows_) taken.Add(flow.counts);
  proxyFlows_.clear();
  proxyIndex_.clear();
  totals_.uploadBytes -= std::min(totals_.uploadBytes, taken.uploadBytes);
  totals_.downloadBytes -= std::min(totals_.downloadBytes, taken.downloadBytes);
}

std::vector<AddressTotal> FlowTable::AddressTotals() const {
  // One entry per flow, then sorted and merged in place: no second table
  // beside the flows however many addresses there are.
  std::vector<AddressTotal> totals;
  {
    MutexLock lock(mutex_);
    totals.reserve(addressFlows_.size() + undecidedSockets_);
    addressFlows_.ForEach([&](const FlowKey& key, const AddressFlow& flow) {
      totals.push_back(AddressTotal{key.Address(), flow.counts});
    });
    pendingSockets_.ForEach([&](const FlowKey& key, const PendingSocket& socket) {
      if (socket.labelId == kUndecidedLabel) totals.push_back(AddressTotal{key.Address(), socket.counts});
    });
  }
  std::sort(totals.begin(), totals.end(), [](const AddressTotal& a, const AddressTotal& b) {
    return a.remoteAddress < b.remoteAddress;
  });
  size_t kept = 0;
  for (size_t i = 0; i < totals.size(); ++i) {
    if (kept > 0 && totals[kept - 1].remoteAddress == totals[i].remoteAddress) {
      totals[kept - 1].counts.Add(totals[i].counts);
    } else {
      totals[kept++] = totals[i];
    }
  }
  totals.resize(kept);
  return totals;
}

std::vector<ProxyFlowRecord> FlowTable::ProxyFlows() const {
  MutexLock lock(mutex_);
  return proxyFlows_;
}

size_t FlowTable::AddressFlowCount() const {
  MutexLock lock(mutex_);
  size_t undecided = 0;
  pendingSockets_.ForEach([&](const FlowKey&, const PendingSocket& socket) {
    if (socket.labelId == kUndecidedLabel) ++undecided;
  });
  return addressFlows_.size() + undecided;
}

}  // namespace corvane
