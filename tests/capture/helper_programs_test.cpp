// Programs that use the installed capture helper as an unprivileged user:
// corvane-cli names another user's short connections from kernel events,
// a member's stream carries no socket owner of another network namespace,
// a watch killed mid-run leaves an intact history of its flushed minutes,
// and the window holds no capability and keeps its rows on SIGTERM.
//
// These tests need root: they skip outside CI and must run in CI. Traffic
// stays on 127.0.0.1.
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
#include <tuple>
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

#include "support/installed_helper.h"

namespace corvane {
namespace {

// A program started as user nobody with `groups` as its only supplementary
// groups and `environment` as its whole environment; its standard output
// and error come through `output`.
struct NobodyProgram {
  pid_t pid = -1;
  FILE* output = nullptr;

  NobodyProgram(const std::vector<std::string>& argv, const std::vector<gid_t>& groups,
                const std::vector<std::string>& environment) {
    const passwd* nobody = getpwnam("nobody");
    int fds[2];
    if (nobody == nullptr || pipe2(fds, O_CLOEXEC) != 0) return;
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    std::vector<char*> args, env;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    env.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      if (setgroups(groups.size(), groups.data()) == 0 && setgid(gid) == 0 && setuid(uid) == 0) {
        execve(args[0], args.data(), env.data());
      }
      _exit(127);
    }
    close(fds[1]);
    output = fdopen(fds[0], "r");
  }
  ~NobodyProgram() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (output) fclose(output);
  }
  // The next line of output without its newline; nullopt at the end.
  std::optional<std::string> Line() {
    char line[4096];
    if (output == nullptr || std::fgets(line, sizeof line, output) == nullptr) return std::nullopt;
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  int Wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return status;
  }
};

// Runs a short-lived program of root's that opens 20 TCP connections of 10
// ms and 20 UDP sockets of one datagram each to 127.0.0.1 and prints "PID
// proto/port ..." (the listener's port last: its accepted ends are the
// program's too). As root it is another user's program to a watcher that
// runs as nobody: no /proc scan of nobody's can name it.
std::string RunShortConnections() {
  const char* script = R"(
import os, socket, time
srv = socket.socket(); srv.bind(("127.0.0.1", 0)); srv.listen(64)
sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); sink.bind(("127.0.0.1", 0))
ports = []
for i in range(20):
    c = socket.create_connection(srv.getsockname()); a, _ = srv.accept()
    c.sendall(b"x" * (1000 + 97 * i)); a.recv(65536)
    time.sleep(0.01)
    ports.append("6/%d" % c.getsockname()[1]); c.close(); a.close()
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.sendto(b"y" * (200 + 31 * i), sink.getsockname())
    ports.append("17/%d" % u.getsockname()[1]); u.close()
ports.append("6/%d" % srv.getsockname()[1])
print(os.getpid(), " ".join(ports), flush=True)
)";
  FILE* pipe = popen(("python3 -c '" + std::string(script) + "'").c_str(), "r");
  if (pipe == nullptr) return "";
  std::string output;
  char chunk[4096];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
  pclose(pipe);
  return output;
}

// Puts corvane-cli into `tree` beside the helper, with a data folder that
// `user` owns; the folder's path, or empty when either failed.
std::string AddCliWithDataFolder(InstalledHelper& tree, const passwd& user) {
  if (!tree.Copy(CORVANE_TEST_CLI, "bin/corvane-cli", 0755)) return {};
  const std::string data = tree.At("data");
  std::filesystem::create_directory(data);
  if (chown(data.c_str(), user.pw_uid, user.pw_gid) != 0) return {};
  return data;
}

bool KernelAttributionAvailable() {
  Status why;
  auto source = OpenHelperCapture("lo", why, BuiltHelper());
  return source && source->attributionMode() == capture::AttributionMode::kKernel;
}

