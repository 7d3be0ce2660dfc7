#include "engine/monitor.h"

#include <bit>
#include <chrono>
#include <cstdio>
#include <unordered_map>

#include "attribution/port_scanner.h"
#include "engine/protocol_names.h"
#include "vocabulary/text_format.h"
#include "platform/net.h"

namespace corvane {

namespace {

// Events shown per hold of listMutex: enough to batch the window's updates,
// few enough that a resolver or the window never waits long.
constexpr size_t kEventsPerListHold = 512;

// The networks of an interface known only by its IPv4 address and mask.
// The loopback interface also holds ::1.
LocalNetworks NetworksOfAddress(uint32_t address, uint32_t mask) {
  LocalNetworks networks;
  const IpAddress own = IpAddress::V4(address);
  networks.addresses.push_back(own);
  networks.prefixes.push_back(
      IpPrefix{IpAddress::V4(address & mask),
               static_cast<uint8_t>(std::popcount(mask))});
  if (IsLoopback(own)) {
    std::array<uint8_t, 16> one{};
    one[15] = 1;
    networks.addresses.push_back(IpAddress::V6(one));
    networks.prefixes.push_back(IpPrefix{IpAddress::V6(one), 128});
  }
  return networks;
}

// The proxy's IPv6 address when its address text is one (the Options
// dialog hands over the address it resolved the host to); else none.
IpAddress ProxyAddress6FromText(const std::string& text) {
  std::optional<IpAddress> address = ParseIp(text);
  return address && address->IsV6() ? *address : IpAddress{};
}

// The first of the interface's addresses of `family`; the wildcard address
// when it has none.
IpAddress FirstOwnAddress(const LocalNetworks& networks, IpFamily family) {
  for (const IpAddress& address : networks.addresses) {
    if (address.family == family) return address;
  }
  return WildcardOf(family);
}

}  // namespace

Monitor::Monitor(const Clock& clock, std::string appDirectory)
    : clock_(clock),
      appDirectory_(std::move(appDirectory)),
      captureOpener_([](const std::string& name, std::string& error) {
        return OpenLiveCapture(name, error);
      }),
      applications_([](int pid) { return ReadAppIdentity(pid); }) {
  filterFile_ = FilterFilePath(appDirectory_);
  for (uint16_t protocol = 0; protocol < protocolLabels_.size(); ++protocol) {
    protocolLabels_[protocol] = labels_.Intern(ProtocolSourceText(protocol));
  }
}

Monitor::~Monitor() { Stop(); }

void Monitor::ReportError(const std::string& message) {
  if (errorHandler_) errorHandler_(message);
}

// ---------------------------------------------------------------- capture

void Monitor::SetLocalNetworks(LocalNetworks networks) {
  // The settings keep the first IPv4 address and its network for what still
  // asks for one (the Options dialog, proxy attribution).
  for (const IpPrefix& prefix : networks.prefixes) {
    if (!prefix.address.IsV4()) continue;
    const uint32_t mask = prefix.length == 0 ? 0 : ~uint32_t{0} << (32 - prefix.length);
    settings_.interfaceMask.store(MakeAddress(static_cast<uint8_t>(mask >> 24),
                                              static_cast<uint8_t>(mask >> 16),
                                              static_cast<uint8_t>(mask >> 8),
                                              static_cast<uint8_t>(mask)));
    break;
  }
  uint32_t address = 0;
  for (const IpAddress& own : networks.addresses) {
    if (own.IsV4()) {
      address = own.V4Value();
      break;
    }
  }
  settings_.interfaceAddress.store(address);
  localNetworks_.Set(std::move(networks));
  localNetworksGiven_.store(true, std::memory_order_release);
}

const LocalNetworks& Monitor::CurrentNetworks() {
  if (localNetworksGiven_.load(std::memory_order_acquire)) {
    localNetworks_.Refresh(networks_, networksVersion_);
    return *networks_;
  }
  const uint32_t address = settings_.interfaceAddress.load(std::memory_order_relaxed);
  const uint32_t mask = settings_.interfaceMask.load(std::memory_order_relaxed);
  if (!networks_ || address != derivedAddress_ || mask != derivedMask_) {
    networks_ = std::make_shared<const LocalNetworks>(NetworksOfAddress(address, mask));
    derivedAddress_ = address;
    derivedMask_ = mask;
  }
  return *networks_;
}

void Monitor::AccountDatagram(const PacketInfo& info) {
  const LocalNetworks& networks = CurrentNetworks();
  int direction;
  if (networks.IsOwnAddress(info.sourceAddress)) {
    direction = kDirectionUpload;
  } else if (networks.IsOwnAddress(info.destinationAddress) ||
             IsMulticast(info.destinationAddress)) {
    direction = kDirectionDownload;
  } else {
    return;
  }
  datagrams_.fetch_add(1, std::memory_order_relaxed);

  // The proxy attribution answers false for everything while it is off;
  // asking it only when on spares the capture thread a clock read.
  if (settings_.proxyEnabled.load(std::memory_order_relaxed) &&
      proxy_.AttributeProxyDatagram(settings_, info.sourceAddress, info.destinationAddress,
                                    info.length, info.destinationPort, info.sourcePort, direction,
                                    info.requestText, clock_.Now(), proxyQueue_)) {
    return;
  }

  const bool upload = direction == kDirectionUpload;
  if (settings_.hideLanFlows.load(std::memory_order_relaxed)) {
    if (IsMulticast(info.destinationAddress)) return;
    if (info.sourceAddress.IsV4()) {
      // The user's mask decides for IPv4, as it always has.
      const uint32_t mask = settings_.interfaceMask.load(std::memory_order_relaxed);
      if ((info.sourceAddress.V4Value() & mask) == (info.destinationAddress.V4Value() & mask)) {
        return;
      }
    } else if (networks.IsLocalArea(upload ? info.destinationAddress : info.sourceAddress)) {
      return;
    }
  }

  SocketTuple tuple;
  tuple.protocol = static_cast<uint8_t>(info.protocol);
  tuple.remoteAddress = upload ? info.destinationAddress : info.sourceAddress;
  // A datagram to a multicast group arrives at the interface's socket.
  tuple.localAddress = upload ? info.sourceAddress
                       : IsMulticast(info.destinationAddress)
                           ? FirstOwnAddress(networks, info.destinationAddress.family)
                           : info.destinationAddress;
  tuple.localPort = upload ? info.sourcePort : info.destinationPort;
  tuple.remotePort = upload ? info.destinationPort : info.sourcePort;

  uint32_t labelId = SocketLabel(tuple);
  if (labelId == kUndecidedLabel) {
    labelId = flows_.AddToPendingSocket(tuple, direction, info.length);
    if (labelId != kUndecidedLabel) {
      socketLabels_[SocketKeyOf(tuple.remoteAddress, tuple.protocol, tuple.localPort)].labelId =
          labelId;
    }
  } else {
    flows_.AddToAddressFlow(tuple.remoteAddress, labelId, direction, info.length);
  }
  counters_.AddTick(direction, info.length);
  packetQueue_.Push(
      FlowEvent{tuple.remoteAddress, labelId, tuple.localPort, info.protocol, clock_.Now()});
}

uint32_t Monitor::SocketLabel(const SocketTuple& tuple) {
  // Without attribution every flow is named by its protocol; the cache is
  // not needed (and a replay spares its cost).
  if ((tuple.protocol != kProtocolTcp && tuple.protocol != kProtocolUdp) || !portMap_.Active()) {
    return ProtocolLabel(tuple.protocol);
  }
  // Sockets come and go; a cache that grows past this starts afresh.
  constexpr size_t kMaxCachedSockets = size_t{1} << 20;
  if (socketLabels_.size() >= kMaxCachedSockets) socketLabels_.clear();
  CachedLabel& cached =
      socketLabels_[SocketKeyOf(tuple.remoteAddress, tuple.protocol, tuple.localPort)];
  const uint64_t version = portMap_.Version();
  if (cached.known && cached.version == version) return cached.labelId;
  // New, or the port map changed since the label was taken: the port may
  // now belong to another program.
  // With kernel events a new socket waits for its own owner, which the
  // kernel reports within milliseconds and the pass takes seconds later: its
  // port may still carry the label of a socket that used it before.
  const bool awaitOwner = !cached.known && portMap_.KernelEvents();
  if (std::optional<std::string> label =
          awaitOwner ? std::nullopt
                     : portMap_.Lookup(tuple.protocol, tuple.localAddress, tuple.localPort)) {
    cached.labelId = labels_.Intern(*label);
  } else if (!cached.known) {
    // Too new for the scan: the owner is asked for now, while the socket
    // still exists, and the pass takes the answer.
    portMap_.RequestExact(tuple);
    cached.labelId = kUndecidedLabel;
  }
  // Otherwise the socket keeps its label: it is gone from the tables but its
  // last datagrams are still its own.
  cached.known = true;
  cached.version = version;
  return cached.labelId;
}

void Monitor::CaptureThread(CaptureRun& run, const std::string& interfaceName) {
  if (titleHandler_) titleHandler_("Corvane [" + interfaceName + "]");

  std::unique_ptr<CaptureSource> source;
  bool reported = false;
  std::optional<CaptureState> told;
  auto tell = [&](bool capturing, std::string reason) {
    CaptureState state{capturing, interfaceName, std::move(reason)};
    if (told == state) return;
    told = state;
    if (stateHandler_) stateHandler_(state);
  };
  auto open = [&] {
    std::string error;
    source = captureOpener_ ? captureOpener_(interfaceName, error) : nullptr;
    tell(source != nullptr, source ? std::string() : (error.empty() ? kPromiscuousModeError : error));
    MutexLock lock(run.sourceMutex);
    run.source = source.get();
    if (source && run.stop.load()) source->Interrupt();
    if (!source && !reported) {
      reported = true;
      ReportError(kPromiscuousModeError);
    }
  };
  auto close = [&] {
    MutexLock lock(run.sourceMutex);
    run.source = nullptr;
    source.reset();
  };

  open();
  auto nextAttempt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  CapturedDatagram datagram;
  std::string error;
  while (!run.stop.load()) {
    if (!source) {
      // The interface may come back: try again about once a second, never
      // spinning in between.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (std::chrono::steady_clock::now() >= nextAttempt && !run.stop.load()) {
        open();
        nextAttempt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      }
      continue;
    }
    switch (source->Next(datagram, error)) {
      case ReadStatus::Datagram:
        if (auto info = ParsePacketInfo(datagram.bytes, datagram.wireLength)) AccountDatagram(*info);
        break;
      case ReadStatus::Timeout:
      case ReadStatus::Interrupted:
        break;
      case ReadStatus::EndOfFile:
      case ReadStatus::Error:
        tell(false, error.empty() ? std::string("the capture ended") : error);
        close();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        nextAttempt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        break;
    }
  }
  close();
}

