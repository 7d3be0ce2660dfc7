// The cost of one port-scan pass on the real /proc, and of one exact
// lookup of a new socket (netlink, then the holder's pid).
//
// Scenarios: N child processes holding S sockets each (half TCP listeners,
// half UDP sockets, all on 127.0.0.1), and this process alone holding
// thousands of UDP sockets. For each: a first pass (nothing cached), a pass
// after nothing changed, and a pass after one new socket appeared. The
// whole system's other processes and sockets are scanned too.
//
// Exact lookups, in microseconds: the netlink request alone; a new socket
// of this process, which is older than every scenario child, so all of
// them are read before it (the slow case); a new socket of a process that
// started after the last pass (the usual case of a short-lived program).
//
//   build/bench/port_scan_bench
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "attribution/port_process_map.h"
#include "attribution/port_scanner.h"
#include "platform/file_io.h"
#include "platform/sock_diag.h"

namespace corvane {
namespace {

int OpenLoopbackSocket(int type) {
  const int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 1) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void RaiseFileLimit(rlim_t wanted) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = std::min(wanted, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

// Sockets held by `processes` children (or by this process when it is 0).
class Scenario {
 public:
  Scenario(int processes, int socketsEach) {
    if (processes == 0) {
      RaiseFileLimit(static_cast<rlim_t>(socketsEach) + 256);
      for (int i = 0; i < socketsEach; ++i) {
        const int fd = OpenLoopbackSocket(SOCK_DGRAM);
        if (fd < 0) {
          error_ = "cannot open socket " + std::to_string(i);
          return;
        }
        own_.push_back(fd);
      }
      return;
    }
    int hold[2];
    if (::pipe(hold) != 0) {
      error_ = "pipe";
      return;
    }
    holdWrite_ = hold[1];
    for (int p = 0; p < processes; ++p) {
      int ready[2];
      if (::pipe(ready) != 0) {
        error_ = "pipe";
        return;
      }
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::close(hold[1]);
        ::close(ready[0]);
        char ok = 1;
        for (int i = 0; i < socketsEach; ++i) {
          if (OpenLoopbackSocket(i % 2 ? SOCK_DGRAM : SOCK_STREAM) < 0) ok = 0;
        }
        (void)!::write(ready[1], &ok, 1);
        ::close(ready[1]);
        char byte;
        while (::read(hold[0], &byte, 1) > 0) {
        }
        ::_exit(0);
      }
      ::close(ready[1]);
      char ok = 0;
      if (pid < 0 || ::read(ready[0], &ok, 1) != 1 || ok != 1) error_ = "child failed";
      ::close(ready[0]);
      if (pid > 0) children_.push_back(pid);
      if (!error_.empty()) break;
    }
    ::close(hold[0]);
  }

  ~Scenario() {
    for (int fd : own_) ::close(fd);
    if (holdWrite_ >= 0) ::close(holdWrite_);  // children end on end of file
    for (pid_t pid : children_) ::waitpid(pid, nullptr, 0);
  }

  const std::string& error() const { return error_; }

 private:
  std::vector<int> own_;
  std::vector<pid_t> children_;
  int holdWrite_ = -1;
  std::string error_;
};

// One scenario at a time, kept while its benchmarks run.
Scenario* UseScenario(int processes, int socketsEach) {
  static std::unique_ptr<Scenario> current;
  static std::pair<int, int> key{-1, -1};
  if (key != std::pair{processes, socketsEach}) {
    current.reset();
    current = std::make_unique<Scenario>(processes, socketsEach);
    key = {processes, socketsEach};
  }
  return current.get();
}

void Report(benchmark::State& state, const PortScanner& scanner) {
  const PortScanStats stats = scanner.LastPassStats();
  state.counters["rows"] = static_cast<double>(stats.rows);
  state.counters["processes"] = static_cast<double>(stats.processes);
  state.counters["fd_dirs_read"] = static_cast<double>(stats.fdDirectoriesRead);
}

struct Fixture {
  PortProcessMap map;
  PortScanner scanner{map, Env::Default()};
};

bool Prepare(benchmark::State& state) {
  Scenario* scenario = UseScenario(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  if (!scenario->error().empty()) {
    state.SkipWithError(scenario->error().c_str());
    return false;
  }
  return true;
}

// The pass the measurement starts from; false, with the benchmark skipped,
// when the tables cannot be read.
bool FirstPass(Fixture& fixture, benchmark::State& state) {
  if (fixture.scanner.RunPass()) return true;
  state.SkipWithError("tables unreadable");
  return false;
}

void BM_FirstPass(benchmark::State& state) {
  if (!Prepare(state)) return;
  std::unique_ptr<Fixture> fixture;
  for (auto _ : state) {
    state.PauseTiming();
    fixture = std::make_unique<Fixture>();
    state.ResumeTiming();
    if (!fixture->scanner.RunPass()) state.SkipWithError("tables unreadable");
  }
  Report(state, fixture->scanner);
}

void BM_UnchangedPass(benchmark::State& state) {
  if (!Prepare(state)) return;
  Fixture fixture;
  if (!FirstPass(fixture, state)) return;
  for (auto _ : state) {
    if (!fixture.scanner.RunPass()) state.SkipWithError("tables unreadable");
  }
  Report(state, fixture.scanner);
}

void BM_PassAfterNewSocket(benchmark::State& state) {
  if (!Prepare(state)) return;
  Fixture fixture;
  if (!FirstPass(fixture, state)) return;
  int fd = -1;
  for (auto _ : state) {
    state.PauseTiming();
    if (fd >= 0) ::close(fd);
    fd = OpenLoopbackSocket(SOCK_DGRAM);
    state.ResumeTiming();
    if (!fixture.scanner.RunPass()) state.SkipWithError("tables unreadable");
  }
  if (fd >= 0) ::close(fd);
  Report(state, fixture.scanner);
}

// Parsing alone, on the tables as the kernel wrote them for the scenario.
void BM_ParseTables(benchmark::State& state) {
  if (!Prepare(state)) return;
  std::string tcp, udp;
  (void)ReadFile("/proc/net/tcp", tcp);
  (void)ReadFile("/proc/net/udp", udp);
  std::vector<PortTableRow> rows;
  for (auto _ : state) {
    rows.clear();
    ParsePortTable(tcp, TableFamily::kIpv4, rows);
    ParsePortTable(udp, TableFamily::kIpv4, rows);
    benchmark::DoNotOptimize(rows.data());
  }
  state.counters["rows"] = static_cast<double>(rows.size());
}

// Reading the four files alone: the kernel's cost of writing the text.
void BM_ReadTables(benchmark::State& state) {
  if (!Prepare(state)) return;
  std::string text;
  for (auto _ : state) {
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp", "/proc/net/udp6"}) {
      (void)ReadFile(path, text);
      benchmark::DoNotOptimize(text.data());
    }
  }
}

// A connected UDP socket on loopback, as a new flow's socket.
int OpenFlowSocket(const sockaddr_in& to) {
  const int fd = OpenLoopbackSocket(SOCK_DGRAM);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

SocketTuple TupleOf(int fd, const sockaddr_in& to) {
  sockaddr_in name{};
  socklen_t length = sizeof name;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&name), &length);
  return SocketTuple{17, IpAddress::V4(name.sin_addr.s_addr), ntohs(name.sin_port),
                     IpAddress::V4(to.sin_addr.s_addr), ntohs(to.sin_port)};
}

// A UDP socket on loopback for the flow sockets to aim at; `to` gets its
// address.
int OpenSink(sockaddr_in& to) {
  const int sink = OpenLoopbackSocket(SOCK_DGRAM);
  socklen_t length = sizeof to;
  ::getsockname(sink, reinterpret_cast<sockaddr*>(&to), &length);
  return sink;
}

void BM_ExactLookupNetlinkOnly(benchmark::State& state) {
  if (!Prepare(state)) return;
  sockaddr_in to{};
  const int sink = OpenSink(to);
  const int fd = OpenFlowSocket(to);
  const SocketTuple tuple = TupleOf(fd, to);
  SocketDiag diag;
  for (auto _ : state) {
    const SocketLookupResult result = diag.Find(tuple.protocol, tuple.localAddress,
                                                tuple.localPort, tuple.remoteAddress,
                                                tuple.remotePort);
    if (result.status != SocketLookupStatus::kFound) state.SkipWithError("socket not found");
  }
  ::close(fd);
  ::close(sink);
}

void BM_ExactLookupNewSocketOfOldProcess(benchmark::State& state) {
  if (!Prepare(state)) return;
  Fixture fixture;
  if (!FirstPass(fixture, state)) return;
  sockaddr_in to{};
  const int sink = OpenSink(to);
  int fd = -1;
  for (auto _ : state) {
    state.PauseTiming();
    if (fd >= 0) ::close(fd);
    fd = OpenFlowSocket(to);
    const SocketTuple tuple = TupleOf(fd, to);
    state.ResumeTiming();
    if (!fixture.scanner.LookUpExact(tuple)) state.SkipWithError("no label");
  }
  if (fd >= 0) ::close(fd);
  ::close(sink);
}

void BM_ExactLookupNewProcess(benchmark::State& state) {
  if (!Prepare(state)) return;
  Fixture fixture;
  if (!FirstPass(fixture, state)) return;
  sockaddr_in to{};
  const int sink = OpenSink(to);
  for (auto _ : state) {
    state.PauseTiming();
    int report[2], hold[2];
    if (::pipe(report) != 0 || ::pipe(hold) != 0) {
      state.SkipWithError("pipe");
      break;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(report[0]);
      ::close(hold[1]);
      const int fd = OpenFlowSocket(to);
      const SocketTuple tuple = TupleOf(fd, to);
      (void)!::write(report[1], &tuple, sizeof tuple);
      char byte;
      (void)!::read(hold[0], &byte, 1);
      ::_exit(0);
    }
    ::close(report[1]);
    ::close(hold[0]);
    SocketTuple tuple;
    const bool reported = ::read(report[0], &tuple, sizeof tuple) == sizeof tuple;
    ::close(report[0]);
    state.ResumeTiming();
    if (!reported || !fixture.scanner.LookUpExact(tuple)) state.SkipWithError("no label");
    state.PauseTiming();
    ::close(hold[1]);
    ::waitpid(pid, nullptr, 0);
    state.ResumeTiming();
  }
  ::close(sink);
}

// Arguments: child processes (0: this process), sockets each.
void Scenarios(benchmark::internal::Benchmark* b) {
  b->ArgNames({"processes", "sockets"});
  b->Unit(benchmark::kMillisecond);
}

void ExactScenarios(benchmark::internal::Benchmark* b) {
  b->ArgNames({"processes", "sockets"});
  b->Unit(benchmark::kMicrosecond);
}

}  // namespace
}  // namespace corvane

