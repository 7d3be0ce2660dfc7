#include "tools/replay.h"

#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>

#include "attribution/kernel_owners.h"

#include "engine/packet_info.h"
#include "platform/capture_source.h"
#include "platform/mutex.h"

namespace corvane {

namespace {

// Finishes each pass (Monitor::FinishPass) on a thread of its own while the
// driver accounts the next second's datagrams: a wide capture spends most
// of its replay making rows, which need not wait for the file.
class PassFinisher {
 public:
  explicit PassFinisher(Monitor& monitor) : monitor_(monitor), thread_([this] { Run(); }) {}

  ~PassFinisher() {
    Wait();
    {
      MutexLock lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  void Start() EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      pending_ = true;
    }
    changed_.notify_all();
  }

  // Returns once the pass last started is finished.
  void Wait() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    changed_.wait(lock, [this]() REQUIRES(mutex_) { return !pending_; });
  }

 private:
  void Run() EXCLUDES(mutex_) {
    for (;;) {
      {
        MutexLock lock(mutex_);
        changed_.wait(lock, [this]() REQUIRES(mutex_) { return pending_ || stopping_; });
        if (!pending_) return;
      }
      monitor_.FinishPass();
      {
        MutexLock lock(mutex_);
        pending_ = false;
      }
      changed_.notify_all();
    }
  }

  Monitor& monitor_;
  Mutex mutex_;
  std::condition_variable_any changed_;
  bool pending_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;  // last: it starts once the members above exist
};

// Drives the simulated seconds: one tick and one pass per second crossed.
// The second half of a pass runs beside the accounting of the datagrams
// that follow it; the next tick waits for it, and so does the end.
class SimulatedSeconds {
 public:
  SimulatedSeconds(Monitor& monitor, ManualClock& clock)
      : monitor_(monitor), clock_(clock), finisher_(monitor) {}

  void AdvanceTo(int64_t target) {
    if (!started_) {
      started_ = true;
      current_ = target;
      clock_.Set(target);
      return;
    }
    // A long quiet stretch: the seconds right after the last datagram still
    // matter (events become old enough to show, rows are deselected), and a
    // local midnight inside the stretch must still clear; the rest of the
    // stretch changes nothing.
    constexpr int64_t kBusySeconds = 10;
    while (current_ < target) {
      if (target - current_ > 2 * kBusySeconds && quiet_ >= kBusySeconds) {
        int64_t jumpTo = target - kBusySeconds;
        int64_t midnight = NextLocalMidnight(current_);
        if (midnight <= jumpTo) jumpTo = midnight;
        if (jumpTo > current_ + 1) {
          current_ = jumpTo - 1;
          quiet_ = 0;
        }
      }
      Step();
    }
  }

  void Finish(int64_t seconds) {
    for (int64_t i = 0; i < seconds; ++i) Step();
    finisher_.Wait();
  }

  void NoteDatagram() { quiet_ = 0; }

 private:
  void Step() {
    finisher_.Wait();
    ++current_;
    ++quiet_;
    clock_.Set(current_);
    (void)monitor_.TakeTick();
    if (monitor_.BeginPass()) finisher_.Start();
  }

  static int64_t NextLocalMidnight(int64_t after) {
    LocalTime t = ToLocalTime(after);
    t.day += 1;
    t.hour = t.minute = t.second = 0;
    int64_t seconds = after + 86400;
    FromLocalTime(t, seconds);
    return seconds;
  }

  Monitor& monitor_;
  ManualClock& clock_;
  bool started_ = false;
  int64_t current_ = 0;
  int64_t quiet_ = 0;
  PassFinisher finisher_;
};

}  // namespace

SocketOwnersResult LoadSocketOwners(const std::string& path) {
  SocketOwnersResult result;
  std::ifstream in(path);
  if (!in) {
    result.error = "can't read " + path;
    return result;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::istringstream fields(line);
    std::string protocol, local, remote, name;
    long localPort = -1, remotePort = -1;
    unsigned long pid = 0, uid = 0;
    if (!(fields >> protocol) || protocol[0] == '#') continue;
    fields >> local >> localPort >> remote >> remotePort >> pid >> uid >> name;
    const std::optional<IpAddress> localAddress = ParseIp(local);
    const std::optional<IpAddress> remoteAddress = ParseIp(remote);
    if (!fields || (protocol != "tcp" && protocol != "udp") || !localAddress || !remoteAddress ||
        localAddress->family != remoteAddress->family || localPort < 1 || localPort > 65535 ||
        remotePort < 0 || remotePort > 65535 || pid == 0 || pid > INT32_MAX || uid > UINT32_MAX) {
      result.error = path + ":" + std::to_string(number) + ": not a socket owner";
      return result;
    }
    SocketOwner owner;
    owner.protocol = protocol == "tcp" ? 6 : 17;
    owner.family = localAddress->IsV4() ? AF_INET : AF_INET6;
    owner.localPort = static_cast<uint16_t>(localPort);
    owner.remotePort = static_cast<uint16_t>(remotePort);
    owner.pid = static_cast<uint32_t>(pid);
    owner.uid = static_cast<uint32_t>(uid);
    const size_t length = localAddress->IsV4() ? 4 : 16;
    std::copy_n(localAddress->bytes.begin(), length, owner.localAddress.begin());
    std::copy_n(remoteAddress->bytes.begin(), length, owner.remoteAddress.begin());
    owner.name = result.names.emplace_back(std::move(name));
    result.owners.push_back(owner);
  }
  result.ok = true;
  return result;
}

ReplayResult ReplayCaptureFile(const std::string& path, Monitor& monitor, ManualClock& clock) {
  ReplayResult result;
  Status opened;
  std::unique_ptr<CaptureSource> source = OpenCaptureFile(path, opened);
  if (!source) {
    result.error = opened.reason;
    return result;
  }
  SimulatedSeconds seconds(monitor, clock);
  CapturedDatagram datagram;
  bool any = false;
  Status damaged;
  while (true) {
    ReadStatus status = source->Next(datagram, damaged);
    if (status == ReadStatus::EndOfFile || status == ReadStatus::Interrupted) break;
    // A damaged record ends what can be read of the file.
    if (status == ReadStatus::Error) {
      result.error = damaged.reason;
      result.partial = true;
      return result;
    }
    if (status != ReadStatus::Datagram) continue;
    seconds.AdvanceTo(datagram.seconds);
    seconds.NoteDatagram();
    any = true;
    ++result.datagrams;
    if (auto info = ParsePacketInfo(datagram.bytes, datagram.wireLength)) monitor.AccountDatagram(*info);
  }
  if (any) seconds.Finish(3);
  (void)monitor.TakeTick();
  result.ok = true;
  return result;
}

}  // namespace corvane
