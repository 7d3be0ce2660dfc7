// The running monitor: settings, flows, counters, queues, filters, the port
// map, the traffic list and the worker threads that keep them.
//
// The window (or corvane-cli) owns one Monitor and forwards its commands to
// it. Worker threads get the Monitor as their one argument. Start() starts
// the capture thread, the processing thread and process attribution, in that
// order; Stop() ends them in reverse and joins them. Tests and the replay
// driver skip the threads and call AccountDatagram() and the pass steps
// directly on a ManualClock.
//
// Lock order: a queue mutex, then the port map's mutex (taken and released),
// then listMutex, then the flow table's mutex. Problems that the user must
// see (capture cannot be opened, the midnight save failed) go to the error
// handler, which the window turns into a message box; it may be called from
// any worker thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "attribution/port_process_map.h"
#include "attribution/resolver_pool.h"
#include "engine/application_traffic.h"
#include "engine/event_queues.h"
#include "engine/flat_hash.h"
#include "engine/flow_table.h"
#include "engine/live_settings.h"
#include "engine/packet_info.h"
#include "engine/proxy_attribution.h"
#include "engine/source_labels.h"
#include "engine/traffic_list.h"
#include "filters/filter_set.h"
#include "platform/capture_source.h"
#include "platform/clock.h"
#include "platform/ip_address.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "storage/history_recorder.h"
#include "storage/history_store.h"
#include "storage/settings.h"

namespace corvane {

class PortScanner;

inline constexpr const char* kPromiscuousModeError = "Can't set promiscuous mode";
// How often the processing thread writes the current minute to the history.
inline constexpr int64_t kHistoryFlushSeconds = 10;

class Monitor {
 public:
  using CaptureOpener = std::function<std::unique_ptr<CaptureSource>(
      const std::string& interfaceName, std::string& error)>;
  using ErrorHandler = std::function<void(const std::string& message)>;
  using TitleHandler = std::function<void(const std::string& title)>;
  // Whether capture runs on the watched interface, and why not when it does
  // not (the opener's or the source's reason). Called by the capture thread
  // whenever that changes.
  struct CaptureState {
    bool capturing = false;
    std::string interfaceName;
    std::string reason;
    bool operator==(const CaptureState&) const = default;
  };
  using CaptureStateHandler = std::function<void(const CaptureState& state)>;
  // Writes `rows` (top to bottom) to a new traffic log. Returns the path
  // that could not be written, or nullopt on success.
  using LogWriter = std::function<std::optional<std::string>(const std::vector<RowCells>& rows)>;
  // Asks for the name of the address row (remote address, label id).
  using HostNameRequester = std::function<void(const IpAddress& remoteAddress, uint32_t labelId)>;

  // `clock` must outlive the Monitor. `appDirectory` holds the data files.
  Monitor(const Clock& clock, std::string appDirectory);
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // --- configuration, before Start() ---
  void SetCaptureOpener(CaptureOpener opener) { captureOpener_ = std::move(opener); }
  void SetErrorHandler(ErrorHandler handler) { errorHandler_ = std::move(handler); }
  void SetTitleHandler(TitleHandler handler) { titleHandler_ = std::move(handler); }
  void SetCaptureStateHandler(CaptureStateHandler handler) { stateHandler_ = std::move(handler); }
  // Without a writer, Save & Clear clears without saving and the midnight
  // step keeps everything.
  void SetLogWriter(LogWriter writer) { logWriter_ = std::move(writer); }
  void SetHostNameRequester(HostNameRequester requester) {
    hostNameRequester_ = std::move(requester);
  }

