// The running monitor: the parts that keep the traffic (accounting on the
// capture thread, the processing pass, row filtering, persistence, the
// configuration) put together with their threads.
//
// The window (or corvane-cli) owns one Monitor and forwards its commands to
// it; WireLiveMonitor (engine/wiring.h) sets one up the same way for both.
// Start() starts the capture thread, the processing thread and process
// attribution, in that order; Stop() ends them in reverse and joins them.
// Everything the monitor asks of the system (the clock, waits, threads,
// /proc, opening capture, name lookups) goes through the Env it is given.
// Tests and the replay driver skip the threads and call AccountDatagram()
// and the pass steps directly, on an Env whose clock they move.
//
// Lock order: a queue mutex, then the port map's mutex (taken and released),
// then the list's lock, then the flow table's mutex. Problems that the user
// must see (capture cannot be opened, the midnight save failed) go to the
// error handler, which the window turns into a message box; it may be
// called from any worker thread.
//
// What the Monitor hands out is read-only (the list under a ReadLock, the
// flows, the settings); every change goes through a command of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "attribution/resolver_pool.h"
#include "engine/capture_loop.h"
#include "engine/datagram_accounting.h"
#include "engine/persistence.h"
#include "engine/processing_pass.h"
#include "engine/row_filter.h"
#include "engine/row_order.h"
#include "engine/traffic_state.h"
#include "filters/filter_set.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/helper_capture.h"
#include "platform/ip_address.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "platform/waiter.h"
#include "storage/history_store.h"
#include "storage/settings.h"

namespace corvane {

class PortScanner;
struct MonitorInternals;

class Monitor {
 public:
  using CaptureState = corvane::CaptureState;
  using ErrorHandler = std::function<void(const std::string& message)>;
  using TitleHandler = std::function<void(const std::string& title)>;
  using CaptureStateHandler = std::function<void(const CaptureState& state)>;
  using LogWriter = Persistence::LogWriter;
  using HostNameRequester = ProcessingPass::HostNameRequester;

  // `env` must outlive the Monitor (and a lookup it abandoned: see
  // EnableHostNames). `appDirectory` holds the data files.
  Monitor(Env& env, std::string appDirectory);
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // --- configuration, before Start() ---
  // Capture goes through the capture helper (the window, corvane-cli);
  // without, the process opens live capture itself.
  void UseCaptureHelper(CaptureLoop::HelperRoute route) { capture_.UseHelper(std::move(route)); }
  void SetErrorHandler(ErrorHandler handler) { errorHandler_ = std::move(handler); }
  void SetTitleHandler(TitleHandler handler) { titleHandler_ = std::move(handler); }
  void SetCaptureStateHandler(CaptureStateHandler handler) { stateHandler_ = std::move(handler); }
  // Without a writer, Save & Clear clears without saving and the midnight
  // step keeps everything.
  void SetLogWriter(LogWriter writer) { persistence_.SetLogWriter(std::move(writer)); }
  void SetHostNameRequester(HostNameRequester requester) {
    pass_.SetHostNameRequester(std::move(requester));
  }
  // Hands each change of the traffic list to `sink` (the window's model).
  // Before Start(); never under a ReadLock.
  void SetRowChangeSink(TrafficList::ChangeSink sink) { state_.list.SetChangeSink(std::move(sink)); }
  // Shows each datagram counted for a socket to `observer`, on the capture
  // thread; before or while capture runs, nullptr to stop (see
  // DatagramAccounting::SetObserver).
  void SetDatagramObserver(DatagramAccounting::Observer observer) {
    accounting_.SetObserver(std::move(observer));
  }
  // The helper reports each socket's owner to the port map.
  void SendSocketOwnersFrom(HelperCaptureOptions& options);
  // A replay's owners, as the kernel reported them while the capture was
  // taken: stored before their datagrams, and attribution takes them.
  void UseSocketOwners(const std::vector<SocketOwner>& owners);

