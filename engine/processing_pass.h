// The processing pass: shows the queued events that are old enough in the
// traffic list (a row per address flow and per web host behind the proxy),
// decides the program of sockets that were too new for the port map, counts
// the bytes of each application, deselects idle rows, and applies the host
// names the resolvers find.
//
// With kernel events a pass shows every queued event at once: the capture
// thread decides most sockets when their owner's event arrives, and a socket
// still undecided waits up to kOwnerGracePasses passes for its owner before
// it is named from /proc or by its protocol. Without them an event waits 3
// seconds for the /proc scan to catch up.
//
// The pass runs on the processing thread (or a test's one driving thread;
// a replay may run its two halves on two threads, one after the other);
// passes never overlap, and ShowAllThen() runs its work between two of
// them. ApplyHostName() runs on resolver threads and LookUpHostAgain() on
// the window thread; every one of them takes the list's lock itself, so
// the caller holds none. The port map's lock is taken before the list's,
// never inside it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/flat_hash.h"
#include "engine/row_filter.h"
#include "engine/traffic_state.h"
#include "platform/clock.h"
#include "platform/ip_address.h"
#include "platform/thread_annotations.h"

namespace corvane {

class ProcessingPass {
 public:
  // Asks for the name of the address row (remote address, label id).
  using HostNameRequester = std::function<void(const IpAddress& remoteAddress, uint32_t labelId)>;

  ProcessingPass(TrafficState& state, RowFilter& filter, const Clock& clock)
      : state_(state), list_(state.list), filter_(filter), clock_(clock) {}

  // Before the first pass.
  void SetHostNameRequester(HostNameRequester requester) { requester_ = std::move(requester); }

  // A socket still undecided after this many passes is named without its
  // owner's event (a socket from before the capture, an accepted one).
  static constexpr int kOwnerGracePasses = 3;

  // Shows the queued events that are ready to be shown at `now` (at once
  // with kernel events, else 3 seconds after their datagrams).
  void ShowEventsReadyAt(int64_t now) EXCLUDES(list_.mutex(), passMutex_);
  // The same pass in two halves, for a replay that accounts the next
  // second's datagrams while the rows of this one are made.
  // TakeEventsReadyAt(now) takes the events ready at `now` and what each of
  // their flows counted up to this moment; ShowTakenEvents() then shows them
  // exactly as ShowEventsReadyAt(now) would have. Between the two, datagrams
  // may be accounted (they are news for the next pass), but nothing else
  // may change the flows or the list.
  void TakeEventsReadyAt(int64_t now) EXCLUDES(list_.mutex(), passMutex_);
  void ShowTakenEvents() EXCLUDES(list_.mutex(), passMutex_);
  // Shows every queued event whatever its age, deciding every socket now,
  // then runs `work` before another pass can start (Save & Clear, the
  // midnight save, the end), so that what `work` reads holds every byte
  // counted up to here.
  void ShowAllThen(const std::function<void()>& work) EXCLUDES(list_.mutex(), passMutex_);
  // Deselects rows idle for 5 to 8 seconds (at `now`).
  void DeselectIdleRows() EXCLUDES(list_.mutex());
  void DeselectIdleRowsAt(int64_t now) EXCLUDES(list_.mutex());
  // Shows one event at once.
  void ShowFlowEvent(const FlowEvent& event) EXCLUDES(list_.mutex());
  void ShowProxyEvent(const ProxyEvent& event) EXCLUDES(list_.mutex());

  // A resolver's answer for the address row (address, label): names that
  // row when it still shows the bare address, or takes it out of the list
  // when the filters, asked again with the name, hide it. The name comes
  // from the network, so every blank and control character in it becomes
  // "_" first.
  void ApplyHostName(const IpAddress& address, uint32_t labelId, std::string_view name)
      EXCLUDES(list_.mutex());
  // The row of `key` shows its bare address again and its host is asked for
  // anew (the user's "Look up again").
  void LookUpHostAgain(const RowKey& key) EXCLUDES(list_.mutex());