void Monitor::StopCapture() {
  if (!capture_) return;
  capture_->stop.store(true);
  {
    MutexLock lock(capture_->sourceMutex);
    if (capture_->source) capture_->source->Interrupt();
  }
  if (capture_->thread.joinable()) capture_->thread.join();
  capture_.reset();
}

uint64_t Monitor::CaptureDroppedByKernel() {
  if (!capture_) return 0;
  MutexLock lock(capture_->sourceMutex);
  return capture_->source ? capture_->source->DroppedByKernel() : 0;
}

void Monitor::RestartCapture(const std::string& interfaceName) {
  StopCapture();
  interfaceName_ = interfaceName;
  capture_ = std::make_unique<CaptureRun>();
  CaptureRun& run = *capture_;
  run.thread = std::thread([this, &run, interfaceName] { CaptureThread(run, interfaceName); });
}

// ---------------------------------------------------------------- life cycle

void Monitor::Start(const std::string& interfaceName) {
  if (processingRunning_.load()) return;
  LoadFilters();
  if (hostNameLookup_ && !resolver_) StartResolver();
  processingRunning_.store(true);
  RestartCapture(interfaceName);
  processingThread_ = std::thread([this] { ProcessingThread(); });
  StartAttribution();
}

void Monitor::Stop() {
  const bool wasProcessing = processingRunning_.load();
  StopAttribution();
  portMap_.SetActive(false);
  {
    MutexLock lock(wakeMutex_);
    processingRunning_.store(false);
  }
  wake_.notify_all();
  StopCapture();
  if (processingThread_.joinable()) processingThread_.join();
  // The last seconds' events would wait for a pass that no longer comes:
  // they are shown now, so that the rows saved at exit, the history and the
  // last metrics hold every byte that was captured.
  if (wasProcessing) ShowEventsReadyAt(clock_.Now() + 3);
  FlushHistory();
  // After the processing thread: no request comes in any more. A lookup
  // stuck in the resolver is left behind and never touches this Monitor.
  if (resolver_) {
    resolver_->Stop();
    resolver_.reset();
  }
}

