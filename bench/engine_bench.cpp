// The capture thread's and the processing thread's costs.
//
//   build/bench/engine_bench
//
// BM_ParseAndAccount: ParsePacketInfo + AccountDatagram for a stream of
// datagrams spread evenly over 20,000 remote addresses (TCP, UDP, ICMP, both
// directions), as the capture thread does for each read. Its items/s is the
// datagrams one core accounts per second. With attribution on, every socket
// takes its program's label from the port map when first seen: the
// difference to the run without is the per-datagram cost of the label.
// BM_ProcessingPass: one pass showing 100,000 queued events over 10,000 rows
// that are already in the list (the steady state of a busy monitor); the
// "fresh" variant makes the 10,000 rows in the same pass.
// BM_ListRemove, BM_ListIdleStep, BM_ListFind: the traffic list of 100,000
// rows on its own: removing rows from the middle (a filter hiding names as
// they arrive), the idle-mark step of a pass when 1,000 rows carry the mark,
// and finding a flow's row by its key.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "engine/packet_info.h"
#include "platform/clock.h"
#include "tests/support/test_env.h"

namespace {

using corvane::FlowEvent;
using corvane::ManualClock;
using corvane::Monitor;

constexpr int64_t kStart = 1700000000;
const uint32_t kInterface = 0x0200010a;  // 10.1.0.2 in network order

uint32_t Remote(uint32_t index) {
  uint32_t host = 0x14000000u + ((index * 37u) & 0x00ffffffu);
  return __builtin_bswap32(host);
}

// Datagrams laid out back to back, each `kStride` bytes apart.
constexpr size_t kStride = 64;

std::vector<uint8_t> MakeDatagrams(size_t count, uint32_t remotes, uint32_t portsPerRemote) {
  std::vector<uint8_t> bytes(count * kStride, 0);
  std::mt19937 random(7);
  for (size_t i = 0; i < count; ++i) {
    uint8_t* ip = bytes.data() + i * kStride;
    const uint32_t index = static_cast<uint32_t>(random() % remotes);
    uint32_t remote = Remote(index);
    bool upload = random() % 2 == 0;
    unsigned kind = random() % 10;
    uint8_t protocol = kind < 6 ? 6 : kind < 9 ? 17 : 1;
    uint16_t length = static_cast<uint16_t>(40 + random() % 1400);
    ip[0] = 0x45;
    ip[2] = static_cast<uint8_t>(length >> 8);
    ip[3] = static_cast<uint8_t>(length);
    ip[9] = protocol;
    uint32_t source = upload ? kInterface : remote;
    uint32_t destination = upload ? remote : kInterface;
    std::memcpy(ip + 12, &source, 4);
    std::memcpy(ip + 16, &destination, 4);
    uint16_t localPort = static_cast<uint16_t>(40000 + (index + random() % portsPerRemote) % 20000);
    uint16_t sourcePort = upload ? localPort : 443;
    uint16_t destinationPort = upload ? 443 : localPort;
    ip[20] = static_cast<uint8_t>(sourcePort >> 8);
    ip[21] = static_cast<uint8_t>(sourcePort);
    ip[22] = static_cast<uint8_t>(destinationPort >> 8);
    ip[23] = static_cast<uint8_t>(destinationPort);
  }
  return bytes;
}

void BM_ParseAndAccount(benchmark::State& state) {
  constexpr size_t kDatagrams = 1 << 20;
  const uint32_t remotes = static_cast<uint32_t>(state.range(0));
  const uint32_t ports = static_cast<uint32_t>(state.range(1));
  const bool attribution = state.range(2) != 0;
  const std::vector<uint8_t> bytes = MakeDatagrams(kDatagrams, remotes, ports);
  ManualClock clock(kStart);
  corvane::testing::TestEnv env(clock);
  Monitor monitor(env, "/nonexistent");
  StateOf(monitor).settings.interfaceAddress = kInterface;
  if (attribution) {
    // Every local port has an owner: each new socket takes its label from
    // the port map (one lookup under its mutex), later datagrams from the
    // capture thread's cache.
    monitor.SetAttributionActive(true);
    for (uint32_t port = 40000; port < 60000; ++port) {
      StateOf(monitor).portMap.Store(corvane::kProtocolTcp, 0, static_cast<uint16_t>(port),
                              "firefox-esr:" + std::to_string(port % 97));
      StateOf(monitor).portMap.Store(corvane::kProtocolUdp, 0, static_cast<uint16_t>(port),
                              "chromium:" + std::to_string(port % 89));
    }
  }
  std::vector<FlowEvent> drained;
  int64_t second = kStart;
  for (auto _ : state) {
    // About 200,000 datagrams per simulated second, as a busy link gives.
    for (size_t i = 0; i < kDatagrams; ++i) {
      if ((i & 0x3ffff) == 0) clock.Set(++second);
      std::span<const uint8_t> datagram(bytes.data() + i * kStride, kStride);
      if (auto info = corvane::ParsePacketInfo(datagram)) monitor.AccountDatagram(*info);
    }
    state.PauseTiming();
    drained.clear();
    StateOf(monitor).packetQueue.TakeReady(second + 10, drained);
    state.counters["queued_per_datagram"] =
        static_cast<double>(drained.size()) / static_cast<double>(kDatagrams);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kDatagrams));
  state.counters["flows"] = static_cast<double>(StateOf(monitor).flows.AddressFlowCount());
}
// Second argument: local ports each remote talks to (2 is typical; 50 makes
// nearly every datagram of a second a new event).
// Third argument: process attribution on (the label lookup of each socket).
BENCHMARK(BM_ParseAndAccount)
    ->Args({20000, 2, 0})
    ->Args({20000, 50, 0})
    ->Args({20000, 2, 1})
    ->Args({20000, 50, 1})
    ->Unit(benchmark::kMillisecond);

