// Overload: a capture file replayed at full speed, over and over, through
// the live pipeline (capture thread, queue, processing thread on the system
// clock, list with a change sink standing in for the window), for a number
// of seconds.
//
//   build/bench/overload_bench FILE.pcap [--interface A.B.C.D] [--seconds N]
//
// Prints once a second: datagrams accounted, events waiting in the queue,
// rows in the list, list records handed to the sink, how far the list lags
// behind the clock (now minus the newest "Last activity" shown; events are
// shown once 3 seconds old, so 3 to 4 seconds is keeping up), and the
// resident memory; at the end the peak.
#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "vocabulary/text_format.h"
#include "platform/capture_source.h"
#include "platform/clock.h"
#include "tests/support/test_env.h"

namespace {

using namespace corvane;

// Reads the file again from the start whenever it ends.
class LoopingFile final : public CaptureSource {
 public:
  LoopingFile(std::string path, std::atomic<uint64_t>& count) : path_(std::move(path)), count_(count) {}

  ReadStatus Next(CapturedDatagram& datagram, Status& status) override {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (interrupted_.load()) return ReadStatus::Interrupted;
      if (!file_) file_ = OpenCaptureFile(path_, status);
      if (!file_) return ReadStatus::Error;
      const ReadStatus read = file_->Next(datagram, status);
      if (read == ReadStatus::Datagram) {
        count_.fetch_add(1, std::memory_order_relaxed);
        return read;
      }
      if (read != ReadStatus::EndOfFile) return read;
      file_.reset();
    }
    return ReadStatus::Timeout;
  }

  void Interrupt() override { interrupted_.store(true); }

 private:
  std::string path_;
  std::atomic<uint64_t>& count_;
  std::unique_ptr<CaptureSource> file_;
  std::atomic<bool> interrupted_{false};
};

long StatusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: overload_bench FILE.pcap [--interface A.B.C.D] [--seconds N]\n", stderr);
    return 2;
  }
  std::string path = argv[1];
  in_addr interfaceAddress{};
  inet_pton(AF_INET, "10.1.0.2", &interfaceAddress);
  int seconds = 20;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    if (name == "--interface") {
      inet_pton(AF_INET, argv[i + 1], &interfaceAddress);
    } else if (name == "--seconds") {
      seconds = std::atoi(argv[i + 1]);
    }
  }
  Status opened;
  if (!OpenCaptureFile(path, opened)) {
    std::fprintf(stderr, "overload_bench: %s\n", opened.reason.c_str());
    return 1;
  }

  testing::TestEnv env;
  Monitor monitor(env, "/nonexistent");
  std::atomic<uint64_t> datagrams{0};
  std::atomic<uint64_t> records{0};
  env.SetCaptureOpener([&](const std::string&, Status&) -> std::unique_ptr<CaptureSource> {
    return std::make_unique<LoopingFile>(path, datagrams);
  });
  StateOf(monitor).list.SetChangeSink([&records](std::vector<ListChange>&& changes) {
    records.fetch_add(changes.size(), std::memory_order_relaxed);
  });
  monitor.SetFilterFile("/nonexistent/filters.dat");
  monitor.SetLocalNetworks(LocalNetworks{{IpAddress::V4(interfaceAddress.s_addr)}, {}});
  monitor.Start("file");

  std::printf("%4s %14s %12s %8s %12s %6s %9s\n", "s", "datagrams", "queued", "rows",
              "records", "lag s", "RSS MB");
  int64_t worstLag = 0;
  for (int second = 1; second <= seconds; ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int rows;
    int64_t newest = 0;
    {
      TrafficList::Lock lock(StateOf(monitor).list);
      rows = StateOf(monitor).list.Count();
      for (int row = 0; row < rows; ++row) {
        int64_t t = ParseTimestamp(StateOf(monitor).list.Cell(row, kColumnLastActivity));
        if (t > newest) newest = t;
      }
    }
    const int64_t lag = rows > 0 ? env.Now() - newest : 0;
    if (second > 5 && lag > worstLag) worstLag = lag;
    std::printf("%4d %14llu %12zu %8d %12llu %6lld %9.1f\n", second,
                static_cast<unsigned long long>(datagrams.load()), StateOf(monitor).packetQueue.Size(),
                rows, static_cast<unsigned long long>(records.load()),
                static_cast<long long>(lag), StatusKilobytes("VmRSS") / 1024.0);
    std::fflush(stdout);
  }
  monitor.Stop();
  std::printf("datagrams/s %.0f, worst lag after the first 5 s: %lld s, peak RSS %.1f MB\n",
              static_cast<double>(datagrams.load()) / seconds, static_cast<long long>(worstLag),
              StatusKilobytes("VmHWM") / 1024.0);
  return 0;
}
