#include "engine/flow_table.h"

#include <functional>

namespace corvane {

size_t FlowTable::ProxyKeyHash::operator()(const ProxyKey& key) const {
  size_t h = std::hash<std::string>()(key.host);
  return h ^ (std::hash<std::string>()(key.localSource) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2));
}

void FlowTable::AddToAddressFlow(uint32_t remoteAddress, int direction, uint32_t length) {
  std::lock_guard lock(mutex_);
  FlowCounts& counts = addressFlows_[remoteAddress];
  if (direction == kDirectionUpload) {
    counts.uploadBytes += length;
  } else {
    counts.downloadBytes += length;
  }
}

std::optional<FlowCounts> FlowTable::LookupAddressFlow(uint32_t remoteAddress) const {
  std::lock_guard lock(mutex_);
  const FlowCounts* counts = addressFlows_.Lookup(remoteAddress);
  if (!counts) return std::nullopt;
  return *counts;
}

FlowCounts FlowTable::AddToProxyFlow(uint16_t localPort, const std::string& host,
                                     const std::string& localSource, int direction,
                                     uint32_t length, bool& found) {
  std::lock_guard lock(mutex_);
  auto it = proxyIndex_.find(ProxyKey{host, localSource});
  if (it == proxyIndex_.end()) {
    found = false;
    FlowRecord record;
    record.key = localPort;
    record.remoteHost = host;
    record.localSource = localSource;
    proxyFlows_.push_back(std::move(record));
    proxyIndex_.emplace(ProxyKey{host, localSource}, proxyFlows_.size() - 1);
    return FlowCounts{};
  }
  found = true;
  FlowRecord& record = proxyFlows_[it->second];
  if (direction == kDirectionUpload) {
    record.uploadBytes += length;
  } else {
    record.downloadBytes += length;
  }
  return FlowCounts{record.uploadBytes, record.downloadBytes};
}

std::optional<FlowCounts> FlowTable::LookupProxyFlow(const std::string& host,
                                                     const std::string& localSource) const {
  std::lock_guard lock(mutex_);
  auto it = proxyIndex_.find(ProxyKey{host, localSource});
  if (it == proxyIndex_.end()) return std::nullopt;
  const FlowRecord& record = proxyFlows_[it->second];
  return FlowCounts{record.uploadBytes, record.downloadBytes};
}

void FlowTable::Clear() {
  std::lock_guard lock(mutex_);
  addressFlows_.clear();
  proxyFlows_.clear();
  proxyIndex_.clear();
}

std::vector<FlowRecord> FlowTable::AddressFlows() const {
  std::lock_guard lock(mutex_);
  std::vector<FlowRecord> records;
  records.reserve(addressFlows_.size());
  addressFlows_.ForEach([&records](uint32_t address, const FlowCounts& counts) {
    FlowRecord record;
    record.key = address;
    record.uploadBytes = counts.uploadBytes;
    record.downloadBytes = counts.downloadBytes;
    records.push_back(std::move(record));
  });
  return records;
}

std::vector<FlowRecord> FlowTable::ProxyFlows() const {
  std::lock_guard lock(mutex_);
  return proxyFlows_;
}

size_t FlowTable::AddressFlowCount() const {
  std::lock_guard lock(mutex_);
  return addressFlows_.size();
}

}  // namespace corvane
