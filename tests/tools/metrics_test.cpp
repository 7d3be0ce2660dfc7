// The metrics of corvane-cli watch: their texts as promtool reads them, the
// /metrics server facing bad clients, and a real Prometheus that scrapes it.
// Every socket is on 127.0.0.1.
#include "tools/metrics.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "attribution/system_sockets.h"
#include "storage/temp_dir.h"
#include "tools/metrics_server.h"

namespace corvane {
namespace {

constexpr const char* kPromtool = "/usr/bin/promtool";
constexpr const char* kPrometheus = "/usr/bin/prometheus";
// Everything a label value must survive: quotes and braces that would end
// it, an escape, a line feed, other control bytes and a byte that is not
// UTF-8.
const std::string kHostileApp =
    std::string("evil\"} 1\ncorvane_x{a=\"\\\\\t\r") + '\0' + "\xff.exe";

std::string CommandOutput(const std::string& command, int& status) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    status = -1;
    return output;
  }
  char chunk[4096];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
  status = ::pclose(pipe);
  return output;
}

// What `promtool check metrics` finds wrong with `path`; empty when it passes.
std::string PromtoolProblems(const std::string& path) {
  int status = 0;
  const std::string output =
      CommandOutput(std::string(kPromtool) + " check metrics < " + path, status);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return "promtool failed (" + std::to_string(status) + "): " + output;
}

MetricsSnapshot TestSnapshot() {
  MetricsSnapshot snapshot;
  snapshot.applications = {
      {"curl", "curl", 4, 123456789, 1000},
      {"curl", "curl", 6, 5, 7},
      {kHostileApp, "evil", 6, 11, 13},
  };
  snapshot.datagrams = 4242;
  snapshot.kernelDrops = 3;
  snapshot.capturing = true;
  snapshot.interfaceName = "lo";
  return snapshot;
}

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A client socket connected to 127.0.0.1:port, reads bounded by 10 s.
int Connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

struct HttpReply {
  int status = 0;  // 0: no answer
  std::string head;
  std::string body;
};

// Everything the server sends until it closes.
HttpReply ReadReply(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) text.append(chunk, got);
  ::close(fd);
  HttpReply reply;
  const size_t end = text.find("\r\n\r\n");
  if (text.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return reply;
  reply.status = std::atoi(text.c_str() + 9);
  reply.head = text.substr(0, end);
  reply.body = text.substr(end + 4);
  return reply;
}

HttpReply Exchange(uint16_t port, const std::string& request) {
  const int fd = Connect(port);
  if (fd < 0) return {};
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return ReadReply(fd);
}

class MetricsTest : public ::testing::Test {
 protected:
  void RequirePromtool() {
    CORVANE_REQUIRE(std::filesystem::exists(kPromtool),
                    "promtool is missing (Debian package prometheus)");
  }
  TempDir dir_;
};