TEST(HelperCaptureLoopback, GroupMemberCliNamesAnotherUsersShortConnectionsFromKernelEvents) {
  CORVANE_REQUIRE(geteuid() == 0, "installing a helper with file capabilities needs root");
  CORVANE_REQUIRE(KernelAttributionAvailable(),
                  "the built helper cannot load its kernel program (no BTF or libbpf)");
  const group* adm = getgrnam("adm");
  const passwd* nobody = getpwnam("nobody");
  ASSERT_TRUE(adm && nobody);
  InstalledHelper tree(adm->gr_gid, "libexec/corvane/corvane-capture");
  ASSERT_TRUE(tree.ok()) << "setcap failed";
  const std::string data = AddCliWithDataFolder(tree, *nobody);
  ASSERT_FALSE(data.empty()) << "corvane-cli or its data folder could not be set up";

  // What the child's sockets sent, as a direct capture of root's sees it:
  // IP total lengths by (protocol, source port).
  Status why;
  auto direct = OpenLiveCapture(Address("127.0.0.1"), why);
  ASSERT_NE(direct, nullptr) << why.reason;
  std::map<std::pair<int, int>, uint64_t> sent;
  std::atomic<bool> stop{false};
  std::thread counter([&] {
    CapturedDatagram datagram;
    Status ignored;
    while (!stop.load()) {
      if (direct->Next(datagram, ignored) != ReadStatus::Datagram) continue;
      const uint8_t* ip = datagram.bytes.data();
      const size_t transport = (ip[0] & 0x0F) * 4u;
      if (datagram.bytes.size() < transport + 2) continue;
      sent[{ip[9], ip[transport] << 8 | ip[transport + 1]}] += ip[2] << 8 | ip[3];
    }
  });
  // Ends the counter on every way out of the test, failed assertions too.
  struct StopCounter {
    std::atomic<bool>& stop;
    CaptureSource& capture;
    std::thread& thread;
    ~StopCounter() {
      stop.store(true);
      capture.Interrupt();
      if (thread.joinable()) thread.join();
    }
  } stopCounter{stop, *direct, counter};

  NobodyProgram cli({tree.At("bin/corvane-cli"), "watch", "--interface", "127.0.0.1", "--seconds",
                     "7", "--data-dir", data},
                    {adm->gr_gid}, {});
  std::optional<std::string> line;
  while ((line = cli.Line()) && line->rfind("attribution: ", 0) != 0) {
  }
  ASSERT_EQ(line.value_or("(cli ended)"), "attribution: kernel events");

  std::istringstream child(RunShortConnections());
  int pid = 0;
  child >> pid;
  // A closed socket's port may come back for a later one; the bytes seen on
  // it are summed per port all the same.
  std::set<std::pair<int, int>> ports;
  size_t sockets = 0;
  for (std::string port; child >> port; ++sockets) {
    ports.insert({std::stoi(port), std::stoi(port.substr(port.find('/') + 1))});
  }
  ASSERT_EQ(sockets, 41u) << "the child did not run";
  // The last list the cli printed before it ended.
  std::vector<std::string> rows, lastRows;
  while ((line = cli.Line())) {
    if (line->rfind("totals ", 0) == 0) lastRows.swap(rows), rows.clear();
    else if (std::count(line->begin(), line->end(), ' ') == 9) rows.push_back(*line);  // 8 cells, 2 rates
  }
  EXPECT_TRUE(WIFEXITED(cli.Wait()));
  stop.store(true);
  direct->Interrupt();
  counter.join();

  uint64_t expected = 0;
  for (const auto& port : ports) expected += sent[port];
  double named = 0;
  std::string childLabel;
  for (const std::string& row : lastRows) {
    std::istringstream cells(row);
    std::string cell[8];
    for (auto& c : cell) cells >> c;
    if (!cell[5].ends_with(":" + std::to_string(pid))) continue;
    childLabel = cell[5];
    std::replace(cell[3].begin(), cell[3].end(), '_', ' ');
    named += ByteCountValue(cell[3]).value_or(0);
  }
  EXPECT_EQ(childLabel.rfind("python3", 0), 0u) << childLabel;
  ASSERT_GT(expected, 40u * 1000);
  EXPECT_GE(named, 0.99 * static_cast<double>(expected)) << named << " of " << expected;
  // Two decimals of a KB: the cli rounds, never counts more.
  EXPECT_LE(named, static_cast<double>(expected) + 10);
}

