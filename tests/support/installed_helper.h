// What the capture helper tests share: the built helper, a copy of it
// installed with file capabilities as scripts/install-capture installs it,
// running code as user nobody, and counting loopback datagrams through a
// capture source. For the capture suite, which defines CORVANE_TEST_HELPER
// (the built helper) and CORVANE_TEST_CLI.
#pragma once

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "attribution/system_sockets.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "vocabulary/text_format.h"
#include "platform/clock.h"
#include "platform/helper_capture.h"
#include "platform/ip_address.h"
#include "storage/history_store.h"

namespace corvane {
namespace {


using testing::Address;
using testing::Socket;
using testing::UnderCi;

constexpr uint16_t kUdp = 17;

// The CapPrm and CapEff lines of a process, as "PRM EFF" in hex.
inline std::string Capabilities(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line, permitted, effective;
  while (std::getline(status, line)) {
    if (line.rfind("CapPrm:", 0) == 0) permitted = line.substr(line.find_first_not_of(" \t", 7));
    if (line.rfind("CapEff:", 0) == 0) effective = line.substr(line.find_first_not_of(" \t", 7));
  }
  return permitted + " " + effective;
}

// This process's descriptors that a program it starts would inherit.
inline std::set<int> InheritedDescriptors() {
  std::set<int> inherited;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) inherited.insert(fd);
  }
  return inherited;
}

constexpr const char* kNoCapabilities = "0000000000000000 0000000000000000";

struct Tally {
  int datagrams = 0;
  uint64_t bytes = 0;
};

// Sends `count` UDP datagrams of different sizes to a socket of its own on
// 127.0.0.1 and reads `source` until it has seen them all or goes quiet for
// two seconds. What it saw of that port is in the tally; `expected` is what
// was sent (IP total lengths).
// Reads `source` until it has seen `wanted` datagrams to UDP port `port`
// (network order) or goes quiet for two seconds.
inline Tally CountDatagramsToPort(CaptureSource& source, uint16_t port, int wanted,
                                  Status& why) {
  Tally seen;
  CapturedDatagram datagram;
  for (int quiet = 0; quiet < 20 && seen.datagrams < wanted;) {
    const ReadStatus status = source.Next(datagram, why);
    if (status == ReadStatus::Timeout) ++quiet;
    if (status == ReadStatus::Error || status == ReadStatus::EndOfFile) break;
    if (status != ReadStatus::Datagram || datagram.bytes.size() < 24) continue;
    const uint8_t* ip = datagram.bytes.data();
    const size_t transport = (ip[0] & 0x0F) * 4u;
    if (ip[9] != kUdp || datagram.bytes.size() < transport + 4) continue;
    uint16_t to;
    std::memcpy(&to, ip + transport + 2, 2);
    if (to != port) continue;
    ++seen.datagrams;
    seen.bytes += static_cast<uint64_t>(ip[2]) << 8 | ip[3];
  }
  return seen;
}

inline Tally SendAndCount(CaptureSource& source, int count, Tally& expected, Status& why) {
  Socket receiver(SOCK_DGRAM);
  Socket sender(SOCK_DGRAM);
  receiver.Bind("127.0.0.1");
  const sockaddr_in to = receiver.Name();
  for (int i = 0; i < count; ++i) {
    const std::string payload(100 + 37 * i, 'x');
    if (sender.SendTo(payload, to)) {
      ++expected.datagrams;
      expected.bytes += payload.size() + 28;
    }
  }
  return CountDatagramsToPort(source, to.sin_port, expected.datagrams, why);
}

inline HelperCaptureOptions BuiltHelper() {
  HelperCaptureOptions options;
  options.helperPath = CORVANE_TEST_HELPER;
  return options;
}

// A copy of the built helper installed as scripts/install-capture installs
// it: root-owned directory, owner root, group `group`, mode 0750, file
// capabilities cap_net_raw,cap_bpf,cap_perfmon+p. At `relative` under the
// directory; PREFIX/libexec/corvane/corvane-capture is where a program in
// PREFIX/bin finds it.
class InstalledHelper {
 public:
  explicit InstalledHelper(gid_t group, const std::string& relative = "corvane-capture",
                           const std::string& capabilities = "cap_net_raw,cap_bpf,cap_perfmon+p") {
    char pattern[] = "/tmp/corvane-helper-XXXXXX";
    directory_ = mkdtemp(pattern);
    chmod(directory_.c_str(), 0755);
    path_ = directory_ + "/" + relative;
    ok_ = Copy(CORVANE_TEST_HELPER, relative, 0750, group) &&
          std::system(("setcap " + capabilities + " " + path_).c_str()) == 0;
  }
  ~InstalledHelper() { std::filesystem::remove_all(directory_); }
  // Installs another file (a program, or a folder for `owner`) beside it.
  bool Copy(const std::string& source, const std::string& relative, mode_t mode, gid_t group = 0) {
    const std::filesystem::path target = directory_ + "/" + relative;
    std::error_code error;
    for (auto folder = target.parent_path(); folder.string().size() > directory_.size();
         folder = folder.parent_path()) {
      std::filesystem::create_directories(folder, error);
      chmod(folder.c_str(), 0755);
    }
    std::filesystem::copy_file(source, target, error);
    return !error && chown(target.c_str(), 0, group) == 0 && chmod(target.c_str(), mode) == 0;
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }
  std::string At(const std::string& relative) const { return directory_ + "/" + relative; }

 private:
  std::string directory_;
  std::string path_;
  bool ok_ = false;
};

// Runs `body` in a child that has become user nobody with `groups` as its
// only supplementary groups. The child's report comes back as text; an
// empty report means it passed.
template <typename Body>
std::string AsNobody(const std::vector<gid_t>& groups, Body body) {
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return "no user nobody";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    std::string report;
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
      report = "cannot become nobody";
    } else {
      report = body();
    }
    [[maybe_unused]] auto written = write(pipeFds[1], report.data(), report.size());
    _exit(0);
  }
  close(pipeFds[1]);
  std::string report;
  char chunk[512];
  for (ssize_t got; (got = read(pipeFds[0], chunk, sizeof chunk)) > 0;) report.append(chunk, got);
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status)) report += " (child died)";
  return report;
}

}  // namespace
}  // namespace corvane
