// The capture helper's request as a hostile client sends it: half of it,
// left hanging, or a valid one with more bytes behind it. Each ends the
// helper with an error record and a non-zero status, and while it waits it
// holds no effective capability. The built helper is run directly with its
// socketpair end on descriptor 3; none of this needs a privilege.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "capture/capture_request.h"
#include "platform/helper_records.h"

namespace corvane {
namespace {

class HelperRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], capture::kHelperSocketFd);
      char* argv[] = {const_cast<char*>(CORVANE_TEST_HELPER), nullptr};
      char* env[] = {nullptr};
      execve(argv[0], argv, env);
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
    ASSERT_GT(pid_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void Send(std::span<const uint8_t> bytes) {
    ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // Reads the helper's stream to its end and waits for it: the text of its
  // error record (empty if it sent none) and its exit status.
  std::pair<std::string, int> Outcome() {
    std::vector<uint8_t> stream;
    uint8_t chunk[4096];
    for (ssize_t got; (got = read(fd_, chunk, sizeof chunk)) > 0;) {
      stream.insert(stream.end(), chunk, chunk + got);
    }
    std::string error;
    HelperRecord record;
    size_t consumed = 0;
    for (std::span<const uint8_t> rest(stream);
         ParseHelperRecord(rest, record, consumed) == RecordParse::kComplete;
         rest = rest.subspan(consumed)) {
      if (record.type == capture::RecordType::kError) error = record.text;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return {error, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  }

  pid_t pid_ = -1;
  int fd_ = -1;
};

// "EFF" from /proc/PID/status, once the helper sits in its wait for the
// request (its current system call is poll).
std::string EffectiveWhileWaiting(pid_t pid) {
  const std::string waiting[] = {std::to_string(SYS_poll) + " ", std::to_string(SYS_ppoll) + " "};
  for (int i = 0; i < 1000; ++i) {
    std::ifstream call("/proc/" + std::to_string(pid) + "/syscall");
    std::string line;
    std::getline(call, line);
    if (line.starts_with(waiting[0]) || line.starts_with(waiting[1])) {
      std::ifstream status("/proc/" + std::to_string(pid) + "/status");
      while (std::getline(status, line)) {
        if (line.starts_with("CapEff:")) return line.substr(line.find_first_not_of(" \t", 7));
      }
    }
    usleep(2000);
  }
  return "(never waited)";
}

TEST_F(HelperRequest, HalfSentRequestEndsWithAnErrorAndNoCapabilityHeldMeanwhile) {
  const auto request = capture::BuildCaptureRequest("lo");
  Send(std::span(request).first(10));
  EXPECT_EQ(EffectiveWhileWaiting(pid_), "0000000000000000");
  const auto [error, status] = Outcome();
  EXPECT_NE(error.find("incomplete capture request"), std::string::npos) << error;
  EXPECT_NE(status, 0);
}

TEST_F(HelperRequest, TrailingBytesAfterAValidRequestAreRefused) {
  const auto request = capture::BuildCaptureRequest("lo");
  std::vector<uint8_t> bytes(request.begin(), request.end());
  bytes.push_back('x');
  Send(bytes);
  const auto [error, status] = Outcome();
  EXPECT_NE(error.find("malformed capture request"), std::string::npos) << error;
  EXPECT_NE(status, 0);
}

}  // namespace
}  // namespace corvane