// A child process the test talks to through two pipes: it writes to `go`
// and reads from `done`. `start(go, done)` forks it with the child's ends;
// the child is killed and reaped at the end, also when the test failed
// early.
struct PipedChild {
  pid_t pid = -1;
  int go = -1;
  int done = -1;
  explicit PipedChild(pid_t (*start)(int go, int done)) {
    int goPipe[2], donePipe[2];
    if (pipe2(goPipe, O_CLOEXEC) != 0) return;
    if (pipe2(donePipe, O_CLOEXEC) != 0) {
      close(goPipe[0]);
      close(goPipe[1]);
      return;
    }
    pid = start(goPipe[0], donePipe[1]);
    close(goPipe[0]);
    close(donePipe[1]);
    go = goPipe[1];
    done = donePipe[0];
  }
  ~PipedChild() {
    if (go >= 0) close(go);
    if (done >= 0) close(done);
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

// A process of root's in a network namespace of its own: it binds a UDP
// socket there, sends one datagram to itself on that namespace's loopback
// when told to (a byte on `go`), writes "sent" to `done` and ends. Returns
// its pid, or -1.
pid_t StartSenderInOwnNamespace(int go, int done) {
  const pid_t child = fork();
  if (child != 0) return child;
  char byte;
  bool ok = unshare(CLONE_NEWNET) == 0;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq loopback{};
  std::strcpy(loopback.ifr_name, "lo");
  ok = ok && fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &loopback) == 0;
  loopback.ifr_flags |= IFF_UP;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &loopback) == 0;
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof self;
  ok = ok && bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0 &&
       getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) == 0;
  ok = ok && read(go, &byte, 1) == 1 &&
       sendto(fd, "n", 1, 0, reinterpret_cast<sockaddr*>(&self), sizeof self) == 1;
  _exit(write(done, ok ? "sent" : "fail", 4) == 4 ? 0 : 1);
}

TEST(HelperCaptureLoopback, MembersStreamCarriesNoOwnerOfASocketInAnotherNetworkNamespace) {
  CORVANE_REQUIRE(geteuid() == 0, "network namespaces and file capabilities need root");
  CORVANE_REQUIRE(KernelAttributionAvailable(),
                  "the built helper cannot load its kernel program (no BTF or libbpf)");
  const group* adm = getgrnam("adm");
  ASSERT_NE(adm, nullptr);
  InstalledHelper helper(adm->gr_gid);
  ASSERT_TRUE(helper.ok()) << "setcap failed";
  PipedChild child(StartSenderInOwnNamespace);
  ASSERT_GT(child.pid, 0);
  const pid_t sender = child.pid;
  const std::string report = AsNobody({adm->gr_gid}, [&]() -> std::string {
    Status why;
    HelperCaptureOptions options;
    options.helperPath = helper.path();
    std::set<pid_t> owners;
    options.onSocketOwner = [&](const SocketOwner& owner) { owners.insert(owner.pid); };
    auto source = OpenHelperCapture("lo", why, options);
    if (!source) return "open: " + why.reason;
    if (source->attributionMode() != capture::AttributionMode::kKernel) return "no kernel events";
    char sent[4] = {};
    if (write(child.go, "g", 1) != 1 || read(child.done, sent, 4) != 4 ||
        std::string(sent, 4) != "sent") {
      return "the sender in its namespace did not send";
    }
    // Events leave in order: once this socket's owner is in, the other
    // namespace's would have been too.
    Socket own(SOCK_DGRAM);
    if (!own.Bind("127.0.0.1") || !own.SendTo("o", own.Name())) return "own socket failed";
    CapturedDatagram datagram;
    for (int quiet = 0; quiet < 20 && !owners.contains(getpid());) {
      const ReadStatus status = source->Next(datagram, why);
      if (status == ReadStatus::Timeout) ++quiet;
      if (status == ReadStatus::Error || status == ReadStatus::EndOfFile) return why.reason;
    }
    if (!owners.contains(getpid())) return "no owner for the member's own socket";
    if (owners.contains(sender)) return "the other namespace's socket owner reached the member";
    return "";
  });
  EXPECT_EQ(report, "");
}