// Queues `events` events over `rows` remote addresses: each remote gets
// events/rows events with different local ports (UDP, no port map: one row
// per remote), so none of them is folded before the pass.
void QueueEvents(Monitor& monitor, uint32_t rows, uint32_t events, int64_t time) {
  for (uint32_t i = 0; i < events; ++i) {
    const corvane::IpAddress remote = corvane::IpAddress::V4(Remote(i % rows));
    StateOf(monitor).flows.AddToAddressFlow(remote, corvane::kProtocolUdp, corvane::kDirectionDownload,
                                     100 + i % 1400);
    StateOf(monitor).packetQueue.Push(FlowEvent{remote, corvane::kProtocolUdp,
                                         static_cast<uint16_t>(1024 + i / rows),
                                         corvane::kProtocolUdp, time});
  }
}

void BM_ProcessingPass(benchmark::State& state) {
  const uint32_t rows = 10000;
  const uint32_t events = 100000;
  const bool fresh = state.range(0) != 0;
  ManualClock clock(kStart);
  corvane::testing::TestEnv env(clock);
  auto monitor = std::make_unique<Monitor>(env, "/nonexistent");
  // The window's model receives every record; keep the sink's cost in.
  size_t records = 0;
  StateOf(*monitor).list.SetChangeSink(
      [&records](std::vector<corvane::ListChange>&& changes) { records += changes.size(); });
  int64_t time = kStart;
  if (!fresh) {
    QueueEvents(*monitor, rows, rows, time);
    clock.Set(time + 3);
    monitor->ShowReadyEvents();
  }
  for (auto _ : state) {
    state.PauseTiming();
    if (fresh) {
      monitor = std::make_unique<Monitor>(env, "/nonexistent");
      StateOf(*monitor).list.SetChangeSink(
          [&records](std::vector<corvane::ListChange>&& changes) { records += changes.size(); });
    }
    time += 10;
    QueueEvents(*monitor, rows, events, time);
    clock.Set(time + 3);
    state.ResumeTiming();
    monitor->ShowReadyEvents();
  }
  {
    corvane::TrafficList::Lock lock(StateOf(*monitor).list);
    state.counters["rows"] = StateOf(*monitor).list.Count();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * events));
  state.SetLabel(fresh ? "rows made in the pass" : "rows already shown");
}
BENCHMARK(BM_ProcessingPass)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

corvane::RowCells ListRow(uint32_t i) {
  std::string address = "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) +
                        "." + std::to_string(i & 255);
  return corvane::RowCells{address, address, "1.50 KB", "200 B", "1.70 KB",
                           "firefox-esr:1234", "2024-03-05 11:58:02", "2024-03-05 12:00:03"};
}

void FillList(corvane::TrafficList& list, uint32_t rows) {
  corvane::TrafficList::Lock lock(list);
  for (uint32_t i = 0; i < rows; ++i) {
    list.InsertTop(corvane::RowKey{corvane::IpAddress::V4(Remote(i)), 0, 1234}, ListRow(i),
                   corvane::RowValues{1536, 200, kStart - 121, kStart});
  }
}

void BM_ListRemove(benchmark::State& state) {
  constexpr uint32_t kRows = 100000;
  constexpr int kRemoves = 100;
  for (auto _ : state) {
    state.PauseTiming();
    corvane::TrafficList list;
    FillList(list, kRows);
    std::mt19937 random(1);
    state.ResumeTiming();
    corvane::TrafficList::Lock lock(list);
    for (int i = 0; i < kRemoves; ++i) list.Remove(static_cast<int>(random() % (kRows - i)));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRemoves);
}
BENCHMARK(BM_ListRemove)->Unit(benchmark::kMillisecond);

void BM_ListIdleStep(benchmark::State& state) {
  constexpr uint32_t kRows = 100000;
  corvane::TrafficList list;
  FillList(list, kRows);
  {
    corvane::TrafficList::Lock lock(list);
    for (int row = 0; row < 1000; ++row) list.SetSelected(row * 97, true);
  }
  for (auto _ : state) {
    corvane::TrafficList::Lock lock(list);
    // 20 seconds on: old marks that a late pass left stay, nothing ages out.
    list.DeselectIdleRows(kStart + 20);
  }
}
BENCHMARK(BM_ListIdleStep)->Unit(benchmark::kMicrosecond);

void BM_ListFind(benchmark::State& state) {
  constexpr uint32_t kRows = 100000;
  corvane::TrafficList list;
  FillList(list, kRows);
  std::vector<corvane::RowKey> keys;
  std::mt19937 random(2);
  for (int i = 0; i < 4096; ++i) keys.push_back(corvane::RowKey{corvane::IpAddress::V4(Remote(random() % kRows)), 0, 1234});
  size_t i = 0;
  int found = 0;
  corvane::TrafficList::Lock lock(list);
  for (auto _ : state) found += list.FindRow(keys[i++ % keys.size()]) >= 0;
  benchmark::DoNotOptimize(found);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ListFind);

}  // namespace

BENCHMARK_MAIN();
