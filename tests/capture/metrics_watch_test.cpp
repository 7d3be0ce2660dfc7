// corvane-cli watch on the loopback interface counts real UDP traffic into
// its metrics file. Captures on lo, so it runs under the capture lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

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
      for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
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

TEST(MetricsLoopback, WatchWritesTheLoopbackBytesItCapturedToTheMetricsFile) {
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
                      "--metrics-file", metrics, "--metrics-interval", "1"},
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

  // The last write at the end keeps the count.
  EXPECT_EQ(watch.Terminate(), 0) << dir.Read("watch.log");
  EXPECT_GE(BytesTotal(dir.Read("metrics.prom")), BytesTotal(text));
}

}  // namespace
}  // namespace corvane