  // Names the remote host of every new address-flow row: starts a pool of
  // `threads` resolver threads that look the address up with the Env's
  // LookUpHostName while `wanted` says so (always without a flag; it is
  // read on the resolver threads and shared, since a lookup already under
  // way when its owner goes still reads it) and write the name into the row
  // that asked. Replaces any requester set before. Call before Start() and
  // before the first pass; Stop() abandons lookups in flight and a later
  // Start() starts a fresh pool.
  void EnableHostNames(std::shared_ptr<const std::atomic<bool>> wanted = nullptr,
                       size_t threads = ResolverPool::kDefaultThreads);
  // Waits until every requested name has been looked up and applied, or
  // `timeout` has passed; true when done (also without host names).
  bool WaitForHostNames(std::chrono::milliseconds timeout);
  // Keeps the traffic history in the SQLite database at `path`: every
  // processing pass counts the new bytes of each application into the
  // current minute, written at least every kHistoryFlushSeconds and at
  // Stop(); minutes older than `retentionDays` are pruned once a day. A
  // database that cannot be opened is returned as such and the monitor runs
  // without history; one that fails later is reported once through the
  // error handler and capture goes on. Before Start(), window thread.
  HistoryStatus EnableHistory(const std::string& path, int retentionDays = kDefaultHistoryDays) {
    return persistence_.EnableHistory(path, retentionDays);
  }
  // Announces each application seen on the network for the first time
  // (first ever when the history is kept, else since the start). Called on
  // the processing thread; the handler only hands the news on.
  void SetNewApplicationHandler(ApplicationTraffic::NewApplicationHandler handler) {
    persistence_.SetNewApplicationHandler(std::move(handler));
  }
  // Writes what the history holds of the current minute now (window thread
  // while the processing thread does not run, e.g. after a replay).
  void FlushHistory() { persistence_.FlushHistory(); }
  // Bytes per application and address family since the start; any thread.
  std::vector<ApplicationBytes> ApplicationTotals() const { return state_.applications.Totals(); }
  // Datagrams accounted since the start; any thread.
  uint64_t DatagramCount() const { return state_.datagrams.load(std::memory_order_relaxed); }
  // The filter file that LoadFilters() reads; by default filters.dat in
  // appDirectory().
  void SetFilterFile(std::string path) { filterFile_ = std::move(path); }
  const std::string& filterFile() const { return filterFile_; }

  // --- life cycle (window thread) ---
  // Loads the filters, then starts capture on the interface named
  // `interfaceName`, then the processing thread, then process attribution.
  void Start(const std::string& interfaceName);
  // Stops process attribution, processing and capture, and joins them;
  // shows the events still queued and writes the history; abandons
  // host-name lookups in flight.
  void Stop();
  // Ends the current capture thread for sure (joined) and starts one on the
  // interface named `interfaceName`.
  void RestartCapture(const std::string& interfaceName);
  // Pause closes the capture (the helper ends) and stops the port scanner,
  // after the events already queued are shown; the rows, the totals, the
  // history and the midnight step stay as they are, and nothing is counted
  // until Resume() opens capture again on the same interface. Save & Clear
  // and Stop() work as usual while paused. Both do nothing when already in
  // that state. Window thread.
  void Pause();
  void Resume();
  bool IsPaused() const { return paused_; }
  // The interface capture runs on (window thread).
  const std::string& interfaceName() const { return interfaceName_; }
  // The local networks last set (empty before the first SetLocalNetworks).
  LocalNetworks localNetworks() const { return accounting_.localNetworks(); }
  bool IsRunning() const { return processingRunning_.load(); }
  // Datagrams the kernel dropped before the current capture could read them
  // (0 while no live capture is open).
  uint64_t CaptureDroppedByKernel() { return capture_.DroppedByKernel(); }

  // Start-up, before Start(): takes over the persisted settings and the
  // proxy values derived from them (not the interface address).
  void ApplySettings(const Settings& settings);
  // The same from set.dat in the application directory; a missing file
  // changes nothing.
  void LoadSettingsFile();
  // The address (and mask) of the watched interface while no
  // SetLocalNetworks has come: a replay's, or a test's.
  void SetInterfaceAddress(uint32_t address, uint32_t mask);
  // The Options command after OK: restarts capture only when it names
  // another interface (an empty name keeps the one watched), takes over the
  // mask, the flags and the proxy values, and reloads the filters.
  void ApplyOptions(const OptionsResult& result);

  // The row of `key` shows its bare address again and its host is looked up
  // anew (the user's "Look up again"). Window thread.
  void LookUpHostAgain(const RowKey& key) { pass_.LookUpHostAgain(key); }
  // Replaces the active filters; no match runs meanwhile. Rows the new rules
  // hide leave the list at once; rows an earlier change hid and these rules
  // show come back with their flows' counts.
  void SetFilters(FilterSet filters) { filter_.SetFilters(std::move(filters)); }
  // Reads the filter file and makes it the active set (an empty one when
  // the file is missing or unreadable). Window thread; also while the
  // workers run.
  FilterLoadResult LoadFilters();
  // LoadFilters(), telling the error handler why when the file exists but
  // cannot be read (a missing one is normal).
  void ReloadFilters();
  // The watched interface's addresses and networks (see DatagramAccounting).
  // Thread-safe, any time.
  void SetLocalNetworks(LocalNetworks networks) { accounting_.SetLocalNetworks(std::move(networks)); }
  // Process attribution is active while the port map is kept by a scanner.
  void SetAttributionActive(bool active) { state_.portMap.SetActive(active); }
  bool AttributionActive() const { return state_.portMap.Active(); }
  // Starts the port scanner that fills the port map. Fails with the reason,
  // leaving attribution off, when the system's port tables cannot be read.
  Status StartAttribution();
  // Stops the port scanner and joins it; the map keeps its labels.
  void StopAttribution();