// Registered scenario by scenario, so each scenario's processes exist only
// while its benchmarks run.
BENCHMARK(corvane::BM_ExactLookupNetlinkOnly)->Apply(corvane::ExactScenarios)->Args({0, 0});
BENCHMARK(corvane::BM_ExactLookupNewSocketOfOldProcess)->Apply(corvane::ExactScenarios)->Args({0, 0});
BENCHMARK(corvane::BM_ExactLookupNewProcess)->Apply(corvane::ExactScenarios)->Args({0, 0});
BENCHMARK(corvane::BM_ReadTables)->Apply(corvane::Scenarios)->Args({300, 20});
BENCHMARK(corvane::BM_ParseTables)->Apply(corvane::Scenarios)->Args({300, 20});
BENCHMARK(corvane::BM_FirstPass)->Apply(corvane::Scenarios)->Args({300, 20});
BENCHMARK(corvane::BM_UnchangedPass)->Apply(corvane::Scenarios)->Args({300, 20});
BENCHMARK(corvane::BM_PassAfterNewSocket)->Apply(corvane::Scenarios)->Args({300, 20});
BENCHMARK(corvane::BM_ExactLookupNewSocketOfOldProcess)->Apply(corvane::ExactScenarios)->Args({300, 20});
BENCHMARK(corvane::BM_ExactLookupNewProcess)->Apply(corvane::ExactScenarios)->Args({300, 20});
BENCHMARK(corvane::BM_FirstPass)->Apply(corvane::Scenarios)->Args({600, 20});
BENCHMARK(corvane::BM_UnchangedPass)->Apply(corvane::Scenarios)->Args({600, 20});
BENCHMARK(corvane::BM_PassAfterNewSocket)->Apply(corvane::Scenarios)->Args({600, 20});
BENCHMARK(corvane::BM_FirstPass)->Apply(corvane::Scenarios)->Args({0, 4000});
BENCHMARK(corvane::BM_UnchangedPass)->Apply(corvane::Scenarios)->Args({0, 4000});
BENCHMARK(corvane::BM_PassAfterNewSocket)->Apply(corvane::Scenarios)->Args({0, 4000});

BENCHMARK_MAIN();
