// The soak driver: runs the monitor with live capture on loopback while the
// load generator sends a steady stream of UDP datagrams, then checks that
//  - the bytes accounted to the peer equal the bytes sent (when the kernel
//    reports no capture drops; with drops, the shortfall must not exceed
//    them),
//  - memory did not grow by more than 10 % beyond the level of the first
//    minute (or of the first third of a shorter run),
//  - no thread died: the same threads run at the end, and the processing
//    thread still brings the flow into the list.
// Prints figures and "soak: PASS" or "soak: FAIL ..." (exit status 0 / 1).
//
//   soak_monitor LOADGEN SECONDS [RATE] [PAYLOAD]
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "vocabulary/text_format.h"
#include "platform/capture_source.h"
#include "platform/clock.h"
#include "tests/support/test_env.h"
#include "platform/net.h"

namespace {

using namespace corvane;

const uint32_t kMonitored = MakeAddress(127, 0, 0, 20);
const uint32_t kPeer = MakeAddress(127, 0, 0, 21);
constexpr uint16_t kPort = 47100;

// Forwards to the live source and keeps its kernel drop count where the
// main thread can read it.
class CountingSource : public CaptureSource {
 public:
  CountingSource(std::unique_ptr<CaptureSource> inner, std::atomic<uint64_t>& drops)
      : inner_(std::move(inner)), drops_(drops) {}
  ReadStatus Next(CapturedDatagram& datagram, Status& status) override {
    const ReadStatus read = inner_->Next(datagram, status);
    if (read != ReadStatus::Datagram || ++reads_ % 4096 == 0) {
      drops_.store(inner_->DroppedByKernel());
    }
    return read;
  }
  void Interrupt() override { inner_->Interrupt(); }
  uint64_t DroppedByKernel() const override { return inner_->DroppedByKernel(); }

 private:
  std::unique_ptr<CaptureSource> inner_;
  std::atomic<uint64_t>& drops_;
  uint64_t reads_ = 0;
};

long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

int ThreadCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count;
}

void SendProbe() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  from.sin_addr.s_addr = kMonitored;
  to.sin_addr.s_addr = kPeer;
  to.sin_port = htons(kPort + 1);  // nobody listens: the ICMP reply is counted too
  ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  char byte = 0;
  ::sendto(fd, &byte, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
}