  // --- the traffic, read-only ---
  const Clock& clock() const { return env_; }
  Env& env() const { return env_; }
  const std::string& appDirectory() const { return appDirectory_; }
  const LiveSettings& settings() const { return state_.settings; }
  const FlowTable& flows() const { return state_.flows; }
  // Read under a TrafficList::ReadLock.
  const TrafficList& list() const { return state_.list; }
  // Label ids 0 to 255 are the protocols' own labels ("TCP protocol", ...),
  // by protocol number.
  const SourceLabels& labels() const { return state_.labels; }
  // Bytes counted since the start or the last Save & Clear (download,
  // upload), read from the flows that the rows show; any thread.
  std::pair<uint64_t, uint64_t> Totals() const;

  // --- commands on the traffic ---
  // The one-second tick: the bytes since the last tick (download, upload),
  // for the graph and the speeds.
  std::pair<uint64_t, uint64_t> TakeTick() { return state_.counters.Tick(); }
  // Starts the tick from zero.
  void DiscardTick();
  // Sorts the list by `column` (waits for the list's lock; sort threads).
  void SortRows(int column, SortDirection direction) EXCLUDES(state_.list.mutex());
  // The user's marks: (row's flow, marked) pairs; rows gone meanwhile are
  // skipped.
  void MarkRows(const std::vector<std::pair<RowKey, bool>>& marks) EXCLUDES(state_.list.mutex());

  // --- what the worker threads do ---
  // Capture thread: accounts one datagram (direction, proxy, local-area
  // test, the program of its socket, flow, tick counter, event).
  void AccountDatagram(const PacketInfo& info) { accounting_.AccountDatagram(info); }

  // The processing thread's pass, in steps: show the queued events that are
  // ready (all of them with kernel events, else those at least 3 seconds
  // old); deselect rows idle for 5 to 8 seconds; the midnight step.
  // RunPass() does them in order without the wait.
  void ShowReadyEvents() { pass_.ShowEventsReadyAt(env_.Now()); }
  void DeselectIdleRows() { pass_.DeselectIdleRows(); }
  void MidnightStep() { persistence_.MidnightStep(); }
  void RunPass();
  // RunPass in two halves, for a replay that accounts the next second's
  // datagrams while the rows of this one are made (see
  // ProcessingPass::TakeEventsReadyAt). BeginPass() takes what is ready
  // now; FinishPass() does the rest of the pass as of that moment, on any
  // one thread, before the next BeginPass(); in between only
  // AccountDatagram() may run. In the minute of local midnight, whose save
  // must not take a byte of the next day, BeginPass() runs the whole pass
  // itself and answers false: there is nothing left to finish.
  bool BeginPass();
  void FinishPass();

  // Shows one event (processing thread, or tests).
  void ShowFlowEvent(const FlowEvent& event) { pass_.ShowFlowEvent(event); }
  void ShowProxyEvent(const ProxyEvent& event) { pass_.ShowProxyEvent(event); }
  // A resolver thread's answer for the address row (see ProcessingPass).
  void ApplyHostName(const IpAddress& address, uint32_t labelId, std::string_view name) {
    pass_.ApplyHostName(address, labelId, name);
  }

  // True when the filters hide this flow. Takes the list's lock.
  bool IsHidden(std::string_view addressText, std::string_view hostText,
                std::string_view localSource) const EXCLUDES(state_.list.mutex());

  // Save & Clear: shows every queued event, writes the rows to a new log,
  // then empties the list and takes what was saved out of the flows and the
  // totals; bytes counted meanwhile stay for the next rows. When the log
  // cannot be written nothing is emptied and its failure is returned. Holds
  // the list's lock from the copy that is saved to the clear.
  Status SaveAndClear() { return persistence_.SaveAndClear(); }

  // Reports a problem to the user.
  void ReportError(const std::string& message);

 private:
  friend struct MonitorInternals;

  void ProcessingThread();
  void StartResolver();

  Env& env_;
  const std::string appDirectory_;
  TrafficState state_;
  RowFilter filter_;
  DatagramAccounting accounting_;
  ProcessingPass pass_;
  Persistence persistence_;
  CaptureLoop capture_;

  ErrorHandler errorHandler_;
  TitleHandler titleHandler_;
  CaptureStateHandler stateHandler_;
  std::string filterFile_;
  bool hostNames_ = false;                              // window thread only
  int64_t passTime_ = 0;  // of the pass BeginPass() started
  std::shared_ptr<const std::atomic<bool>> namesWanted_;  // window thread only
  size_t resolverThreads_ = 0;                          // window thread only
  // Set by the window thread while the processing thread does not run.
  std::unique_ptr<ResolverPool> resolver_;

  std::string interfaceName_;  // window thread only
  bool paused_ = false;         // window thread only
  bool attributionPaused_ = false;  // window thread only: scanner to start on Resume()
  std::atomic<bool> processingRunning_{false};
  std::thread processingThread_;
  std::unique_ptr<Waiter> processingWaiter_;  // set before the thread starts
  std::unique_ptr<PortScanner> portScanner_;  // window thread only
};

}  // namespace corvane