void Monitor::EnableHostNames(ResolverPool::LookupFn lookup, size_t threads) {
  if (resolver_) resolver_->Stop();
  hostNameLookup_ = std::move(lookup);
  resolverThreads_ = threads;
  StartResolver();
  hostNameRequester_ = [this](const IpAddress& address, uint32_t labelId) {
    if (resolver_) resolver_->Request(address, labelId);
  };
}

void Monitor::StartResolver() {
  resolver_ = std::make_unique<ResolverPool>(
      hostNameLookup_,
      [this](const IpAddress& address, uint64_t labelId, const std::string& name) {
        ApplyHostName(address, static_cast<uint32_t>(labelId), name);
      },
      resolverThreads_);
}

bool Monitor::WaitForHostNames(std::chrono::milliseconds timeout) {
  return resolver_ ? resolver_->WaitIdle(timeout) : true;
}

FilterLoadResult Monitor::LoadFilters() {
  FilterLoadResult result = LoadFilterSet(filterFile_);
  SetFilters(result.filters);
  return result;
}

int Monitor::StartAttribution() {
  if (!portScanner_) portScanner_ = std::make_unique<PortScanner>(portMap_);
  return portScanner_->Start();
}

void Monitor::StopAttribution() {
  if (portScanner_) portScanner_->Stop();
}