TEST_F(MetricsTest, HostileAppNameStaysInsideItsLabelAndBothFamiliesAreCounted) {
  const MetricsSnapshot snapshot = TestSnapshot();
  const std::string text = RenderPrometheusText(snapshot);
  const std::string escaped = "evil\\\"} 1\\ncorvane_x{a=\\\"\\\\\\\\\t\r" + std::string(1, '\0') +
                              "\xEF\xBF\xBD.exe";
  EXPECT_EQ(EscapeLabelValue(kHostileApp), escaped);
  EXPECT_NE(text.find("corvane_bytes_total{app=\"curl\",direction=\"sent\","
                      "family=\"ipv4\"} 123456789\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("corvane_bytes_total{app=\"curl\",direction=\"received\",family="
                      "\"ipv6\"} 7\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("corvane_bytes_total{app=\"" + escaped +
                      "\",direction=\"received\",family=\"ipv6\"} 13\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("corvane_capturing{interface=\"lo\"} 1\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("corvane_x"), text.find("corvane_x{a="));  // only inside the label

  const std::string openMetrics = RenderOpenMetrics(snapshot);
  EXPECT_NE(openMetrics.find("# TYPE corvane_bytes counter\n"), std::string::npos);
  EXPECT_TRUE(openMetrics.ends_with("\n# EOF\n")) << openMetrics;

  // The file a collector reads is what promtool accepts.
  RequirePromtool();
  const std::string file = dir_.File("corvane.prom");
  ASSERT_TRUE(WriteMetricsFile(file, snapshot));
  EXPECT_EQ(dir_.Read("corvane.prom"), text);
  EXPECT_EQ(PromtoolProblems(file), "");
  EXPECT_FALSE(WriteMetricsFile(dir_.File("no-such-folder/corvane.prom"), snapshot));
}

TEST_F(MetricsTest, NamesThatDifferOnlyInBrokenBytesMakeOneSeriesNotADuplicate) {
  MetricsSnapshot snapshot;
  snapshot.applications = {{"app\xfe", "a", 4, 1, 2}, {"app\xff", "b", 4, 10, 20}};
  const std::string text = RenderPrometheusText(snapshot);
  EXPECT_NE(text.find("{app=\"app\xEF\xBF\xBD\",direction=\"sent\",family=\"ipv4\"} 11\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("direction=\"sent\""), text.rfind("direction=\"sent\"")) << text;
}

TEST_F(MetricsTest, BarePortListensOn127001AndWhatIsNoAddressIsRejected) {
  auto port = ParseMetricsEndpoint("9464");
  ASSERT_TRUE(port);
  EXPECT_EQ(FormatMetricsEndpoint(*port), "127.0.0.1:9464");
  auto v6 = ParseMetricsEndpoint("[::1]:9464");
  ASSERT_TRUE(v6);
  EXPECT_EQ(FormatMetricsEndpoint(*v6), "[::1]:9464");
  for (const char* wrong : {"", "::1:9464", "[127.0.0.1]:1", "host:80", "1.2.3.4:65536",
                            "1.2.3.4:", "[::1]9464", "-1"}) {
    EXPECT_FALSE(ParseMetricsEndpoint(wrong)) << wrong;
  }
}

TEST_F(MetricsTest, ScrapePassesPromtoolAndBadRequestsGetAnErrorStatus) {
  MetricsServer server(std::chrono::milliseconds(300));
  const Status started = server.Start(*ParseMetricsEndpoint("0"));
  ASSERT_TRUE(started) << started.reason;
  const uint16_t port = server.port();
  EXPECT_EQ(Exchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n").status, 503);
  server.Publish(TestSnapshot());

  // A client that says nothing holds the server only until its timeout.
  const int silent = Connect(port);
  ASSERT_GE(silent, 0);
  const HttpReply plain = Exchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(ReadReply(silent).status, 408);
  ASSERT_EQ(plain.status, 200) << plain.head;
  EXPECT_NE(plain.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  EXPECT_EQ(plain.body, RenderPrometheusText(TestSnapshot()));

  const HttpReply open = Exchange(
      port, "GET /metrics?x=1 HTTP/1.1\r\nhost: x\r\nACCEPT: application/openmetrics-text;"
            "version=1.0.0,text/plain;q=0.5\r\n\r\n");
  ASSERT_EQ(open.status, 200);
  EXPECT_NE(open.head.find("Content-Type: application/openmetrics-text; version=1.0.0"),
            std::string::npos);
  EXPECT_TRUE(open.body.ends_with("# EOF\n"));
  EXPECT_EQ(Exchange(port, "HEAD /metrics HTTP/1.0\r\n\r\n").body, "");

  EXPECT_EQ(Exchange(port, "GET /other HTTP/1.1\r\n\r\n").status, 404);
  EXPECT_EQ(Exchange(port, "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n").status, 405);
  EXPECT_EQ(Exchange(port, std::string("\x16\x03\x01\0\xff garbage", 14) + "\r\n\r\n").status, 400);
  EXPECT_EQ(Exchange(port, "GET /metrics HTTP/1.1\r\nX: " + std::string(64 * 1024, 'a')).status,
            431);
  // Still serving after all of that.
  EXPECT_EQ(Exchange(port, "GET /metrics HTTP/1.1\r\n\r\n").status, 200);

  RequirePromtool();
  dir_.Write("scrape.prom", plain.body);
  EXPECT_EQ(PromtoolProblems(dir_.File("scrape.prom")), "");
}

TEST_F(MetricsTest, PortInUseIsAnErrorAndStopEndsAWaitingConnection) {
  // A timeout far beyond the test's: Stop() must not wait for the client.
  MetricsServer first(std::chrono::hours(1));
  const Status started = first.Start(*ParseMetricsEndpoint("0"));
  ASSERT_TRUE(started) << started.reason;
  MetricsServer second;
  const Status taken = second.Start(*ParseMetricsEndpoint(std::to_string(first.port())));
  EXPECT_FALSE(taken);
  EXPECT_NE(taken.reason.find("in use"), std::string::npos) << taken.reason;

  // The command line says so too, and exits non-zero before capturing.
  int status = 0;
  const std::string output =
      CommandOutput(std::string(CORVANE_CLI) + " watch --seconds 0 --no-history --data-dir " +
                        dir_.path() + " --metrics-listen " + std::to_string(first.port()),
                    status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
  EXPECT_NE(output.find("in use"), std::string::npos) << output;

  const int waiting = Connect(first.port());
  ASSERT_GE(waiting, 0);
  first.Stop();
  EXPECT_EQ(ReadReply(waiting).status, 0);
}

TEST_F(MetricsTest, IdleClientsCannotHoldBackAScrape) {
  MetricsServer server;
  const Status started = server.Start(*ParseMetricsEndpoint("0"));
  ASSERT_TRUE(started) << started.reason;
  server.Publish(TestSnapshot());
  std::vector<int> idle;
  for (int i = 0; i < 50; ++i) {
    idle.push_back(Connect(server.port()));
    ASSERT_GE(idle.back(), 0);
  }
  // Answered while all of them still wait for their deadline (the client's
  // own limit is 10 s; each idle one would hold a serial server for 2 s).
  EXPECT_EQ(Exchange(server.port(), "GET /metrics HTTP/1.1\r\n\r\n").status, 200);
  for (int fd : idle) ::close(fd);
}

TEST_F(MetricsTest, BearerTokenIsEnforcedAndItsFileMustBeTheUsersAlone) {
  namespace fs = std::filesystem;
  const std::string file = dir_.File("token");
  dir_.Write("token", "s3cret-token\n");
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  std::string token;
  Status read = ReadMetricsToken(file, token);
  EXPECT_FALSE(read);
  EXPECT_NE(read.reason.find("chmod 600"), std::string::npos) << read.reason;
  // corvane-cli says so and ends before it captures.
  int status = 0;
  std::string output = CommandOutput(std::string(CORVANE_CLI) +
                                         " watch --seconds 0 --no-history --data-dir " +
                                         dir_.path() + " --metrics-listen 0 --metrics-token-file " +
                                         file,
                                     status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
  EXPECT_NE(output.find("chmod 600"), std::string::npos) << output;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    fs::permissions(file, fs::perms::owner_read);
    EXPECT_FALSE(ReadMetricsToken(file, token));
    ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
  }
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  read = ReadMetricsToken(file, token);
  ASSERT_TRUE(read) << read.reason;
  EXPECT_EQ(token, "s3cret-token");

  MetricsServer server;
  server.RequireBearerToken(token);
  const Status started = server.Start(*ParseMetricsEndpoint("0"));
  ASSERT_TRUE(started) << started.reason;
  server.Publish(TestSnapshot());
  const std::string get = "GET /metrics HTTP/1.1\r\n";
  const HttpReply none = Exchange(server.port(), get + "\r\n");
  EXPECT_EQ(none.status, 401);
  EXPECT_NE(none.head.find("WWW-Authenticate: Bearer"), std::string::npos) << none.head;
  EXPECT_EQ(none.body.find("corvane_"), std::string::npos);
  for (const char* wrong : {"Bearer s3cret-toke", "Bearer s3cret-tokenX", "Basic s3cret-token",
                            "s3cret-token"}) {
    EXPECT_EQ(Exchange(server.port(), get + "Authorization: " + wrong + "\r\n\r\n").status, 401)
        << wrong;
  }
  EXPECT_EQ(Exchange(server.port(), get + "authorization: bearer s3cret-token\r\n"
                                          "Authorization: Bearer other\r\n\r\n")
                .status,
            401);
  const HttpReply right =
      Exchange(server.port(), get + "Authorization: Bearer s3cret-token\r\n\r\n");
  EXPECT_EQ(right.status, 200);
  EXPECT_EQ(right.body, RenderPrometheusText(TestSnapshot()));
}

// A Prometheus of the test's own, killed on every way out of the test; all
// it writes stays in `dir`. It scrapes with the bearer token in `dir`/token.
class PrometheusProcess {
 public:
  PrometheusProcess(const TempDir& dir, uint16_t targetPort) : port_(FreePort()) {
    dir.Write("prometheus.yml",
              "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
              "scrape_configs:\n  - job_name: corvane\n"
              "    authorization:\n      credentials_file: token\n    static_configs:\n"
              "      - targets: ['127.0.0.1:" + std::to_string(targetPort) + "']\n");
    const std::string config = "--config.file=" + dir.File("prometheus.yml");
    const std::string storage = "--storage.tsdb.path=" + dir.File("data");
    const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port_);
    const std::string log = dir.File("prometheus.log");
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (::chdir(dir.path().c_str()) != 0 || out < 0) ::_exit(127);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execl(kPrometheus, kPrometheus, config.c_str(), storage.c_str(), listen.c_str(),
              "--log.level=warn", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~PrometheusProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  PrometheusProcess(const PrometheusProcess&) = delete;
  PrometheusProcess& operator=(const PrometheusProcess&) = delete;

  bool Running() { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  // The value of the first series of an instant query, or "" while there is
  // none.
  std::string Query(const std::string& promql) {
    std::string encoded;
    for (unsigned char c : promql) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      encoded += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : hex;
    }
    const HttpReply reply =
        Exchange(port_, "GET /api/v1/query?query=" + encoded + " HTTP/1.0\r\n\r\n");
    const size_t value = reply.body.find("\"value\":[");
    if (value == std::string::npos) return "";
    const size_t start = reply.body.find(",\"", value);
    const size_t end = reply.body.find('"', start + 2);
    if (start == std::string::npos || end == std::string::npos) return "";
    return reply.body.substr(start + 2, end - start - 2);
  }

 private:
  uint16_t port_;
  pid_t pid_ = -1;
};

TEST_F(MetricsTest, RealPrometheusScrapesExactlyTheBytesServedWithItsToken) {
  CORVANE_REQUIRE(std::filesystem::exists(kPrometheus),
                  "prometheus is missing (Debian package prometheus)");
  MetricsServer server;
  dir_.Write("token", "prometheus-token\n");
  std::filesystem::permissions(dir_.File("token"), std::filesystem::perms::owner_read);
  server.RequireBearerToken("prometheus-token");
  const Status started = server.Start(*ParseMetricsEndpoint("0"));
  ASSERT_TRUE(started) << started.reason;
  server.Publish(TestSnapshot());
  PrometheusProcess prometheus(dir_, server.port());

  // Prometheus takes a few seconds to start and scrape; a scrape it cannot
  // parse stores nothing at all, so the hostile name counts in the sum.
  std::string sent, sum;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (std::chrono::steady_clock::now() < deadline && prometheus.Running()) {
    sent = prometheus.Query(
        "corvane_bytes_total{app=\"curl\",direction=\"sent\",family=\"ipv4\"}");
    sum = prometheus.Query("sum(corvane_bytes_total)");
    if (!sent.empty() && !sum.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_EQ(sent, "123456789") << dir_.Read("prometheus.log");
  EXPECT_EQ(sum, std::to_string(123456789 + 1000 + 5 + 7 + 11 + 13));
  EXPECT_EQ(prometheus.Query("corvane_datagrams_total"), "4242");
}

}  // namespace
}  // namespace corvane
