#include "engine/monitor.h"

#include "attribution/kernel_owners.h"
#include "attribution/port_scanner.h"
#include "engine/configuration.h"
#include "platform/data_folders.h"

namespace corvane {

namespace {
// The processing thread's pace: the queued events that are ready are shown
// ten times a second, so that with kernel events a row appears within a
// blink of its first datagram; the rest of a pass (idle rows, midnight,
// history) runs once a second.
constexpr std::chrono::milliseconds kShowInterval{100};
constexpr int kShowsPerPass = 10;
}  // namespace

Monitor::Monitor(Env& env, std::string appDirectory)
    : env_(env),
      appDirectory_(std::move(appDirectory)),
      state_(env_),
      filter_(state_.list, state_.flows),
      accounting_(state_, env_),
      pass_(state_, filter_, env_),
      persistence_(state_, filter_, pass_, env_,
                   [this](const std::string& message) { ReportError(message); }),
      capture_(env_, [this](const PacketInfo& info) { accounting_.AccountDatagram(info); }) {
  filterFile_ = FilterFilePath(appDirectory_);
}

Monitor::~Monitor() { Stop(); }

void Monitor::ReportError(const std::string& message) {
  if (errorHandler_) errorHandler_(message);
}

// ---------------------------------------------------------------- life cycle

void Monitor::RestartCapture(const std::string& interfaceName) {
  // The old capture thread reads the handlers until it is joined.
  capture_.Stop();
  interfaceName_ = interfaceName;
  capture_.SetHandlers({[this](const std::string& message) { ReportError(message); },
                        titleHandler_, stateHandler_});
  capture_.Start(interfaceName);
}

void Monitor::Pause() {
  if (paused_) return;
  paused_ = true;
  capture_.Stop();
  // Nothing more comes in: what the capture counted is shown now rather
  // than when it would have been ready.
  pass_.ShowAllThen(nullptr);
  attributionPaused_ = portScanner_ && state_.portMap.Active();
  if (attributionPaused_) StopAttribution();
}

void Monitor::Resume() {
  if (!paused_) return;
  paused_ = false;
  RestartCapture(interfaceName_);
  if (attributionPaused_) {
    attributionPaused_ = false;
    if (Status attribution = StartAttribution(); !attribution) {
      ReportError("Programs are not named: " + attribution.reason);
    }
  }
}

void Monitor::Start(const std::string& interfaceName) {
  if (processingRunning_.load()) return;
  paused_ = false;
  attributionPaused_ = false;
  ReloadFilters();
  if (hostNames_ && !resolver_) StartResolver();
  processingRunning_.store(true);
  RestartCapture(interfaceName);
  processingWaiter_ = env_.NewWaiter();
  processingThread_ = env_.StartThread("corvane-pass", [this] { ProcessingThread(); });
  if (Status attribution = StartAttribution(); !attribution) {
    ReportError("Programs are not named: " + attribution.reason);
  }
}

void Monitor::Stop() {
  const bool wasProcessing = processingRunning_.load();
  StopAttribution();
  state_.portMap.SetActive(false);
  processingRunning_.store(false);
  if (processingWaiter_) processingWaiter_->Wake();
  capture_.Stop();
  if (processingThread_.joinable()) processingThread_.join();
  processingWaiter_.reset();
  // The last seconds' events would wait for a pass that no longer comes:
  // they are shown now, so that the rows saved at exit, the history and the
  // last metrics hold every byte that was captured.
  if (wasProcessing) pass_.ShowAllThen(nullptr);
  persistence_.FlushHistory();
  // After the processing thread: no request comes in any more. A lookup
  // stuck in the resolver is left behind and never touches this Monitor.
  if (resolver_) {
    resolver_->Stop();
    resolver_.reset();
  }
}

void Monitor::ProcessingThread() {
  for (int round = 1;; ++round) {
    // Without kernel events nothing new is ready before the next second,
    // and taking nothing from the queue costs one lock.
    ShowReadyEvents();
    processingWaiter_->WaitFor(kShowInterval);
    const bool running = processingRunning_.load();
    if (round % kShowsPerPass == 0 || !running) {
      DeselectIdleRows();
      MidnightStep();
      persistence_.HistoryStep();
    }
    if (!running) break;
  }
}

void Monitor::RunPass() {
  ShowReadyEvents();
  DeselectIdleRows();
  MidnightStep();
  persistence_.HistoryStep();
}

bool Monitor::BeginPass() {
  const int64_t now = env_.Now();
  const LocalTime local = ToLocalTime(now);
  if (local.hour == 0 && local.minute == 0) {
    RunPass();
    return false;
  }
  passTime_ = now;
  pass_.TakeEventsReadyAt(now);
  return true;
}

void Monitor::FinishPass() {
  pass_.ShowTakenEvents();
  pass_.DeselectIdleRowsAt(passTime_);
  persistence_.MidnightStepAt(passTime_);
  persistence_.HistoryStepAt(passTime_);
}

// ---------------------------------------------------------------- host names

void Monitor::EnableHostNames(std::shared_ptr<const std::atomic<bool>> wanted, size_t threads) {
  if (resolver_) resolver_->Stop();
  hostNames_ = true;
  namesWanted_ = std::move(wanted);
  resolverThreads_ = threads;
  StartResolver();
  pass_.SetHostNameRequester([this](const IpAddress& address, uint32_t labelId) {
    if (resolver_) resolver_->Request(address, labelId);
  });
}

void Monitor::StartResolver() {
  // The lookup holds the Env and the flag, never this Monitor: an abandoned
  // one may return after the Monitor is gone.
  ResolverPool::LookupFn lookup = [&env = env_, wanted = namesWanted_](
                                      const IpAddress& address) -> std::optional<std::string> {
    if (wanted && !wanted->load()) return std::nullopt;
    return env.LookUpHostName(address);
  };
  resolver_ = std::make_unique<ResolverPool>(
      std::move(lookup),
      [this](const IpAddress& address, uint64_t labelId, const std::string& name) {
        pass_.ApplyHostName(address, static_cast<uint32_t>(labelId), name);
      },
      resolverThreads_, env_);
}

bool Monitor::WaitForHostNames(std::chrono::milliseconds timeout) {
  return resolver_ ? resolver_->WaitIdle(timeout) : true;
}

// ---------------------------------------------------------------- configuration

FilterLoadResult Monitor::LoadFilters() {
  FilterLoadResult result = LoadFilterSet(filterFile_);
  SetFilters(result.filters);
  return result;
}

void Monitor::ReloadFilters() {
  if (FilterLoadResult filters = LoadFilters(); filters.status == FilterLoadStatus::Unreadable) {
    ReportError("The filters are not used: " + filters.read.reason);
  }
}

Status Monitor::StartAttribution() {
  if (!portScanner_) {
    portScanner_ = std::make_unique<PortScanner>(state_.portMap, env_);
    portScanner_->SetStoppedHandler([this](const Status& reason) {
      ReportError("Programs are no longer named: " + reason.reason);
    });
  }
  return portScanner_->Start();
}

void Monitor::StopAttribution() {
  if (portScanner_) portScanner_->Stop();
}

void Monitor::SendSocketOwnersFrom(HelperCaptureOptions& options) {
  SendSocketOwnersTo(options, state_.portMap,
                     [this](const SocketOwner& owner) { accounting_.TakeSocketOwner(owner); });
}

void Monitor::UseSocketOwners(const std::vector<SocketOwner>& owners) {
  for (const SocketOwner& owner : owners) StoreSocketOwner(state_.portMap, owner);
  state_.portMap.SetActive(true);
  state_.portMap.SetKernelEvents(true);
}

void Monitor::ApplySettings(const Settings& settings) {
  corvane::ApplySettings(state_.settings, settings);
}

void Monitor::LoadSettingsFile() { corvane::LoadSettingsFile(state_.settings, appDirectory_); }

void Monitor::SetInterfaceAddress(uint32_t address, uint32_t mask) {
  state_.settings.interfaceAddress.store(address);
  state_.settings.interfaceMask.store(mask);
}

void Monitor::ApplyOptions(const OptionsResult& result) {
  if (!result.interfaceName.empty() && result.interfaceName != interfaceName_) {
    // While paused the new interface waits for Resume().
    if (processingRunning_.load() && !paused_) {
      RestartCapture(result.interfaceName);
    } else {
      interfaceName_ = result.interfaceName;
    }
  }
  corvane::ApplyOptions(state_.settings, result);
  // The Filters dialog may have rewritten filters.dat meanwhile.
  ReloadFilters();
}

// ---------------------------------------------------------------- the traffic

std::pair<uint64_t, uint64_t> Monitor::Totals() const {
  const FlowCounts totals = state_.flows.Totals();
  return {totals.downloadBytes, totals.uploadBytes};
}

void Monitor::DiscardTick() {
  state_.counters.tickDownloadBytes.store(0);
  state_.counters.tickUploadBytes.store(0);
}

bool Monitor::IsHidden(std::string_view addressText, std::string_view hostText,
                       std::string_view localSource) const {
  TrafficList::ReadLock lock(state_.list);
  return filter_.IsHidden(state_.list, addressText, hostText, localSource);
}

void Monitor::SortRows(int column, SortDirection direction) {
  TrafficList::Lock lock(state_.list);
  SortTrafficList(state_.list, column, direction);
}

void Monitor::MarkRows(const std::vector<std::pair<RowKey, bool>>& marks) {
  {
    TrafficList::Lock lock(state_.list);
    for (const auto& [key, marked] : marks) {
      if (const int row = state_.list.FindRow(key); row >= 0) state_.list.SetSelected(row, marked);
    }
  }
  state_.list.Publish();
}

}  // namespace corvane