void Monitor::ApplySettings(const Settings& settings) {
  settings_.interfaceMask.store(settings.interfaceMask);
  settings_.hideLanFlows.store(settings.hideLanFlows);
  settings_.freezeGraph.store(settings.freezeGraph);
  settings_.proxyEnabled.store(settings.proxyEnabled);
  settings_.SetProxyHost(settings.proxyHost);
  settings_.proxyAddress.store(settings.proxyAddress);
  settings_.proxyAddress6.Set(ProxyAddress6FromText(settings.proxyHost));
  settings_.proxyPort.store(settings.proxyPort);
}

void Monitor::LoadSettingsFile() {
  Settings settings;
  settings.interfaceAddress = settings_.interfaceAddress.load();
  settings.interfaceMask = settings_.interfaceMask.load();
  settings.hideLanFlows = settings_.hideLanFlows.load();
  settings.freezeGraph = settings_.freezeGraph.load();
  settings.proxyEnabled = settings_.proxyEnabled.load();
  settings.proxyHost = settings_.ProxyHost();
  settings.proxyAddress = settings_.proxyAddress.load();
  settings.proxyPort = settings_.proxyPort.load();
  LoadSettings(appDirectory_ + "/" + kSettingsFileName, settings);
  ApplySettings(settings);
}

void Monitor::ApplyOptions(const OptionsResult& result) {
  if (!result.interfaceName.empty() && result.interfaceName != interfaceName_) {
    if (processingRunning_.load()) {
      RestartCapture(result.interfaceName);
    } else {
      interfaceName_ = result.interfaceName;
    }
  }
  settings_.interfaceMask.store(result.interfaceMask);
  settings_.hideLanFlows.store(result.hideLanFlows);
  settings_.freezeGraph.store(result.freezeGraph);
  settings_.proxyEnabled.store(result.proxyEnabled);
  settings_.SetProxyHost(result.proxyHostText);
  settings_.proxyAddress.store(ProxyAddressFromText(result.proxyHostText));
  settings_.proxyAddress6.Set(ProxyAddress6FromText(result.proxyHostText));
  settings_.proxyPort.store(ProxyPortFromText(result.proxyPortText));
  // The Filters dialog may have rewritten filters.dat meanwhile.
  LoadFilters();
}

