// Capture through the capture helper on loopback: the helper gives up its
// capabilities, an unprivileged member of its group captures exactly what a
// direct capture would, a non-member is told which group to join, and a
// helper that dies is reported once and can be started again.
//
// Tests that install the helper with file capabilities or switch users need
// root: they skip outside CI and must run in CI. Traffic stays on 127.0.0.1.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "attribution/system_sockets.h"
#include "platform/helper_capture.h"

namespace corvane {
namespace {

using testing::Address;
using testing::Socket;
using testing::UnderCi;

constexpr uint16_t kUdp = 17;

// The CapPrm and CapEff lines of a process, as "PRM EFF" in hex.
std::string Capabilities(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line, permitted, effective;
  while (std::getline(status, line)) {
    if (line.rfind("CapPrm:", 0) == 0) permitted = line.substr(line.find_first_not_of(" \t", 7));
    if (line.rfind("CapEff:", 0) == 0) effective = line.substr(line.find_first_not_of(" \t", 7));
  }
  return permitted + " " + effective;
}

// This process's descriptors that a program it starts would inherit.
std::set<int> InheritedDescriptors() {
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
Tally SendAndCount(CaptureSource& source, int count, Tally& expected, std::string& error) {
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
  Tally seen;
  CapturedDatagram datagram;
  for (int quiet = 0; quiet < 20 && seen.datagrams < expected.datagrams;) {
    const ReadStatus status = source.Next(datagram, error);
    if (status == ReadStatus::Timeout) ++quiet;
    if (status == ReadStatus::Error || status == ReadStatus::EndOfFile) break;
    if (status != ReadStatus::Datagram || datagram.bytes.size() < 24) continue;
    const uint8_t* ip = datagram.bytes.data();
    const size_t transport = (ip[0] & 0x0F) * 4u;
    if (ip[9] != kUdp || datagram.bytes.size() < transport + 4) continue;
    uint16_t port;
    std::memcpy(&port, ip + transport + 2, 2);
    if (port != to.sin_port) continue;
    ++seen.datagrams;
    seen.bytes += static_cast<uint64_t>(ip[2]) << 8 | ip[3];
  }
  return seen;
}

HelperCaptureOptions BuiltHelper() {
  HelperCaptureOptions options;
  options.helperPath = CORVANE_TEST_HELPER;
  return options;
}

// A copy of the built helper installed as scripts/install-capture installs
// it: root-owned directory, owner root, group `group`, mode 0750, file
// capabilities cap_net_raw,cap_bpf,cap_perfmon+p.
class InstalledHelper {
 public:
  explicit InstalledHelper(gid_t group) {
    char pattern[] = "/tmp/corvane-helper-XXXXXX";
    directory_ = mkdtemp(pattern);
    chmod(directory_.c_str(), 0755);
    path_ = directory_ + "/corvane-capture";
    std::filesystem::copy_file(CORVANE_TEST_HELPER, path_);
    ok_ = chown(path_.c_str(), 0, group) == 0 && chmod(path_.c_str(), 0750) == 0 &&
          std::system(("setcap cap_net_raw,cap_bpf,cap_perfmon+p " + path_).c_str()) == 0;
  }
  ~InstalledHelper() { std::filesystem::remove_all(directory_); }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

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

TEST(HelperCaptureLoopback, HelperKeepsNoCapabilityLeaksNoDescriptorAndLosesNoDatagram) {
  CORVANE_REQUIRE(testing::MayCapture(), "the built helper has no file capabilities; needs root");
  const std::set<int> before = InheritedDescriptors();
  std::string error;
  auto source = OpenHelperCapture("lo", error, BuiltHelper());
  ASSERT_NE(source, nullptr) << error;
  EXPECT_EQ(Capabilities(source->pid()), kNoCapabilities);
  EXPECT_EQ(InheritedDescriptors(), before) << "a browser started from a link would inherit them";
  Tally expected;
  const Tally seen = SendAndCount(*source, 200, expected, error);
  EXPECT_EQ(seen.datagrams, expected.datagrams) << error;
  EXPECT_EQ(seen.bytes, expected.bytes);
}

TEST(HelperCaptureLoopback, GroupMemberCapturesWithoutAnyCapability) {
  CORVANE_REQUIRE(geteuid() == 0, "installing a helper with file capabilities needs root");
  const group* adm = getgrnam("adm");
  ASSERT_NE(adm, nullptr);
  InstalledHelper helper(adm->gr_gid);
  ASSERT_TRUE(helper.ok()) << "setcap failed";
  const std::string report = AsNobody({adm->gr_gid}, [&]() -> std::string {
    if (Capabilities(getpid()) != kNoCapabilities) return "client holds " + Capabilities(getpid());
    std::string error;
    HelperCaptureOptions options;
    options.helperPath = helper.path();
    auto source = OpenHelperCapture("lo", error, options);
    if (!source) return "open: " + error;
    if (Capabilities(source->pid()) != kNoCapabilities) {
      return "helper holds " + Capabilities(source->pid());
    }
    Tally expected;
    const Tally seen = SendAndCount(*source, 100, expected, error);
    if (seen.datagrams != expected.datagrams || seen.bytes != expected.bytes) {
      return "saw " + std::to_string(seen.datagrams) + " of " + std::to_string(expected.datagrams) +
             " datagrams " + error;
    }
    return "";
  });
  EXPECT_EQ(report, "");
}

TEST(HelperCaptureLoopback, NonMemberIsToldWhichGroupToJoin) {
  CORVANE_REQUIRE(geteuid() == 0, "installing a helper with file capabilities needs root");
  const group* adm = getgrnam("adm");
  ASSERT_NE(adm, nullptr);
  InstalledHelper helper(adm->gr_gid);
  ASSERT_TRUE(helper.ok()) << "setcap failed";
  const std::string report = AsNobody({}, [&]() -> std::string {
    std::string error;
    HelperCaptureOptions options;
    options.helperPath = helper.path();
    if (OpenHelperCapture("lo", error, options)) return "opened without the group";
    return error;
  });
  EXPECT_NE(report.find("group 'adm'"), std::string::npos) << report;
  EXPECT_NE(report.find("usermod -aG adm nobody"), std::string::npos) << report;
}

TEST(HelperCaptureLoopback, CliWatchWithoutCaptureRightsExitsNonZero) {
  CORVANE_REQUIRE(geteuid() == 0, "switching to user nobody needs root");
  const std::string report = AsNobody({}, []() -> std::string {
    const std::string command = std::string(CORVANE_TEST_CLI) +
                                " watch --interface 127.0.0.1 --seconds 1 2>&1 >/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    std::string output;
    char chunk[512];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
    const int status = pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) return "non-zero: " + output;
    return "exit 0: " + output;
  });
  EXPECT_EQ(report.rfind("non-zero: ", 0), 0u) << report;
  // Either the helper is not installed here or nobody is not in its group.
  EXPECT_TRUE(report.find("install-capture") != std::string::npos ||
              report.find("group '") != std::string::npos)
      << report;
}

TEST(HelperCaptureLoopback, HelperKilledMidCaptureIsReportedOnceAndReopens) {
  CORVANE_REQUIRE(testing::MayCapture(), "the built helper has no file capabilities; needs root");
  std::string error;
  auto source = OpenHelperCapture("lo", error, BuiltHelper());
  ASSERT_NE(source, nullptr) << error;
  kill(source->pid(), SIGKILL);
  int errors = 0;
  CapturedDatagram datagram;
  for (int i = 0; i < 50; ++i) {
    const ReadStatus status = source->Next(datagram, error);
    if (status == ReadStatus::Error) ++errors;
    if (status == ReadStatus::EndOfFile) break;
  }
  EXPECT_EQ(errors, 1);
  EXPECT_NE(error.find("killed by signal 9"), std::string::npos) << error;
  EXPECT_EQ(source->Next(datagram, error), ReadStatus::EndOfFile);

  auto again = OpenHelperCaptureAt(Address("127.0.0.1"), error, BuiltHelper());
  ASSERT_NE(again, nullptr) << error;
  Tally expected;
  EXPECT_EQ(SendAndCount(*again, 10, expected, error).datagrams, expected.datagrams);
}

}  // namespace
}  // namespace corvane