 private:
  // Proxy hosts already looked up in this pass: the address text of each.
  using ProxyAddressCache = std::unordered_map<std::string, std::string>;
  void ShowProxyEvent(const ProxyEvent& event, ProxyAddressCache* cache) EXCLUDES(list_.mutex());
  std::string ProxyRowAddress(const std::string& host, ProxyAddressCache* cache) const;
  // Gives a pending socket its label: the exact answer, else the port map's
  // label, else its protocol.
  // nullopt while the socket waits for its owner's event (never when
  // `force`).
  std::optional<uint32_t> DecideSocket(const FlowKey& socketKey, bool force) REQUIRES(passMutex_);
  // How long an event waits before it is shown, in seconds.
  int64_t ShowDelay() const;
  void ShowQueued(int64_t now, int64_t delay, bool force) REQUIRES(passMutex_) EXCLUDES(list_.mutex());
  // ShowQueued's halves: takes the ready events and folds them by row; shows
  // them (`newsTaken`: their flows' news are in foldedNews_ already).
  void TakeQueued(int64_t now, int64_t delay, bool force) REQUIRES(passMutex_);
  void ShowTaken(bool newsTaken) REQUIRES(passMutex_) EXCLUDES(list_.mutex());
  void ShowFlowEvents(const std::vector<FlowEvent>& events, bool force)
      REQUIRES(passMutex_) EXCLUDES(list_.mutex());
  // Folds events by row into foldedRows_, deciding the sockets they wait for.
  void FoldFlowEvents(const std::vector<FlowEvent>& events, bool force) REQUIRES(passMutex_);
  void ShowFolded(bool newsTaken) EXCLUDES(list_.mutex());
  // Takes the news of the flows of foldedRows_[begin, end) into
  // news[0, end - begin).
  void TakeChunkNews(size_t begin, size_t end, std::optional<FlowTable::FlowNews>* news);
  // Shows foldedRows_[begin, end) under one hold of the list's lock.
  void ShowFoldedRows(size_t begin, size_t end, bool newsTaken) EXCLUDES(list_.mutex());
  // A proxy flow's first row, after the look-up of its address.
  void ShowNewProxyRow(const ProxyEvent& event, const RowKey& key, const std::string& addressText)
      EXCLUDES(list_.mutex());
  uint32_t ProxyHostId(const std::string& host);

  TrafficState& state_;
  TrafficList& list_;
  RowFilter& filter_;
  const Clock& clock_;
  HostNameRequester requester_;

  Mutex passMutex_;  // one pass at a time; outside every other lock
  // Events of sockets waiting for their owner, shown first by the next
  // pass, and how many passes each socket has waited.
  std::vector<FlowEvent> waiting_ GUARDED_BY(passMutex_);
  FlowKeyMap<int> passesWaited_ GUARDED_BY(passMutex_);
  FlowKeyMap<int> nextWaited_ GUARDED_BY(passMutex_);

  // Reused from pass to pass (processing thread only).
  struct FoldedRow {
    IpAddress remoteAddress;
    uint32_t labelId;
    int64_t firstTime;
    int64_t lastTime;
  };
  std::vector<FoldedRow> foldedRows_;
  // Both indexes are keyed by the hash of a FlowKey; the entry they point
  // at tells equal hashes apart.
  PassIndex64 foldedRowOfFlow_;  // address flow key -> folded row
  PassIndex64 labelOfSocket_;    // socket key -> its entry in decidedSockets_
  struct DecidedSocket {
    FlowKey key;
    std::optional<uint32_t> labelId;  // nullopt: waits for its owner
  };
  std::vector<DecidedSocket> decidedSockets_;
  std::vector<FlowKey> chunkFlows_;
  std::vector<std::optional<FlowTable::FlowNews>> chunkNews_;
  // By folded row, for the second half of a pass in two (ShowTakenEvents).
  std::vector<std::optional<FlowTable::FlowNews>> foldedNews_;
  std::vector<FlowEvent> readyFlowEvents_;
  std::vector<ProxyEvent> readyProxyEvents_;
  std::unordered_map<std::string, uint32_t> proxyHostIds_;
};

}  // namespace corvane