void Monitor::SetFilters(FilterSet filters) {
  TrafficList::Lock lock(list_);
  filters_ = std::move(filters);
  ApplyFiltersToRows();
}

// Rows of flows the rules now hide leave the list at once; rows put aside
// earlier that the rules no longer hide come back, with the counts their
// flows reached meanwhile (flows count on while hidden).
void Monitor::ApplyFiltersToRows() {
  for (int row = list_.Count() - 1; row >= 0; --row) {
    const RowCells& cells = list_.Cells(row);
    if (!IsHidden(cells[kColumnRemoteIp], cells[kColumnRemoteHost], cells[kColumnLocalSource])) {
      continue;
    }
    hiddenRows_.push_back(HiddenRow{list_.Key(row), cells, list_.Values(row)});
    list_.Remove(row);
  }
  for (size_t i = 0; i < hiddenRows_.size();) {
    HiddenRow& hidden = hiddenRows_[i];
    RowCells& cells = hidden.cells;
    if (IsHidden(cells[kColumnRemoteIp], cells[kColumnRemoteHost], cells[kColumnLocalSource])) {
      ++i;
      continue;
    }
    const std::optional<FlowCounts> counts =
        hidden.key.IsProxy() ? flows_.LookupProxyFlow(cells[kColumnRemoteHost], hidden.key.labelId)
                             : flows_.LookupAddressFlow(hidden.key.remoteAddress, hidden.key.labelId);
    // A flow cleared meanwhile was saved with the rest of the day: its row
    // does not come back.
    if (counts && list_.FindRow(hidden.key) < 0) {
      hidden.values.downloadBytes = counts->downloadBytes;
      hidden.values.uploadBytes = counts->uploadBytes;
      cells[kColumnDownload] = FormatByteCount(counts->downloadBytes);
      cells[kColumnUpload] = FormatByteCount(counts->uploadBytes);
      cells[kColumnTotal] = FormatByteCount(counts->downloadBytes + counts->uploadBytes);
      list_.InsertTop(hidden.key, std::move(cells), hidden.values);
    }
    hiddenRows_[i] = std::move(hiddenRows_.back());
    hiddenRows_.pop_back();
  }
}

bool Monitor::IsHidden(std::string_view addressText, std::string_view hostText,
                       std::string_view localSource) const {
  return MatchFilters(filters_, addressText, hostText, localSource);
}

// ---------------------------------------------------------------- processing

void Monitor::ProcessingThread() {
  while (true) {
    ShowReadyEvents();
    {
      MutexLock lock(wakeMutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(1000),
                     [this] { return !processingRunning_.load(); });
    }
    DeselectIdleRows();
    MidnightStep();
    HistoryStep();
    if (!processingRunning_.load()) break;
  }
}

void Monitor::RunPass() {
  ShowReadyEvents();
  DeselectIdleRows();
  MidnightStep();
  HistoryStep();
}

// ---------------------------------------------------------------- history

HistoryStatus Monitor::EnableHistory(const std::string& path, int retentionDays) {
  auto store = std::make_unique<HistoryStore>();
  if (HistoryStatus status = store->Open(path); !status) return status;
  historyStore_ = std::move(store);
  historyRecorder_ = std::make_unique<HistoryRecorder>(
      *historyStore_, [this](const std::string& reason) { ReportError(reason); }, retentionDays);
  applications_.SetRecorder(historyRecorder_.get());
  return HistoryStatus::Ok();
}

void Monitor::SetIdentityReader(ApplicationTraffic::IdentityReader reader) {
  applications_.SetIdentityReader(std::move(reader));
}