// A process of root's with sockets open before any capture: a TCP listener
// with one connection to it, and a bound UDP socket; it writes their ports
// ("listener client udp") to `done`, and on a byte from `go` opens a second
// listener and writes its port. Returns its pid, or -1.
pid_t StartSocketHolder(int go, int done) {
  const pid_t child = fork();
  if (child != 0) return child;
  auto portOf = [](int fd) {
    sockaddr_in name{};
    socklen_t length = sizeof name;
    getsockname(fd, reinterpret_cast<sockaddr*>(&name), &length);
    return ntohs(name.sin_port);
  };
  auto listener = []() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
    listen(fd, 4);
    return fd;
  };
  const int first = listener();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(portOf(first));
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to);
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  to.sin_port = 0;
  bind(udp, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::string ports = std::to_string(portOf(first)) + " " + std::to_string(portOf(client)) + " " +
                      std::to_string(portOf(udp)) + "\n";
  char byte;
  bool ok = write(done, ports.data(), ports.size()) == static_cast<ssize_t>(ports.size()) &&
            read(go, &byte, 1) == 1;
  ports = std::to_string(portOf(listener())) + "\n";
  ok = ok && write(done, ports.data(), ports.size()) == static_cast<ssize_t>(ports.size());
  pause();
  _exit(ok ? 0 : 1);
}

TEST(HelperCaptureLoopback, MemberLearnsWhoOwnsAnotherUsersSocketsOpenAtStartAndItsLaterListener) {
  CORVANE_REQUIRE(geteuid() == 0, "another user's sockets and file capabilities need root");
  CORVANE_REQUIRE(KernelAttributionAvailable(),
                  "the built helper cannot load its kernel program (no BTF or libbpf)");
  const group* adm = getgrnam("adm");
  ASSERT_NE(adm, nullptr);
  InstalledHelper helper(adm->gr_gid);
  ASSERT_TRUE(helper.ok()) << "setcap failed";
  PipedChild child(StartSocketHolder);
  ASSERT_GT(child.pid, 0);
  const pid_t holder = child.pid;
  FILE* ports = fdopen(dup(child.done), "r");
  int listener = 0, client = 0, udp = 0;
  ASSERT_EQ(fscanf(ports, "%d %d %d", &listener, &client, &udp), 3);
  const std::string report = AsNobody({adm->gr_gid}, [&]() -> std::string {
    Status why;
    HelperCaptureOptions options;
    options.helperPath = helper.path();
    // (protocol, local port, remote port) of the holder's sockets.
    std::set<std::tuple<int, int, int>> owned;
    options.onSocketOwner = [&](const SocketOwner& owner) {
      if (owner.pid == static_cast<uint32_t>(holder)) {
        owned.insert({owner.protocol, owner.localPort, owner.remotePort});
      }
    };
    auto source = OpenHelperCapture("lo", why, options);
    if (!source) return "open: " + why.reason;
    if (source->attributionMode() != capture::AttributionMode::kKernel) return "no kernel events";
    int later = 0;
    if (write(child.go, "g", 1) != 1 || fscanf(ports, "%d", &later) != 1) return "no later listener";
    const std::set<std::tuple<int, int, int>> wanted{
        {6, listener, 0}, {6, client, listener}, {17, udp, 0}, {6, later, 0}};
    CapturedDatagram datagram;
    for (int quiet = 0; quiet < 20 && owned != wanted;) {
      const ReadStatus status = source->Next(datagram, why);
      if (status == ReadStatus::Timeout) ++quiet;
      if (status == ReadStatus::Error || status == ReadStatus::EndOfFile) return why.reason;
    }
    std::string missing;
    for (const auto& [protocol, local, remote] : wanted) {
      if (!owned.contains({protocol, local, remote})) {
        missing += " " + std::to_string(protocol) + "/" + std::to_string(local) + "->" +
                   std::to_string(remote);
      }
    }
    return missing.empty() ? "" : "no owner for" + missing;
  });
  fclose(ports);
  EXPECT_EQ(report, "");
}

