// Web traffic through a real HTTP proxy (tinyproxy) on loopback, captured
// live and split by the requested hosts. Needs capture privilege and
// tinyproxy: without them the test skips, except under CI=true. All traffic
// stays inside 127.0.0.0/8.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "vocabulary/text_format.h"
#include "platform/capture_source.h"
#include "platform/net.h"

namespace corvane {
namespace {

constexpr const char* kProxyIp = "127.0.0.20";
constexpr uint16_t kProxyPort = 8888;
constexpr const char* kClientIp = "127.0.0.22";
constexpr const char* kSentinelIp = "127.0.0.99";
constexpr const char* kSentinelText = "corvane-proxy-test-end";

bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

uint32_t Address(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

sockaddr_in SocketAddress(const char* ip, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = Address(ip);
  return sa;
}

std::string TinyproxyPath() {
  for (const char* path : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

// A one-request-per-connection web server on its own thread: every request
// is answered with `bodySize` bytes.
class WebServer {
 public:
  WebServer(const char* ip, size_t bodySize) : bodySize_(bodySize) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = SocketAddress(ip, 80);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(fd_, 16) == 0;
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }
  ~WebServer() {
    stop_.store(true);
    ::shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  void Serve() {
    while (!stop_.load()) {
      int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) {
        if (errno == EINTR) continue;
        return;
      }
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
      }
      std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                          std::to_string(bodySize_) + "\r\nConnection: close\r\n\r\n" +
                          std::string(bodySize_, 'b');
      for (size_t sent = 0; sent < reply.size();) {
        ssize_t n = ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::close(connection);
    }
  }

  size_t bodySize_;
  int fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// tinyproxy in the foreground with a configuration of the test's own.
class Tinyproxy {
 public:
  Tinyproxy(const std::string& binary, const std::string& directory) {
    std::string config = directory + "/tinyproxy.conf";
    std::ofstream(config) << "Port " << kProxyPort << "\nListen " << kProxyIp
                          << "\nTimeout 30\nMaxClients 20\nAllow 127.0.0.0/8\n"
                             "DisableViaHeader Yes\nLogLevel Error\nLogFile \""
                          << directory << "/tinyproxy.log\"\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(binary.c_str(), binary.c_str(), "-d", "-c", config.c_str(), nullptr);
      ::_exit(127);
    }
  }
  ~Tinyproxy() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Waits (at most a few seconds) until the proxy accepts connections.
  bool WaitUntilListening() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sa = SocketAddress(kProxyIp, kProxyPort);
      bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
      ::close(fd);
      if (up) return true;
      if (pid_ <= 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
};

// One HTTP/1.0 request through the proxy from the client address. Returns
// the bytes of the reply.
size_t FetchThroughProxy(const std::string& url) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local = SocketAddress(kClientIp, 0);
  sockaddr_in proxy = SocketAddress(kProxyIp, kProxyPort);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&proxy), sizeof proxy) != 0) {
    ::close(fd);
    return 0;
  }
  std::string request = "GET " + url + " HTTP/1.0\r\nUser-Agent: corvane-test\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  size_t total = 0;
  char buffer[8192];
  while (true) {
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  ::close(fd);
  return total;
}

void SendSentinel() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local = SocketAddress(kClientIp, 0);
  sockaddr_in to = SocketAddress(kSentinelIp, 9);
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  ::sendto(fd, kSentinelText, std::strlen(kSentinelText), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
  ::close(fd);
}

// What the rows must show, worked out from the raw datagrams with the
// attribution rules: a connection's datagrams count for the host of its
// latest request, those before its first request nowhere, and the first
// datagram of each host not at all.
struct Expected {
  struct Host {
    bool seen = false;
    uint32_t download = 0;
    uint32_t upload = 0;
  };
  std::map<uint16_t, std::string> hostOfPort;
  std::map<std::string, Host> hosts;