void Monitor::HistoryStep() {
  if (!knownApplicationsLoaded_) {
    knownApplicationsLoaded_ = true;
    if (newApplicationHandler_) {
      // The applications of the history are not news; a history that cannot
      // be read makes every application news once.
      std::set<std::string> known;
      std::vector<HistoryTotal> totals;
      if (historyStore_ &&
          historyStore_->Totals(HistoryGrouping::kApp, INT64_MIN, INT64_MAX, totals)) {
        for (HistoryTotal& total : totals) known.insert(std::move(total.key));
      }
      applications_.SetNewApplicationHandler(newApplicationHandler_, std::move(known));
    }
  }
  if (!historyRecorder_) return;
  const int64_t now = clock_.Now();
  if (lastHistoryFlush_ != INT64_MIN && now - lastHistoryFlush_ < kHistoryFlushSeconds &&
      now >= lastHistoryFlush_) {
    return;
  }
  lastHistoryFlush_ = now;
  // Count() and the flushes run on this thread only: the disk write holds
  // no lock that the window waits for.
  (void)historyRecorder_->Flush(now);
}

void Monitor::FlushHistory() {
  if (!historyRecorder_) return;
  // Every minute held is complete: nothing more is counted into it.
  (void)historyRecorder_->Flush(clock_.Now() + HistoryRecorder::kLateSeconds + 60);
}

const std::string& Monitor::TimestampText(int64_t seconds) {
  if (seconds != timestampCacheTime_) {
    timestampCacheText_ = FormatTimestamp(seconds);
    timestampCacheTime_ = seconds;
  }
  return timestampCacheText_;
}

uint32_t Monitor::DecideSocket(const FlowKey& socketKey) {
  auto pending = flows_.LookupPendingSocket(socketKey);
  if (!pending) return kUndecidedLabel;  // cleared since it was queued
  const auto& [tuple, decided] = *pending;
  if (decided != kUndecidedLabel) return decided;
  uint32_t labelId;
  if (std::optional<std::string> answer = portMap_.TakeAnswer(tuple)) {
    labelId = labels_.Intern(*answer);
  } else if (std::optional<std::string> label =
                 portMap_.Lookup(tuple.protocol, tuple.localAddress, tuple.localPort)) {
    labelId = labels_.Intern(*label);
  } else {
    labelId = ProtocolLabel(tuple.protocol);
  }
  return flows_.DecidePendingSocket(socketKey, labelId);
}

// The events of one row within a pass, folded: showing them one by one
// leaves the row exactly as showing one event with the first one's time as
// its first activity and the last one's as its last (the counts come from
// the flow, which is read once for all of them).
void Monitor::ShowFlowEvents(const std::vector<FlowEvent>& events) {
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
      if (std::optional<uint32_t> known = labelOfSocket_.Find(
              socketHash, [&](uint32_t entry) { return decidedSockets_[entry].key == socketKey; })) {
        labelId = decidedSockets_[*known].labelId;
      } else {
        labelId = DecideSocket(socketKey);
        labelOfSocket_.Insert(socketHash, static_cast<uint32_t>(decidedSockets_.size()));
        decidedSockets_.push_back(DecidedSocket{socketKey, labelId});
      }
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

  for (size_t begin = 0; begin < folded.size(); begin += kEventsPerListHold) {
    size_t end = std::min(folded.size(), begin + kEventsPerListHold);
    TrafficList::Lock lock(list_);
    for (size_t i = begin; i < end; ++i) {
      const FoldedRow& f = folded[i];
      std::optional<FlowCounts> counts = flows_.LookupAddressFlow(f.remoteAddress, f.labelId);
      if (!counts) continue;  // cleared since it was queued
      const RowKey key{f.remoteAddress, 0, f.labelId};
      const int row = list_.FindRow(key);
      // Hidden flows count too: the filters choose what the list shows,
      // not what the programs did.
      std::string_view host;
      if (row >= 0) {
        const RowCells& shown = list_.Cells(row);
        if (shown[kColumnRemoteHost] != shown[kColumnRemoteIp]) host = shown[kColumnRemoteHost];
      }
      applications_.Count(f.lastTime, f.remoteAddress, f.labelId, labels_.Text(f.labelId),
                          counts->downloadBytes, counts->uploadBytes, host);
      if (row >= 0) {
        list_.SetCounts(row, counts->downloadBytes, counts->uploadBytes, f.lastTime,
                        TimestampText(f.lastTime));
        list_.SetSelected(row, true);
        continue;
      }
      const std::string addressText = FormatIp(f.remoteAddress);
      const std::string& localSource = labels_.Text(f.labelId);
      if (IsHidden(addressText, addressText, localSource)) continue;
      RowCells cells{addressText,
                     addressText,
                     FormatByteCount(counts->downloadBytes),
                     FormatByteCount(counts->uploadBytes),
                     FormatByteCount(counts->downloadBytes + counts->uploadBytes),
                     localSource,
                     TimestampText(f.firstTime),
                     TimestampText(f.lastTime)};
      list_.InsertTop(key, std::move(cells),
                      RowValues{counts->downloadBytes, counts->uploadBytes, f.firstTime, f.lastTime});
      list_.SetSelected(0, true);
      if (hostNameRequester_) hostNameRequester_(f.remoteAddress, f.labelId);
    }
  }
}

