// Helpers for tests on the real system: sockets of the test program's own,
// its expected label, and the privilege checks. Traffic stays inside
// 127.0.0.0/8.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace corvane::testing {

inline bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// Outside CI a test without the privilege it needs skips; under CI=true it
// fails, because CI runs as root and must run it.
#define CORVANE_REQUIRE(condition, why)                                         \
  do {                                                                          \
    if (!(condition)) {                                                         \
      if (::corvane::testing::UnderCi()) FAIL() << (why) << "; CI must run this test"; \
      GTEST_SKIP() << (why);                                                    \
    }                                                                           \
  } while (0)

inline bool MayCapture() {
  const int fd = ::socket(AF_PACKET, SOCK_RAW, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

inline uint32_t Address(const char* dotted) {
  in_addr a{};
  ::inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

// The label this test program's sockets should get.
inline std::string OwnLabel(pid_t pid = ::getpid()) {
  return std::filesystem::read_symlink("/proc/self/exe").filename().string() + ":" +
         std::to_string(pid);
}

class Socket {
 public:
  Socket(int type, int protocol = 0) : fd_(::socket(AF_INET, type, protocol)) {}
  explicit Socket(int fd, bool) : fd_(fd) {}
  ~Socket() { Close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Bind(const char* address, uint16_t port = 0) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = Address(address);
    return fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  sockaddr_in Name() const {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &length);
    return sa;
  }
  uint16_t Port() const { return ntohs(Name().sin_port); }
  bool SendTo(const std::string& payload, const sockaddr_in& to) const {
    return ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(payload.size());
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace corvane::testing