// `corvane-cli watch` keeps the history of a desktop user; killed with
// SIGKILL mid-run, the store still opens intact and holds what was counted
// before its last flush.
TEST(HelperCaptureLoopback, WatchKilledMidRunLeavesAnIntactHistoryOfItsFlushedMinutes) {
  CORVANE_REQUIRE(geteuid() == 0, "installing a helper with file capabilities needs root");
  const group* adm = getgrnam("adm");
  const passwd* nobody = getpwnam("nobody");
  ASSERT_TRUE(adm && nobody);
  InstalledHelper tree(adm->gr_gid, "libexec/corvane/corvane-capture");
  ASSERT_TRUE(tree.ok()) << "setcap failed";
  const std::string data = AddCliWithDataFolder(tree, *nobody);
  ASSERT_FALSE(data.empty()) << "corvane-cli or its data folder could not be set up";
  NobodyProgram cli({tree.At("bin/corvane-cli"), "watch", "--interface", "lo", "--data-dir", data},
                    {adm->gr_gid}, {});
  std::optional<std::string> line;
  while ((line = cli.Line()) && line->rfind("attribution: ", 0) != 0) {
  }
  ASSERT_TRUE(line) << "the watch ended before it captured";

  const int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(9);  // discard: nobody listens, the datagrams are seen all the same
  const std::vector<char> payload(1000, 'h');
  auto send = [&] {
    for (int i = 0; i < 50; ++i) {
      sendto(sink, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
  };
  constexpr uint64_t kBatch = 50 * (20 + 8 + 1000);
  auto sentSoFar = [&](HistoryStatus& status) {
    HistoryStore store;
    std::vector<HistoryTotal> totals;
    // The store is nobody's, and only its owner may open it.
    if (seteuid(nobody->pw_uid) != 0) return uint64_t{0};
    status = store.Open(data + "/" + kHistoryFileName, HistoryStore::Mode::kReadOnly);
    if (status) status = store.Totals(HistoryGrouping::kDay, INT64_MIN, INT64_MAX, totals);
    if (seteuid(0) != 0) std::abort();
    uint64_t sent = 0;
    for (const HistoryTotal& total : totals) sent += total.sentBytes;
    return sent;
  };
  send();
  // The watch writes the history every few seconds; until then the store
  // may not even exist.
  HistoryStatus status;
  uint64_t flushed = 0;
  for (int wait = 0; wait < 400 && flushed < kBatch; ++wait) {
    flushed = sentSoFar(status);
    if (flushed < kBatch) usleep(100 * 1000);
  }
  ASSERT_GE(flushed, kBatch) << status.reason;
  send();
  kill(cli.pid, SIGKILL);
  cli.Wait();
  close(sink);

  ASSERT_EQ(seteuid(nobody->pw_uid), 0);
  HistoryStore store;
  const HistoryStatus opened = store.Open(data + "/" + kHistoryFileName);
  const HistoryStatus intact = opened ? store.CheckIntegrity() : opened;
  store.Close();
  ASSERT_EQ(seteuid(0), 0);
  ASSERT_TRUE(opened) << "the store does not open: " << opened.reason;
  EXPECT_TRUE(intact) << intact.reason;
  EXPECT_GE(sentSoFar(status), flushed) << status.reason;
}

#ifdef CORVANE_TEST_WINDOW
// The window as a desktop user with a plugin path of their own: it holds no
// capability while it captures, and SIGTERM ends it with its rows in a log.
TEST(HelperCaptureLoopback, WindowWithUserPluginPathHoldsNoCapabilityAndSigtermKeepsItsRows) {
  CORVANE_REQUIRE(geteuid() == 0, "installing a helper with file capabilities needs root");
  const group* adm = getgrnam("adm");
  const passwd* nobody = getpwnam("nobody");
  ASSERT_TRUE(adm && nobody);
  InstalledHelper tree(adm->gr_gid, "libexec/corvane/corvane-capture");
  ASSERT_TRUE(tree.ok()) << "setcap failed";
  ASSERT_TRUE(tree.Copy(CORVANE_TEST_WINDOW, "bin/corvane", 0755));
  // A folder the user controls, where Qt looks for plugins first.
  const std::string home = tree.At("home");
  std::filesystem::create_directories(home + "/plugins/styles");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home)) {
    ASSERT_EQ(chown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  ASSERT_EQ(chown(home.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  // Loopback is the watched interface (set.dat's seventh word).
  std::filesystem::create_directories(home + "/data");
  std::ofstream(home + "/data/set.dat") << "0 0 0 ? ? 255 lo\r\n";
  for (const char* path : {"/data", "/data/set.dat"}) {
    ASSERT_EQ(chown((home + path).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  NobodyProgram window({tree.At("bin/corvane"), "--data-dir", home + "/data"}, {adm->gr_gid},
                       {"HOME=" + home, "QT_QPA_PLATFORM=offscreen",
                        "QT_PLUGIN_PATH=" + home + "/plugins", "XDG_RUNTIME_DIR=" + home});
  ASSERT_GT(window.pid, 0);
  // Capturing: the window has started its helper.
  pid_t helper = -1;
  for (int i = 0; i < 200 && helper < 0; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      std::ifstream stat(entry.path() / "stat");
      std::string pid, name, state;
      pid_t parent = 0;
      if (stat >> pid >> name >> state >> parent && parent == window.pid &&
          name == "(corvane-capture)") {
        helper = std::stoi(pid);
      }
    }
    if (helper < 0) usleep(50 * 1000);
  }
  ASSERT_GT(helper, 0) << "the window started no capture helper";
  EXPECT_EQ(Capabilities(window.pid), kNoCapabilities) << "a plugin would run with these";
  // The helper holds its permitted set until its capture is open.
  for (int i = 0; i < 100 && Capabilities(helper) != kNoCapabilities; ++i) usleep(20 * 1000);
  EXPECT_EQ(Capabilities(helper), kNoCapabilities);

  Socket receiver(SOCK_DGRAM);
  Socket sender(SOCK_DGRAM);
  receiver.Bind("127.0.0.77");
  for (int i = 0; i < 20; ++i) sender.SendTo(std::string(500, 'r'), receiver.Name());
  // A datagram becomes a row once it is three seconds old.
  usleep(4500 * 1000);
  ASSERT_EQ(kill(window.pid, SIGTERM), 0);
  // It ends by itself, not by the signal (a sanitizer build may exit with
  // its own status, and slowly).
  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 600 && ended == 0; ++i) {
    ended = waitpid(window.pid, &status, WNOHANG);
    if (ended == 0) usleep(50 * 1000);
  }
  ASSERT_EQ(ended, window.pid) << "the window did not end after SIGTERM";
  window.pid = -1;
  EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
  int logsWithRow = 0;
  for (const auto& entry : std::filesystem::directory_iterator(home + "/data")) {
    if (entry.path().extension() != ".log") continue;
    std::ifstream log(entry.path());
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    logsWithRow += text.find("127.0.0.77") != std::string::npos;
  }
  EXPECT_EQ(logsWithRow, 1) << "SIGTERM lost the day's rows";
}
#endif


}  // namespace
}  // namespace corvane