void Monitor::ShowReadyEvents() { ShowEventsReadyAt(clock_.Now()); }

void Monitor::ShowEventsReadyAt(int64_t now) {
  readyFlowEvents_.clear();
  packetQueue_.TakeReady(now, readyFlowEvents_);
  if (!readyFlowEvents_.empty()) ShowFlowEvents(readyFlowEvents_);

  readyProxyEvents_.clear();
  proxyQueue_.TakeReady(now, readyProxyEvents_);
  ProxyAddressCache addresses;
  for (const ProxyEvent& event : readyProxyEvents_) ShowProxyEvent(event, &addresses);
}

void Monitor::ShowFlowEvent(const FlowEvent& event) { ShowFlowEvents({event}); }

void Monitor::ApplyHostName(const IpAddress& address, uint32_t labelId, std::string_view name) {
  if (name.empty()) return;
  const std::string safeName = SanitizeNetworkText(name);
  const std::string addressText = FormatIp(address);
  TrafficList::Lock lock(list_);
  const int row = list_.FindRow(RowKey{address, 0, labelId});
  // Cleared meanwhile, or named already.
  if (row < 0 || list_.Cell(row, kColumnRemoteHost) != addressText) return;
  if (IsHidden(addressText, safeName, list_.Cell(row, kColumnLocalSource))) {
    list_.Remove(row);
  } else {
    list_.SetCell(row, kColumnRemoteHost, safeName);
  }
}

void Monitor::LookUpHostAgain(const RowKey& key) {
  // A web host's row is named by its requests, not by a lookup.
  if (key.IsProxy()) return;
  {
    TrafficList::Lock lock(list_);
    const int row = list_.FindRow(key);
    if (row < 0) return;
    // The bare address again, so that the answer may replace it.
    list_.SetCell(row, kColumnRemoteHost, FormatIp(key.remoteAddress));
  }
  if (hostNameRequester_) hostNameRequester_(key.remoteAddress, key.labelId);
}

uint32_t Monitor::ProxyHostId(const std::string& host) {
  auto [it, isNew] = proxyHostIds_.try_emplace(host, static_cast<uint32_t>(proxyHostIds_.size() + 1));
  return it->second;
}

void Monitor::ShowProxyEvent(const ProxyEvent& event) { ShowProxyEvent(event, nullptr); }

std::string Monitor::ProxyRowAddress(const std::string& host, ProxyAddressCache* cache) const {
  if (ParseInetAddr(host) || ParseIp(host)) return host;
  if (cache) {
    if (auto it = cache->find(host); it != cache->end()) return it->second;
  }
  std::string addressText;
  if (auto address = LookupHostIp(host)) {
    addressText = FormatIp(*address);
  } else {
    addressText = settings_.ProxyHost();
    if (addressText.empty()) addressText = "???";
  }
  if (cache) cache->emplace(host, addressText);
  return addressText;
}

