// corvane-cli watch on the loopback interface counts real UDP traffic into
// its metrics file and serves it at /metrics. Captures on lo, so it runs
// under the capture lock.
#include <fcntl.h>
#include <netinet/in.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "attribution/system_sockets.h"
#include "storage/temp_dir.h"

namespace corvane {
namespace {

using testing::Socket;

// The sum of the corvane_bytes_total samples of a metrics text.
uint64_t BytesTotal(const std::string& text) {
  uint64_t total = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("corvane_bytes_total{", 0) != 0) continue;
    total += std::strtoull(line.c_str() + line.rfind(' ') + 1, nullptr, 10);
  }
  return total;
}

// The body of GET /metrics from 127.0.0.1:port ("" without an answer).
std::string Scrape(uint16_t port) {
  Socket client(SOCK_STREAM);
  timeval timeout{10, 0};
  ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = testing::Address("127.0.0.1");
  if (::connect(client.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return "";
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ::send(client.fd(), request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char chunk[4096];
  for (ssize_t got; (got = ::recv(client.fd(), chunk, sizeof chunk, 0)) > 0;) {
    reply.append(chunk, static_cast<size_t>(got));
  }
  const size_t body = reply.find("\r\n\r\n");
  return reply.rfind("HTTP/1.1 200 ", 0) == 0 && body != std::string::npos ? reply.substr(body + 4)
                                                                          : "";
}

// The port of "metrics: http://127.0.0.1:PORT/metrics" in the watch's log.
uint16_t ListenPort(const std::string& log) {
  const std::string prefix = "metrics: http://127.0.0.1:";
  const size_t at = log.find(prefix);
  if (at == std::string::npos) return 0;
  return static_cast<uint16_t>(std::atoi(log.c_str() + at + prefix.size()));
}

// The watch as a child process, ended on every way out of the test.
class WatchProcess {
 public:
  WatchProcess(const std::string& cli, const std::vector<std::string>& arguments,
               const std::string& log) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int null = ::open("/dev/null", O_WRONLY);
      if (out < 0 || null < 0) ::_exit(127);
      ::dup2(null, 1);
      ::dup2(out, 2);
      std::vector<char*> argv{const_cast<char*>(cli.c_str())};
      for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
      }
      argv.push_back(nullptr);
      ::execv(cli.c_str(), argv.data());
      ::_exit(127);
    }
  }
  ~WatchProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  WatchProcess(const WatchProcess&) = delete;
  WatchProcess& operator=(const WatchProcess&) = delete;

  bool Running() { return pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == 0; }
  // Asks it to end and waits; its exit status.
  int Terminate() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

TEST(MetricsLoopback, WatchPutsTheLoopbackBytesItCapturedIntoItsFileAndItsEndpoint) {
  CORVANE_REQUIRE(::geteuid() == 0, "running the built capture helper needs root");
  TempDir dir;
  // corvane-cli with the helper beside it, as installed.
  std::filesystem::create_directories(dir.File("bin"));
  std::filesystem::create_directories(dir.File("libexec/corvane"));
  std::filesystem::copy_file(CORVANE_TEST_CLI, dir.File("bin/corvane-cli"));
  std::filesystem::copy_file(CORVANE_TEST_HELPER, dir.File("libexec/corvane/corvane-capture"));
  const std::string metrics = dir.File("metrics.prom");
  WatchProcess watch(dir.File("bin/corvane-cli"),
                     {"watch", "--interface", "lo", "--no-history", "--data-dir", dir.File("data"),
                      "--metrics-file", metrics, "--metrics-interval", "1", "--metrics-listen",
                      "127.0.0.1:0"},
                     dir.File("watch.log"));

  Socket receiver(SOCK_DGRAM);
  ASSERT_TRUE(receiver.Bind("127.0.0.1"));
  const sockaddr_in to = receiver.Name();
  Socket sender(SOCK_DGRAM);
  // Sends until the watch has counted something (the file is rewritten
  // every second), bounded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::string text;
  while (std::chrono::steady_clock::now() < deadline && watch.Running()) {
    text = dir.Read("metrics.prom");
    if (BytesTotal(text) > 0) break;
    sender.SendTo(std::string(200, 'x'), to);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(text.find("corvane_capturing{interface=\"lo\"} 1"), std::string::npos)
      << text << dir.Read("watch.log");
  EXPECT_GT(BytesTotal(text), 0u) << text << dir.Read("watch.log");
  // The server has the counts of the last second, at least those of the file.
  const uint16_t port = ListenPort(dir.Read("watch.log"));
  ASSERT_NE(port, 0) << dir.Read("watch.log");
  EXPECT_GE(BytesTotal(Scrape(port)), BytesTotal(text));

  // The last write at the end keeps the count.
  EXPECT_EQ(watch.Terminate(), 0) << dir.Read("watch.log");
  EXPECT_GE(BytesTotal(dir.Read("metrics.prom")), BytesTotal(text));
}

}  // namespace
}  // namespace corvane
