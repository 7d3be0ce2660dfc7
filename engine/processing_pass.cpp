#include "engine/processing_pass.h"

#include <algorithm>
#include <optional>
#include <string>

#include "platform/net.h"
#include "vocabulary/text_format.h"

namespace corvane {

namespace {

// Events shown per hold of the list's lock: enough to batch the window's
// updates, few enough that a resolver or the window never waits long.
constexpr size_t kEventsPerListHold = 512;

}  // namespace

std::optional<uint32_t> ProcessingPass::DecideSocket(const FlowKey& socketKey, bool force) {
  auto pending = state_.flows.LookupPendingSocket(socketKey);
  if (!pending) return kUndecidedLabel;  // cleared since it was queued
  const auto& [tuple, decided] = *pending;
  if (decided != kUndecidedLabel) return decided;
  uint32_t labelId;
  if (std::optional<std::string> answer = state_.portMap.TakeAnswer(tuple)) {
    labelId = state_.labels.Intern(*answer);
  } else if (!force && state_.portMap.KernelEvents() &&
             *passesWaited_.Lookup(socketKey) < kOwnerGracePasses) {
    // No event names an accepted connection, and until the server accepts
    // it no process holds it: it is asked for again at every pass it waits.
    state_.portMap.RequestExact(tuple);
    return std::nullopt;
  } else if (std::optional<std::string> label =
                 state_.portMap.Lookup(tuple.protocol, tuple.localAddress, tuple.localPort)) {
    labelId = state_.labels.Intern(*label);
  } else {
    labelId = state_.ProtocolLabel(tuple.protocol);
  }
  return state_.flows.DecidePendingSocket(socketKey, labelId);
}

// The events of one row within a pass, folded: showing them one by one
// leaves the row exactly as showing one event with the first one's time as
// its first activity and the last one's as its last (the counts come from
// the flow, which is read once for all of them).
void ProcessingPass::ShowFlowEvents(const std::vector<FlowEvent>& events, bool force) {
  FoldFlowEvents(events, force);
  ShowFolded(false);
}

void ProcessingPass::FoldFlowEvents(const std::vector<FlowEvent>& events, bool force) {
  std::vector<FoldedRow>& folded = foldedRows_;
  folded.clear();
  foldedRowOfFlow_.Clear();
  labelOfSocket_.Clear();
  decidedSockets_.clear();
  for (const FlowEvent& event : events) {
    uint32_t labelId = event.labelId;
    if (labelId == kUndecidedLabel) {
      // The port map's lock is taken here, before listMutex, never inside it.
      const FlowKey socketKey = SocketKeyOf(event.remoteAddress, event.protocol, event.localPort);
      const uint64_t socketHash = MixHash(socketKey);
      std::optional<uint32_t> decided;
      if (std::optional<uint32_t> known = labelOfSocket_.Find(
              socketHash, [&](uint32_t entry) { return decidedSockets_[entry].key == socketKey; })) {
        decided = decidedSockets_[*known].labelId;
      } else {
        passesWaited_[socketKey];  // 0 for a socket new to the wait
        decided = DecideSocket(socketKey, force);
        labelOfSocket_.Insert(socketHash, static_cast<uint32_t>(decidedSockets_.size()));
        decidedSockets_.push_back(DecidedSocket{socketKey, decided});
        if (!decided) nextWaited_[socketKey] = *passesWaited_.Lookup(socketKey) + 1;
      }
      if (!decided) {
        waiting_.push_back(event);
        continue;
      }
      labelId = *decided;
      if (labelId == kUndecidedLabel) continue;
    }
    const uint64_t flowHash = MixHash(AddressFlowKey(event.remoteAddress, labelId));
    std::optional<uint32_t> row = foldedRowOfFlow_.Find(flowHash, [&](uint32_t index) {
      return folded[index].labelId == labelId && folded[index].remoteAddress == event.remoteAddress;
    });
    if (!row) {
      row = static_cast<uint32_t>(folded.size());
      foldedRowOfFlow_.Insert(flowHash, *row);
      folded.push_back(FoldedRow{event.remoteAddress, labelId, event.time, event.time});
    }
    folded[*row].lastTime = event.time;
  }
}

void ProcessingPass::ShowFolded(bool newsTaken) {
  for (size_t begin = 0; begin < foldedRows_.size(); begin += kEventsPerListHold) {
    size_t end = std::min(foldedRows_.size(), begin + kEventsPerListHold);
    ShowFoldedRows(begin, end, newsTaken);
    list_.Publish();
  }
}

void ProcessingPass::TakeChunkNews(size_t begin, size_t end,
                                   std::optional<FlowTable::FlowNews>* news) {
  const std::vector<FoldedRow>& folded = foldedRows_;
  chunkFlows_.clear();
  for (size_t i = begin; i < end; ++i) {
    chunkFlows_.push_back(AddressFlowKey(folded[i].remoteAddress, folded[i].labelId));
  }
  state_.flows.TakeAddressFlowNews(chunkFlows_, {news, end - begin});
}

void ProcessingPass::ShowFoldedRows(size_t begin, size_t end, bool newsTaken) {
  const std::vector<FoldedRow>& folded = foldedRows_;
  TrafficList::Lock lock(list_);
  // The flows and rows of a busy pass lie all over memory: every look-up of
  // the chunk is started before the first one is used.
  for (size_t i = begin; i < end; ++i) {
    list_.PrefetchIndex(RowKey{folded[i].remoteAddress, 0, folded[i].labelId});
  }
  // Taken under the list's lock, so that Save & Clear sees the flows and
  // the rows in step (but for a replay's pass in two halves, see
  // TakeEventsReadyAt).
  const std::optional<FlowTable::FlowNews>* news = foldedNews_.data() + begin;
  if (!newsTaken) {
    chunkNews_.resize(end - begin);
    news = chunkNews_.data();
    TakeChunkNews(begin, end, chunkNews_.data());
  }
  for (size_t i = begin; i < end; ++i) {
    list_.PrefetchRow(RowKey{folded[i].remoteAddress, 0, folded[i].labelId});
  }
  for (size_t i = begin; i < end; ++i) {
    const FoldedRow& f = folded[i];
    const std::optional<FlowTable::FlowNews>& flow = news[i - begin];
    if (!flow) continue;  // cleared since it was queued
    const FlowCounts* counts = &flow->counts;
    const RowKey key{f.remoteAddress, 0, f.labelId};
    const int row = list_.FindRow(key);
    // Hidden flows count too: the filters choose what the list shows,
    // not what the programs did.
    const std::string_view host = row >= 0 ? list_.HostName(row) : std::string_view();
    state_.applications.Count(f.lastTime, f.remoteAddress, f.labelId, state_.labels.Text(f.labelId),
                        flow->news.downloadBytes, flow->news.uploadBytes, host);
    if (row >= 0) {
      list_.SetCounts(row, counts->downloadBytes, counts->uploadBytes, f.lastTime);
      list_.SetSelected(row, true);
      continue;
    }
    RowValues values{counts->downloadBytes, counts->uploadBytes, f.firstTime, f.lastTime};
    // A flow the filters hide keeps its first activity and counts aside,
    // for the log and for when a rule change shows it.
    if (filter_.UpdateHiddenFlow(list_, key, values)) continue;
    const std::string addressText = FormatIp(f.remoteAddress);
    const std::string& localSource = state_.labels.Text(f.labelId);
    if (filter_.IsHidden(list_, addressText, addressText, localSource)) {
      filter_.NoteHiddenFlow(list_, key, RowTexts{addressText, addressText, localSource}, values);
      continue;
    }
    list_.SetSelected(list_.Insert(key, RowTexts{addressText, addressText, localSource}, values), true);
    if (requester_) requester_(f.remoteAddress, f.labelId);
  }
}

void ProcessingPass::TakeQueued(int64_t now, int64_t delay, bool force) {
  // The events that waited for their owner come first: they are older.
  readyFlowEvents_.clear();
  readyFlowEvents_.swap(waiting_);
  state_.packetQueue.TakeReady(now, readyFlowEvents_, delay);
  nextWaited_.clear();
  foldedRows_.clear();
  if (!readyFlowEvents_.empty()) FoldFlowEvents(readyFlowEvents_, force);
  passesWaited_ = std::move(nextWaited_);

  readyProxyEvents_.clear();
  state_.proxyQueue.TakeReady(now, readyProxyEvents_, delay);
}

void ProcessingPass::ShowTaken(bool newsTaken) {
  ShowFolded(newsTaken);
  ProxyAddressCache addresses;
  for (const ProxyEvent& event : readyProxyEvents_) ShowProxyEvent(event, &addresses);
}

void ProcessingPass::ShowQueued(int64_t now, int64_t delay, bool force) {
  TakeQueued(now, delay, force);
  ShowTaken(false);
}

int64_t ProcessingPass::ShowDelay() const {
  // Only a /proc scan needs time to catch up with new sockets; with kernel
  // events, or with no attribution at all (a replay), rows show at once.
  const bool waitForScan = state_.portMap.Active() && !state_.portMap.KernelEvents();
  return waitForScan ? kProcShowDelaySeconds : 0;
}

void ProcessingPass::ShowEventsReadyAt(int64_t now) {
  MutexLock pass(passMutex_);
  ShowQueued(now, ShowDelay(), false);
}

void ProcessingPass::TakeEventsReadyAt(int64_t now) {
  MutexLock pass(passMutex_);
  TakeQueued(now, ShowDelay(), false);
  // Sized once: a busy second's news are megabytes, and a vector grown by
  // doubling would hold nearly twice that.
  foldedNews_.resize(foldedRows_.size());
  for (size_t begin = 0; begin < foldedRows_.size(); begin += kEventsPerListHold) {
    TakeChunkNews(begin, std::min(foldedRows_.size(), begin + kEventsPerListHold),
                  foldedNews_.data() + begin);
  }
}

void ProcessingPass::ShowTakenEvents() {
  MutexLock pass(passMutex_);
  ShowTaken(true);
}

void ProcessingPass::ShowAllThen(const std::function<void()>& work) {
  MutexLock pass(passMutex_);
  ShowQueued(clock_.Now(), 0, true);
  if (work) work();
}

void ProcessingPass::ShowFlowEvent(const FlowEvent& event) {
  MutexLock pass(passMutex_);
  ShowFlowEvents({event}, true);
}

void ProcessingPass::ApplyHostName(const IpAddress& address, uint32_t labelId, std::string_view name) {
  if (name.empty()) return;
  const std::string safeName = SanitizeNetworkText(name);
  const std::string addressText = FormatIp(address);
  {
    TrafficList::Lock lock(list_);
    const int row = list_.FindRow(RowKey{address, 0, labelId});
    // Cleared meanwhile, or named already.
    if (row < 0 || list_.Texts(row).host != addressText) return;
    if (filter_.IsHidden(list_, addressText, safeName, list_.Texts(row).source)) {
      filter_.HideRow(list_, row);
    } else {
      list_.SetCell(row, kColumnRemoteHost, safeName);
    }
  }
  list_.Publish();
}

void ProcessingPass::LookUpHostAgain(const RowKey& key) {
  // A web host's row is named by its requests, not by a lookup.
  if (key.IsProxy()) return;
  {
    TrafficList::Lock lock(list_);
    const int row = list_.FindRow(key);
    if (row < 0) return;
    // The bare address again, so that the answer may replace it.
    list_.SetCell(row, kColumnRemoteHost, FormatIp(key.remoteAddress));
  }
  list_.Publish();
  if (requester_) requester_(key.remoteAddress, key.labelId);
}

uint32_t ProcessingPass::ProxyHostId(const std::string& host) {
  auto [it, isNew] = proxyHostIds_.try_emplace(host, static_cast<uint32_t>(proxyHostIds_.size() + 1));
  return it->second;
}

void ProcessingPass::ShowProxyEvent(const ProxyEvent& event) { ShowProxyEvent(event, nullptr); }

std::string ProcessingPass::ProxyRowAddress(const std::string& host, ProxyAddressCache* cache) const {
  if (ParseInetAddr(host) || ParseIp(host)) return host;
  if (cache) {
    if (auto it = cache->find(host); it != cache->end()) return it->second;
  }
  std::string addressText;
  if (auto address = LookupHostIp(host)) {
    addressText = FormatIp(*address);
  } else {
    addressText = state_.settings.ProxyHost();
    if (addressText.empty()) addressText = "???";
  }
  if (cache) cache->emplace(host, addressText);
  return addressText;
}

void ProcessingPass::ShowProxyEvent(const ProxyEvent& event, ProxyAddressCache* cache) {
  // Connections to a proxy live long: the scan has seen them by now.
  const IpAddress localAddress =
      event.localAddress.family != IpFamily::kNone
          ? event.localAddress
          : IpAddress::V4(state_.settings.interfaceAddress.load(std::memory_order_relaxed));
  const std::optional<std::string> owner =
      state_.portMap.Lookup(kProtocolTcp, localAddress, event.localPort);
  const uint32_t labelId = owner ? state_.labels.Intern(*owner) : state_.ProtocolLabel(kProtocolTcp);
  const RowKey key{IpAddress{}, ProxyHostId(event.host), labelId};
  bool shown = false;
  auto updateRow = [&](int row, const FlowCounts& counts) REQUIRES(list_.mutex()) {
    list_.SetCounts(row, counts.downloadBytes, counts.uploadBytes, event.time);
    list_.SetSelected(row, true);
  };
  {
    // The flow is counted under listMutex, so that Save & Clear sees the
    // flows and the rows in step.
    TrafficList::Lock lock(list_);
    bool found = false;
    FlowCounts counts =
        state_.flows.AddToProxyFlow(event.host, labelId, event.direction, event.length, found);
    if (found) state_.counters.AddTick(event.direction, event.length);
    if (int row = list_.FindRow(key); row >= 0) {
      updateRow(row, counts);
      shown = true;
    } else if (found) {
      shown = filter_.UpdateHiddenFlow(
          list_, key, RowValues{counts.downloadBytes, counts.uploadBytes, event.time, event.time});
    }
  }
  if (shown) {
    list_.Publish();
    return;
  }

  // A new row needs the host's address. The lookup may take seconds, so it
  // runs with no lock held; the flow and the row are looked for again
  // afterwards.
  const std::string addressText = ProxyRowAddress(event.host, cache);
  ShowNewProxyRow(event, key, addressText);
  list_.Publish();
}

void ProcessingPass::ShowNewProxyRow(const ProxyEvent& event, const RowKey& key,
                                     const std::string& addressText) {
  const uint32_t labelId = key.labelId;
  TrafficList::Lock lock(list_);
  std::optional<FlowCounts> counts = state_.flows.LookupProxyFlow(event.host, labelId);
  // Cleared (and saved) meanwhile: a row now would show bytes that are
  // already in a log.
  if (!counts) return;
  if (int row = list_.FindRow(key); row >= 0) {
    list_.SetCounts(row, counts->downloadBytes, counts->uploadBytes, event.time);
    list_.SetSelected(row, true);
    return;
  }
  const RowValues values{counts->downloadBytes, counts->uploadBytes, event.time, event.time};
  if (filter_.UpdateHiddenFlow(list_, key, values)) return;
  const std::string& localSource = state_.labels.Text(labelId);
  if (filter_.IsHidden(list_, addressText, event.host, localSource)) {
    filter_.NoteHiddenFlow(list_, key, RowTexts{addressText, event.host, localSource}, values);
    return;
  }
  list_.SetSelected(list_.Insert(key, RowTexts{addressText, event.host, localSource}, values), true);
}

void ProcessingPass::DeselectIdleRows() { DeselectIdleRowsAt(clock_.Now()); }

void ProcessingPass::DeselectIdleRowsAt(int64_t now) {
  {
    TrafficList::Lock lock(list_);
    list_.DeselectIdleRows(now);
  }
  list_.Publish();
}

}  // namespace corvane