void Monitor::ShowProxyEvent(const ProxyEvent& event, ProxyAddressCache* cache) {
  // Connections to a proxy live long: the scan has seen them by now.
  const IpAddress localAddress =
      event.localAddress.family != IpFamily::kNone
          ? event.localAddress
          : IpAddress::V4(settings_.interfaceAddress.load(std::memory_order_relaxed));
  const std::optional<std::string> owner =
      portMap_.Lookup(kProtocolTcp, localAddress, event.localPort);
  const uint32_t labelId = owner ? labels_.Intern(*owner) : ProtocolLabel(kProtocolTcp);
  const RowKey key{IpAddress{}, ProxyHostId(event.host), labelId};
  auto updateRow = [&](int row, const FlowCounts& counts) REQUIRES(list_.mutex()) {
    list_.SetCounts(row, counts.downloadBytes, counts.uploadBytes, event.time,
                    TimestampText(event.time));
    list_.SetSelected(row, true);
  };
  {
    // The flow is counted under listMutex, so that Save & Clear sees the
    // flows and the rows in step.
    TrafficList::Lock lock(list_);
    bool found = false;
    FlowCounts counts =
        flows_.AddToProxyFlow(event.host, labelId, event.direction, event.length, found);
    if (found) counters_.AddTick(event.direction, event.length);
    if (int row = list_.FindRow(key); row >= 0) {
      updateRow(row, counts);
      return;
    }
  }

  // A new row needs the host's address. The lookup may take seconds, so it
  // runs with no lock held; the flow and the row are looked for again
  // afterwards.
  const std::string addressText = ProxyRowAddress(event.host, cache);

  TrafficList::Lock lock(list_);
  std::optional<FlowCounts> counts = flows_.LookupProxyFlow(event.host, labelId);
  // Cleared (and saved) meanwhile: a row now would show bytes that are
  // already in a log.
  if (!counts) return;
  if (int row = list_.FindRow(key); row >= 0) {
    updateRow(row, *counts);
    return;
  }
  const std::string& localSource = labels_.Text(labelId);
  if (IsHidden(addressText, event.host, localSource)) return;
  const std::string& stamp = TimestampText(event.time);
  list_.InsertTop(key,
                  RowCells{addressText, event.host, FormatByteCount(counts->downloadBytes),
                           FormatByteCount(counts->uploadBytes),
                           FormatByteCount(counts->downloadBytes + counts->uploadBytes),
                           localSource, stamp, stamp},
                  RowValues{counts->downloadBytes, counts->uploadBytes, event.time, event.time});
  list_.SetSelected(0, true);
}

void Monitor::DeselectIdleRows() {
  const int64_t now = clock_.Now();
  TrafficList::Lock lock(list_);
  list_.DeselectIdleRows(now);
}

std::optional<std::string> Monitor::SaveAndClear() {
  TrafficList::Lock lock(list_);
  if (logWriter_) {
    if (auto failedPath = logWriter_(list_.Rows())) return failedPath;
  }
  flows_.Clear();
  applications_.Forget();
  list_.Clear();
  hiddenRows_.clear();
  counters_.ClearTotals();
  return std::nullopt;
}

void Monitor::MidnightStep() {
  LocalTime local = ToLocalTime(clock_.Now());
  if (local.hour != 0 || local.minute != 0) {
    midnightClearDone_ = false;
    midnightSaveReported_ = false;
    return;
  }
  // Without a log (a replay without a log directory) the day has nowhere to
  // go, so it is kept and the counts run on across midnight.
  if (midnightClearDone_ || !logWriter_) return;
  if (auto failedPath = SaveAndClear()) {
    // Nothing was cleared; the next pass in this minute tries again. The
    // user hears of it once.
    if (!midnightSaveReported_) {
      midnightSaveReported_ = true;
      ReportError("Can't write to " + *failedPath);
    }
    return;
  }
  midnightClearDone_ = true;
}

}  // namespace corvane
