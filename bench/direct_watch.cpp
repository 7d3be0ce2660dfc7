// direct_watch: `corvane-cli watch` without the capture helper, for
// bench/live's comparison: the same Monitor reads libpcap in its own
// process (as root). Prints what bench/live reads from corvane-cli: a
// "totals DOWN UP" line on standard output every second and, once SIGINT or
// SIGTERM ended it (or --seconds passed), the kernel's drop count on standard
// error.
//
//   direct_watch --interface A.B.C.D [--seconds N]
#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "platform/capture_source.h"
#include "platform/clock.h"
#include "tests/support/test_env.h"
#include "platform/ip_address.h"

namespace {
std::atomic<bool> interrupted{false};
void OnSignal(int) { interrupted.store(true); }

void PrintTotals(corvane::Monitor& monitor) {
  std::printf("totals %llu %llu\n",
              static_cast<unsigned long long>(monitor.Totals().first),
              static_cast<unsigned long long>(monitor.Totals().second));
  std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
  in_addr address{};
  long seconds = -1;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--interface") == 0) inet_pton(AF_INET, argv[++i], &address);
    else if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::stol(argv[++i]);
  }
  corvane::testing::TestEnv env;
  corvane::Monitor monitor(env, "/nonexistent");
  monitor.SetErrorHandler([](const std::string& message) {
    std::fprintf(stderr, "direct_watch: %s\n", message.c_str());
  });
  monitor.SetLocalNetworks({{corvane::IpAddress::V4(address.s_addr)}, {}});
  // The interface that holds the address, as corvane-cli's --interface maps it.
  env.SetCaptureOpener([address](const std::string&, corvane::Status& status) {
    return corvane::OpenLiveCapture(address.s_addr, status);
  });
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  monitor.Start("direct");
  for (long elapsed = 0; !interrupted.load() && (seconds < 0 || elapsed < seconds); ++elapsed) {
    for (int i = 0; i < 20 && !interrupted.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    StateOf(monitor).counters.Tick();
    PrintTotals(monitor);
  }
  PrintTotals(monitor);
  std::fprintf(stderr, "direct_watch: %llu datagrams dropped by the kernel\n",
               static_cast<unsigned long long>(monitor.CaptureDroppedByKernel()));
  monitor.Stop();
  return 0;
}