  void Add(std::span<const uint8_t> datagram, uint32_t client, uint32_t proxy) {
    auto info = ParsePacketInfo(datagram);
    if (!info || info->protocol != kProtocolTcp) return;
    uint16_t port;
    bool upload = info->sourceAddress == IpAddress::V4(client);
    if (upload && info->destinationAddress == IpAddress::V4(proxy) && info->destinationPort == kProxyPort) {
      port = info->sourcePort;
      std::string text;
      for (size_t i = 40; i < datagram.size() && datagram[i] != 0; ++i) {
        text += static_cast<char>(datagram[i]);
      }
      size_t get = text.find("GET http://");
      if (get != std::string::npos) {
        size_t start = get + 11;
        hostOfPort[port] = text.substr(start, text.find('/', start) - start);
      }
    } else if (!upload && info->sourceAddress == IpAddress::V4(proxy) && info->sourcePort == kProxyPort &&
               info->destinationAddress == IpAddress::V4(client)) {
      port = info->destinationPort;
    } else {
      return;
    }
    auto known = hostOfPort.find(port);
    if (known == hostOfPort.end()) return;
    Host& host = hosts[known->second];
    if (!host.seen) {
      host.seen = true;
      return;
    }
    (upload ? host.upload : host.download) += info->length;
  }
};

TEST(ProxyEndToEndTest, RequestsThroughTinyproxyBecomeRowsOfTheirHosts) {
  std::string why;
  if (std::string binary = TinyproxyPath(); binary.empty()) {
    why = "tinyproxy is not installed";
  } else if (int fd = ::socket(AF_PACKET, SOCK_RAW, 0); fd < 0) {
    why = std::string("no capture privilege (") + std::strerror(errno) + ")";
  } else {
    ::close(fd);
  }
  if (!why.empty()) {
    if (UnderCi()) FAIL() << why << "; CI must run this test";
    GTEST_SKIP() << why;
  }

  std::string directory = (std::filesystem::temp_directory_path() / "corvane-proxy-XXXXXX").string();
  ASSERT_NE(::mkdtemp(directory.data()), nullptr);
  struct Cleanup {
    std::string path;
    ~Cleanup() { std::filesystem::remove_all(path); }
  } cleanup{directory};

  WebServer web1("127.0.0.21", 20000);
  WebServer web2("127.0.0.23", 3000);
  ASSERT_TRUE(web1.ok() && web2.ok()) << "cannot listen on port 80 of 127.0.0.21 / 127.0.0.23";
  Tinyproxy proxy(TinyproxyPath(), directory);
  ASSERT_TRUE(proxy.WaitUntilListening()) << "tinyproxy did not start";

  const uint32_t client = Address(kClientIp);
  const uint32_t proxyAddress = Address(kProxyIp);
  Status read;
  std::unique_ptr<CaptureSource> capture = OpenLiveCapture(client, read);
  ASSERT_TRUE(capture) << read.reason;

  ManualClock clock(1'700'000'000);
  testing::TestEnv env(clock);
  Monitor monitor(env, directory);
  StateOf(monitor).settings.interfaceAddress = client;
  OptionsResult options;
  options.interfaceAddress = client;
  options.proxyEnabled = true;
  options.proxyHostText = kProxyIp;
  options.proxyPortText = std::to_string(kProxyPort);
  monitor.ApplyOptions(options);

  size_t web1Bytes = 0;
  size_t web2Bytes = 0;
  for (int i = 0; i < 3; ++i) {
    web1Bytes += FetchThroughProxy("http://127.0.0.21/page" + std::to_string(i));
    web2Bytes += FetchThroughProxy("http://127.0.0.23/other" + std::to_string(i));
  }
  ASSERT_GT(web1Bytes, 60000u);
  ASSERT_GT(web2Bytes, 9000u);
  SendSentinel();

  // Everything sent before the sentinel has been captured once the
  // sentinel is read.
  Expected expected;
  CapturedDatagram datagram;
  bool ended = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    ReadStatus status = capture->Next(datagram, read);
    ASSERT_NE(status, ReadStatus::Error) << read.reason;
    if (status != ReadStatus::Datagram) continue;
    auto info = ParsePacketInfo(datagram.bytes);
    if (!info) continue;
    if (info->destinationAddress == IpAddress::V4(Address(kSentinelIp))) {
      ended = true;
      continue;
    }
    expected.Add(datagram.bytes, client, proxyAddress);
    monitor.AccountDatagram(*info);
  }
  ASSERT_TRUE(ended) << "the end marker was not captured";

  clock.Advance(3);
  monitor.ShowReadyEvents();
  std::vector<RowCells> rows;
  {
    TrafficList::Lock lock(StateOf(monitor).list);
    rows = StateOf(monitor).list.Rows();
  }
  // Nothing with the proxy became an address flow.
  EXPECT_FALSE(StateOf(monitor).flows.LookupAddressTotal(IpAddress::V4(proxyAddress)));

  std::map<std::string, RowCells> byHost;
  for (const RowCells& row : rows) byHost[row[kColumnRemoteHost]] = row;
  ASSERT_EQ(byHost.size(), 2u) << "rows: " << rows.size();
  for (const char* host : {"127.0.0.21", "127.0.0.23"}) {
    SCOPED_TRACE(host);
    ASSERT_TRUE(byHost.count(host));
    const RowCells& row = byHost[host];
    const Expected::Host& counts = expected.hosts[host];
    EXPECT_EQ(row[kColumnRemoteIp], host);
    EXPECT_EQ(row[kColumnLocalSource], "TCP protocol");
    EXPECT_EQ(row[kColumnDownload], FormatByteCount(counts.download));
    EXPECT_EQ(row[kColumnUpload], FormatByteCount(counts.upload));
    EXPECT_EQ(row[kColumnTotal], FormatByteCount(counts.download + counts.upload));
  }
  // The replies came from the proxy as downloads. (A request whose datagram
  // has a zero byte among its TCP timestamp bytes is not learnt, so only
  // one whole reply per host is certain.)
  EXPECT_GE(expected.hosts["127.0.0.21"].download, 20000u);
  EXPECT_GE(expected.hosts["127.0.0.23"].download, 3000u);
  // And the tick counters hold exactly what the rows count.
  StateOf(monitor).counters.Tick();
  uint32_t down = 0;
  uint32_t up = 0;
  for (const auto& [host, counts] : expected.hosts) {
    down += counts.download;
    up += counts.upload;
  }
  EXPECT_EQ(StateOf(monitor).flows.Totals().downloadBytes, down);
  EXPECT_EQ(StateOf(monitor).flows.Totals().uploadBytes, up);
}

}  // namespace
}  // namespace corvane
