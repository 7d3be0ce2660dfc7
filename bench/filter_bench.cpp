// Filter matching over many subjects, and how long a burst of new rows
// waits for its host names.
//
//   build/bench/filter_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "filters/filter_set.h"
#include "platform/net.h"
#include "tests/support/test_env.h"

namespace corvane {
namespace {

constexpr int kRules = 1000;
constexpr int kSubjects = 100000;

struct Subject {
  std::string address;
  std::string host;
  std::string localSource;
};

std::vector<Subject> MakeSubjects() {
  std::vector<Subject> subjects;
  subjects.reserve(kSubjects);
  for (int i = 0; i < kSubjects; ++i) {
    std::string address = FormatAddress(MakeAddress(10, static_cast<uint8_t>(i >> 16),
                                                    static_cast<uint8_t>(i >> 8),
                                                    static_cast<uint8_t>(i)));
    subjects.push_back(
        {address, "node-" + std::to_string(i) + ".example.net", "firefox:" + std::to_string(i % 4000)});
  }
  return subjects;
}

// 1,000 rules of which only the last can match (node-7..., about one subject
// in nine), so nearly every match scans the whole list: the worst case, a
// black list that shows the flow.
FilterSet MakeRules() {
  FilterSet filters;
  filters.mode = FilterMode::BlackList;
  for (int i = 0; i < kRules - 1; ++i) {
    filters.rules.push_back({"tracker-" + std::to_string(i) + ".ads", "<ANY>"});
  }
  filters.rules.push_back({"node-7", "firefox"});
  return filters;
}

void BM_MatchFilters1000RulesOver100000Subjects(benchmark::State& state) {
  const std::vector<Subject> subjects = MakeSubjects();
  const FilterSet filters = MakeRules();
  size_t hidden = 0;
  for (auto _ : state) {
    hidden = 0;
    for (const Subject& s : subjects) {
      hidden += MatchFilters(filters, s.address, s.host, s.localSource) ? 1 : 0;
    }
    benchmark::DoNotOptimize(hidden);
  }
  state.counters["hidden"] = static_cast<double>(hidden);
  state.counters["matches/s"] =
      benchmark::Counter(static_cast<double>(kSubjects), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_MatchFilters1000RulesOver100000Subjects)->Unit(benchmark::kMillisecond);

// 10,000 new rows in one pass; the resolver answers each lookup after
// 50 ms. Measures from the pass to the moment every row shows its name.
// Every lookup takes 50 ms and names the address.
class SlowNamesEnv final : public testing::TestEnv {
 public:
  using TestEnv::TestEnv;
  std::optional<std::string> LookUpHostName(const IpAddress& address) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return "host-" + FormatIp(address) + ".example";
  }
};

void BM_HostNamesForBurstOf10000Rows(benchmark::State& state) {
  constexpr int kRows = 10000;
  const size_t threads = static_cast<size_t>(state.range(0));
  const uint32_t local = MakeAddress(192, 168, 1, 10);
  for (auto _ : state) {
    ManualClock clock(1'700'000'000);
    SlowNamesEnv env(clock);
    Monitor monitor(env, "/nonexistent-corvane-dir");
    StateOf(monitor).settings.interfaceAddress = local;
    monitor.EnableHostNames(nullptr, threads);
    for (int i = 0; i < kRows; ++i) {
      PacketInfo info;
      info.sourceAddress = IpAddress::V4(local);
      info.destinationAddress = IpAddress::V4(
          MakeAddress(10, 20, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)));
      info.protocol = kProtocolUdp;
      info.sourcePort = 5353;
      info.length = 60;
      monitor.AccountDatagram(info);
    }
    clock.Advance(3);
    auto start = std::chrono::steady_clock::now();
    monitor.ShowReadyEvents();
    auto passEnd = std::chrono::steady_clock::now();
    bool done = monitor.WaitForHostNames(std::chrono::minutes(10));
    auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());

    int named = 0;
    {
      TrafficList::Lock lock(StateOf(monitor).list);
      for (int row = 0; row < StateOf(monitor).list.Count(); ++row) {
        if (StateOf(monitor).list.Cell(row, kColumnRemoteHost) !=
            StateOf(monitor).list.Cell(row, kColumnRemoteIp)) {
          ++named;
        }
      }
    }
    state.counters["rows"] = kRows;
    state.counters["named"] = named;
    state.counters["complete"] = done ? 1 : 0;
    state.counters["pass_ms"] =
        std::chrono::duration<double, std::milli>(passEnd - start).count();
  }
}
BENCHMARK(BM_HostNamesForBurstOf10000Rows)
    ->ArgName("threads")
    ->Arg(8)
    ->Arg(32)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