  // Names the remote host of every new address-flow row: starts a pool of
  // resolver threads that look the address up with `lookup` and write the
  // name into the row that asked with ApplyHostName. Replaces any requester set before. Call before
  // Start() and before the first pass; Stop() abandons lookups in flight and
  // a later Start() starts a fresh pool.
  void EnableHostNames(ResolverPool::LookupFn lookup,
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
  HistoryStatus EnableHistory(const std::string& path, int retentionDays = kDefaultHistoryDays);
  // Reads the applications of labels "name:pid" (by default from /proc).
  // A replay sets a reader that knows no process. Before the first pass.
  void SetIdentityReader(ApplicationTraffic::IdentityReader reader);
  // Announces each application seen on the network for the first time
  // (first ever when the history is kept, else since the start). Called on
  // the processing thread; the handler only hands the news on.
  void SetNewApplicationHandler(ApplicationTraffic::NewApplicationHandler handler) {
    newApplicationHandler_ = std::move(handler);
  }
  // Writes what the history holds of the current minute now (window thread
  // while the processing thread does not run, e.g. after a replay).
  void FlushHistory();
  // Bytes per application and address family since the start; any thread.
  std::vector<ApplicationBytes> ApplicationTotals() const { return applications_.Totals(); }
  // Datagrams accounted since the start; any thread.
  uint64_t DatagramCount() const { return datagrams_.load(std::memory_order_relaxed); }
  // The filter file that LoadFilters() reads; by default filters.dat in
  // appDirectory().
  void SetFilterFile(std::string path) { filterFile_ = std::move(path); }
  const std::string& filterFile() const { return filterFile_; }

  // --- life cycle (window thread) ---
  // Loads the filters, then starts capture on the interface named
  // `interfaceName`, then the processing thread, then process attribution.
  void Start(const std::string& interfaceName);
  // Stops process attribution, processing and capture, and joins them;
  // abandons host-name lookups in flight.
  void Stop();
  // Ends the current capture thread for sure (joined) and starts one on the
  // interface named `interfaceName`.
  void RestartCapture(const std::string& interfaceName);
  // The interface capture runs on (window thread).
  const std::string& interfaceName() const { return interfaceName_; }
  // The local networks last set (empty before the first SetLocalNetworks).
  LocalNetworks localNetworks() const { return localNetworks_.Get(); }
  bool IsRunning() const { return processingRunning_.load(); }
  // Datagrams the kernel dropped before the current capture could read them
  // (0 while no live capture is open).
  uint64_t CaptureDroppedByKernel();

  // Start-up, before Start(): takes over the persisted settings and the
  // proxy values derived from them (not the interface address).
  void ApplySettings(const Settings& settings);
  // The same from set.dat in the application directory; a missing file
  // changes nothing.
  void LoadSettingsFile();
  // The Options command after OK: restarts capture only when it names
  // another interface (an empty name keeps the one watched), takes over the
  // mask, the flags and the proxy values (proxy address from the dotted
  // text, 255.255.255.255 when it is none; port from the port text), and
  // reloads the filters.
  void ApplyOptions(const OptionsResult& result);

  // The row of `key` shows its bare address again and its host is looked up
  // anew (the user's "Look up again"). Window thread.
  void LookUpHostAgain(const RowKey& key) EXCLUDES(list_.mutex());
  // Replaces the active filters; no match runs meanwhile. Rows the new rules
  // hide leave the list at once; rows an earlier change hid and these rules
  // show come back with their flows' counts.
  void SetFilters(FilterSet filters) EXCLUDES(list_.mutex());
  // Reads the filter file and makes it the active set (an empty one when
  // the file is missing or unreadable). Window thread; also while the
  // workers run.
  FilterLoadResult LoadFilters();
  // The watched interface's addresses and networks, which decide each
  // datagram's direction and, for IPv6, which peers are on the local area.
  // Thread-safe, any time; the capture thread takes the newest set before
  // its next datagram. Until it is first called, the set is the interface
  // address and mask of the settings (with ::1 for a loopback address).
  void SetLocalNetworks(LocalNetworks networks);
  // Process attribution is active while the port map is kept by a scanner.
  void SetAttributionActive(bool active) { portMap_.SetActive(active); }
  bool AttributionActive() const { return portMap_.Active(); }
  // Starts the port scanner that fills portMap(). Returns -1, leaving
  // attribution off, when the system's port tables cannot be read.
  int StartAttribution();
  // Stops the port scanner and joins it; the map keeps its labels.
  void StopAttribution();

  // --- shared state ---
  const Clock& clock() const { return clock_; }
  const std::string& appDirectory() const { return appDirectory_; }
  LiveSettings& settings() { return settings_; }
  const LiveSettings& settings() const { return settings_; }
  FlowTable& flows() { return flows_; }
  TrafficCounters& counters() { return counters_; }
  TrafficList& list() { return list_; }
  PacketQueue& packetQueue() { return packetQueue_; }
  ProxyRequestQueue& proxyQueue() { return proxyQueue_; }
  PortProcessMap& portMap() { return portMap_; }
  // Label ids 0 to 255 are the protocols' own labels ("TCP protocol", ...),
  // by protocol number.
  const SourceLabels& labels() const { return labels_; }

  // --- what the worker threads do ---
  // Capture thread: accounts one datagram (direction, proxy, local-area
  // test, the program of its socket, flow, tick counter, event).
  void AccountDatagram(const PacketInfo& info);

  // The processing thread's pass, in steps: show every queued event that is
  // at least 3 seconds old; deselect rows idle for 5 to 8 seconds; the
  // midnight step. RunPass() does the three in order without the sleep.
  void ShowReadyEvents();
  void DeselectIdleRows() EXCLUDES(list_.mutex());
  void MidnightStep();
  void RunPass();

  // Shows one event (processing thread, or tests). Takes listMutex.
  void ShowFlowEvent(const FlowEvent& event) EXCLUDES(list_.mutex());
  void ShowProxyEvent(const ProxyEvent& event) EXCLUDES(list_.mutex());

  // A resolver thread's answer for the address row (address, label): names
  // that row when it still shows the bare address, or takes it out of the
  // list when the filters, asked again with the name, hide it. The name
  // comes from the network, so every blank and control character in it
  // becomes "_" first. Takes listMutex; the caller holds no list lock.
  void ApplyHostName(const IpAddress& address, uint32_t labelId, std::string_view name)
      EXCLUDES(list_.mutex());

  // Under listMutex: true when the filters hide this flow.
  bool IsHidden(std::string_view addressText, std::string_view hostText,
                std::string_view localSource) const REQUIRES(list_.mutex());

  // Save & Clear: writes the rows to a new log, then empties the flows, the
  // list and the totals. When the log cannot be written nothing is emptied
  // and the path is returned. Holds listMutex throughout, so no row changes
  // between the copy that is saved and the clear.
  std::optional<std::string> SaveAndClear() EXCLUDES(list_.mutex());

  // Reports a problem to the user.
  void ReportError(const std::string& message);

 private:
  struct CaptureRun {
    std::thread thread;
    std::atomic<bool> stop{false};
    Mutex sourceMutex;
    CaptureSource* source GUARDED_BY(sourceMutex) = nullptr;  // owned by the thread
  };

  // Proxy hosts already looked up in this pass: the address text of each.
  using ProxyAddressCache = std::unordered_map<std::string, std::string>;
  void ShowProxyEvent(const ProxyEvent& event, ProxyAddressCache* cache) EXCLUDES(list_.mutex());
  std::string ProxyRowAddress(const std::string& host, ProxyAddressCache* cache) const;

  // The local networks the next datagram is judged by (capture thread).
  const LocalNetworks& CurrentNetworks();
  // The label id of a datagram's socket, or kUndecidedLabel while its
  // owner is being asked for (capture thread).
  uint32_t SocketLabel(const SocketTuple& tuple);
  // Gives a pending socket its label: the exact answer, else the port map's
  // label, else its protocol (processing thread).
  uint32_t DecideSocket(const FlowKey& socketKey);
  uint32_t ProtocolLabel(uint16_t protocol) const { return protocolLabels_[protocol & 0xff]; }
  void ShowFlowEvents(const std::vector<FlowEvent>& events) EXCLUDES(list_.mutex());
  // Shows the queued events that are ready to be shown at `now`.
  void ShowEventsReadyAt(int64_t now) EXCLUDES(list_.mutex());
  uint32_t ProxyHostId(const std::string& host);

  void CaptureThread(CaptureRun& run, const std::string& interfaceName);
  void ProcessingThread();
  void StopCapture();
  void StartResolver();

  const Clock& clock_;
  const std::string appDirectory_;
  LiveSettings settings_;
  FlowTable flows_;
  TrafficCounters counters_;
  TrafficList list_;
  PacketQueue packetQueue_;
  ProxyRequestQueue proxyQueue_;
  PortProcessMap portMap_;
  SourceLabels labels_;
  std::array<uint32_t, 256> protocolLabels_{};  // set in the constructor
  // The label each socket was given, and the port map's version then
  // (capture thread only).
  struct CachedLabel {
    uint32_t labelId = kUndecidedLabel;
    uint64_t version = 0;
    bool known = false;
  };
  FlowKeyMap<CachedLabel> socketLabels_;
  // Set by SetLocalNetworks; until then the capture thread derives its set
  // from the settings' address and mask, and keeps what it derived from.
  VersionedValue<LocalNetworks> localNetworks_;
  std::atomic<bool> localNetworksGiven_{false};
  std::shared_ptr<const LocalNetworks> networks_;  // capture thread only
  uint64_t networksVersion_ = 0;                   // capture thread only
  uint32_t derivedAddress_ = 0;                    // capture thread only
  uint32_t derivedMask_ = 0;                       // capture thread only
  ProxyAttribution proxy_;  // capture thread only
  FilterSet filters_ GUARDED_BY(list_.mutex());
  // Rows that a change of the rules hid, kept with their texts so that they
  // come back when the rule goes.
  struct HiddenRow {
    RowKey key;
    RowCells cells;
    RowValues values;
  };
  std::vector<HiddenRow> hiddenRows_ GUARDED_BY(list_.mutex());
  void ApplyFiltersToRows() REQUIRES(list_.mutex());

  CaptureOpener captureOpener_;
  ErrorHandler errorHandler_;
  TitleHandler titleHandler_;
  CaptureStateHandler stateHandler_;
  LogWriter logWriter_;
  HostNameRequester hostNameRequester_;
  std::string filterFile_;
  ResolverPool::LookupFn hostNameLookup_;  // window thread only
  size_t resolverThreads_ = 0;             // window thread only
  // Set by the window thread while the processing thread does not run.
  std::unique_ptr<ResolverPool> resolver_;

  std::unique_ptr<CaptureRun> capture_;  // window thread only
  std::string interfaceName_;            // window thread only
  std::atomic<bool> processingRunning_{false};
  std::thread processingThread_;
  Mutex wakeMutex_;
  std::condition_variable_any wake_;  // ends the processing thread's sleep at Stop()
  bool midnightClearDone_ = false;  // processing thread only
  bool midnightSaveReported_ = false;  // processing thread only

  // Reused by the pass (processing thread only).
  struct FoldedRow {
    IpAddress remoteAddress;
    uint32_t labelId;
    int64_t firstTime;
    int64_t lastTime;
  };
  std::vector<FoldedRow> foldedRows_;
  // Both indexes are keyed by the hash of a FlowKey; the entry they point
  // at tells equal hashes apart.
  PassIndex64 foldedRowOfFlow_;     // address flow key -> folded row
  PassIndex64 labelOfSocket_;       // socket key -> its entry in decidedSockets_
  struct DecidedSocket {
    FlowKey key;
    uint32_t labelId;
  };
  std::vector<DecidedSocket> decidedSockets_;
  std::vector<FlowEvent> readyFlowEvents_;
  std::vector<ProxyEvent> readyProxyEvents_;
  std::unordered_map<std::string, uint32_t> proxyHostIds_;  // processing thread only
  int64_t timestampCacheTime_ = -1;
  std::string timestampCacheText_;
  const std::string& TimestampText(int64_t seconds);

  std::unique_ptr<PortScanner> portScanner_;  // window thread only

  // The history: set up before Start(); then used by the processing thread
  // (Count under listMutex, flushes) and, after it ended, by Stop().
  std::atomic<uint64_t> datagrams_{0};
  ApplicationTraffic applications_;
  ApplicationTraffic::NewApplicationHandler newApplicationHandler_;
  std::unique_ptr<HistoryStore> historyStore_;
  std::unique_ptr<HistoryRecorder> historyRecorder_;
  bool knownApplicationsLoaded_ = false;  // processing thread
  int64_t lastHistoryFlush_ = INT64_MIN;  // processing thread
  void HistoryStep();
};

}  // namespace corvane