uint64_t PeerBytes(Monitor& monitor) {
  const auto counts = StateOf(monitor).flows.LookupAddressTotal(IpAddress::V4(kPeer));
  return counts ? static_cast<uint64_t>(counts->uploadBytes) + counts->downloadBytes : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LOADGEN SECONDS [RATE] [PAYLOAD]\n", argv[0]);
    return 2;
  }
  const std::string loadgen = argv[1];
  const int seconds = std::atoi(argv[2]);
  const std::string rate = argc > 3 ? argv[3] : "100000";
  const std::string payload = argc > 4 ? argv[4] : "18";
  if (seconds <= 0) return 2;

  testing::TestEnv env;
  char dir[] = "/tmp/corvane-soak-XXXXXX";
  if (!::mkdtemp(dir)) return 2;
  Monitor monitor(env, dir);
  std::atomic<uint64_t> drops{0};
  env.SetCaptureOpener([&drops](const std::string& name, Status& status) {
    auto live = OpenLiveCapture(name, status);
    return live ? std::unique_ptr<CaptureSource>(
                      std::make_unique<CountingSource>(std::move(live), drops))
                : nullptr;
  });
  std::atomic<int> errors{0};
  monitor.SetErrorHandler([&](const std::string& message) {
    std::fprintf(stderr, "monitor reports: %s\n", message.c_str());
    errors.fetch_add(1);
  });
  monitor.SetLocalNetworks(LocalNetworks{{IpAddress::V4(kMonitored)}, {}});
  monitor.Start("lo");

  // Wait until capture counts.
  const auto ready = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (PeerBytes(monitor) == 0 && std::chrono::steady_clock::now() < ready) {
    SendProbe();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (PeerBytes(monitor) == 0) {
    std::printf("soak: FAIL capture on lo counts nothing (root or CAP_NET_RAW needed)\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const uint64_t before = PeerBytes(monitor);
  const uint64_t dropsBefore = drops.load();
  const int threadsAtStart = ThreadCount();

  int out[2];
  if (::pipe(out) != 0) return 2;
  const std::string secondsText = std::to_string(seconds);
  std::vector<std::string> words = {loadgen, "127.0.0.20", "127.0.0.21", std::to_string(kPort),
                                    rate, secondsText, payload};
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> args;
    for (auto& w : words) args.push_back(w.data());
    args.push_back(nullptr);
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);

  // Sample memory each second while the load runs; move the tick counters
  // as the window's one-second tick does.
  const int baselineSeconds = std::min(60, std::max(1, seconds / 3));
  long baselineKb = 0, peakAfterKb = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int second = 1; second <= seconds; ++second) {
    std::this_thread::sleep_until(start + std::chrono::seconds(second));
    StateOf(monitor).counters.Tick();
    const long kb = ResidentKilobytes();
    if (second <= baselineSeconds) {
      baselineKb = std::max(baselineKb, kb);
    } else {
      peakAfterKb = std::max(peakAfterKb, kb);
    }
  }
  std::string report;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) report.append(buffer, n);
  int status = 0;
  ::waitpid(child, &status, 0);
  unsigned long long sentDatagrams = 0, sentBytes = 0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      std::sscanf(report.c_str(), "sent %llu %llu", &sentDatagrams, &sentBytes) != 2) {
    std::printf("soak: FAIL the load generator failed\n");
    return 1;
  }

  // Let capture drain: wait until the count stops moving.
  uint64_t counted = PeerBytes(monitor) - before;
  for (int still = 0; still < 5;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t now = PeerBytes(monitor) - before;
    still = now == counted ? still + 1 : 0;
    counted = now;
  }
  // The processing thread shows events 3 s old about once a second.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const uint64_t dropped = drops.load() - dropsBefore;
  const int threadsAtEnd = ThreadCount();
  std::string rowText;
  {
    TrafficList::Lock lock(StateOf(monitor).list);
    const int row = StateOf(monitor).list.FindRemoteIpRow(FormatAddress(kPeer));
    if (row >= 0) rowText = StateOf(monitor).list.Cell(row, kColumnUpload);
  }
  const bool running = monitor.IsRunning();
  monitor.Stop();

  // Counts are 32-bit and wrap: compare modulo 2^32.
  const uint32_t countedMod = static_cast<uint32_t>(counted);
  const uint32_t sentMod = static_cast<uint32_t>(sentBytes);
  const double growth = baselineKb > 0 ? 100.0 * (peakAfterKb - baselineKb) / baselineKb : 0;
  std::printf("soak: %d s, %llu datagrams (%.0f/s), %llu IP bytes sent, %llu counted, "
              "%llu dropped by the kernel\n",
              seconds, sentDatagrams, static_cast<double>(sentDatagrams) / seconds, sentBytes,
              static_cast<unsigned long long>(counted), static_cast<unsigned long long>(dropped));
  std::printf("soak: %llu datagrams not counted\n",
              static_cast<unsigned long long>(sentBytes > counted ? (sentBytes - counted) /
                                                  (std::strtoull(payload.c_str(), nullptr, 10) + 28)
                                                                    : 0));
  std::printf("soak: memory %ld kB in the first %d s, %ld kB peak after (%+.1f %%)\n", baselineKb,
              baselineSeconds, peakAfterKb, growth);
  std::printf("soak: threads %d at the start, %d at the end; row upload cell \"%s\"\n",
              threadsAtStart, threadsAtEnd, rowText.c_str());

  std::string failures;
  if (dropped == 0 && countedMod != sentMod) failures += " bytes-counted-differ-from-sent";
  // With drops: never more than was sent, and no more missing than the
  // kernel says it dropped (each datagram on lo passes the capture twice,
  // out and in, so a drop may be counted for either copy).
  const uint64_t payloadBytes = std::strtoull(payload.c_str(), nullptr, 10) + 28;
  const uint64_t missing = sentBytes > counted ? (sentBytes - counted) / payloadBytes : 0;
  if (dropped > 0 && counted > sentBytes) failures += " more-counted-than-sent";
  if (dropped > 0 && missing > dropped) failures += " more-missing-than-dropped";
  if (seconds > baselineSeconds && peakAfterKb > baselineKb + baselineKb / 10)
    failures += " memory-grew-over-10%";
  if (!running || threadsAtEnd < threadsAtStart) failures += " a-thread-died";
  if (rowText.empty()) failures += " the-flow-never-reached-the-list";
  if (errors.load() > 0) failures += " the-monitor-reported-errors";
  std::printf("soak: %s%s\n", failures.empty() ? "PASS" : "FAIL", failures.c_str());
  std::string removeError;
  std::remove(dir);
  return failures.empty() ? 0 : 1;
}
