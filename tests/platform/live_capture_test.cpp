// Live capture on the loopback interface with real sockets. Capturing needs
// CAP_NET_RAW and CAP_NET_ADMIN: without them these tests skip, except under
// CI=true, where they must run. All traffic stays inside 127.0.0.0/8.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/capture_source.h"

namespace corvane {
namespace {

bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// A packet socket needs the same privilege as libpcap's live capture.
bool MayCapture(std::string& why) {
  const int fd = socket(AF_PACKET, SOCK_RAW, 0);
  if (fd < 0) {
    why = std::string("no capture privilege (packet socket: ") +
          std::strerror(errno) + ")";
    return false;
  }
  close(fd);
  return true;
}

#define REQUIRE_CAPTURE_PRIVILEGE()                                        \
  do {                                                                     \
    std::string why;                                                       \
    if (!MayCapture(why)) {                                                \
      if (UnderCi()) FAIL() << why << "; CI must run capture tests";      \
      GTEST_SKIP() << why << "; run as root or with CAP_NET_RAW";         \
    }                                                                      \
  } while (0)

uint32_t Address(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

class Socket {
 public:
  explicit Socket(int type) : fd_(socket(AF_INET, type, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Bind(const char* address, uint16_t port = 0) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = Address(address);
    return fd_ >= 0 &&
           bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  sockaddr_in Name() const {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &length);
    return sa;
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

class LiveCaptureTest : public ::testing::Test {};

TEST_F(LiveCaptureTest, AddressNoInterfaceHoldsIsRefused) {
  // TEST-NET-2: no interface here holds it; nothing is sent to it.
  Status why;
  EXPECT_EQ(OpenLiveCapture(Address("198.51.100.1"), why), nullptr);
  EXPECT_EQ(why.reason, "no interface holds address 198.51.100.1");
}

TEST_F(LiveCaptureTest, UdpDatagramOnLoopbackArrivesWhole) {
  REQUIRE_CAPTURE_PRIVILEGE();
  Status why;
  auto source = OpenLiveCapture(Address("127.0.0.2"), why);
  ASSERT_NE(source, nullptr) << why.reason;

  Socket receiver(SOCK_DGRAM);
  ASSERT_TRUE(receiver.Bind("127.0.0.2")) << std::strerror(errno);
  Socket sender(SOCK_DGRAM);
  ASSERT_TRUE(sender.Bind("127.0.0.3")) << std::strerror(errno);
  const sockaddr_in to = receiver.Name();
  const uint16_t fromPort = sender.Name().sin_port;
  const std::string payload(173, 'c');
  ASSERT_EQ(sendto(sender.fd(), payload.data(), payload.size(), 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(payload.size()))
      << std::strerror(errno);

  const size_t expectedLength = 20 + 8 + payload.size();
  bool seen = false;
  // Each call waits at most about 100 ms; other loopback traffic may come
  // first, so allow a number of calls rather than one.
  for (int call = 0; call < 100 && !seen; ++call) {
    CapturedDatagram d;
    const ReadStatus status = source->Next(d, why);
    ASSERT_TRUE(status == ReadStatus::Datagram || status == ReadStatus::Timeout)
        << static_cast<int>(status) << " " << why.reason;
    if (status != ReadStatus::Datagram || d.bytes.size() < 28) continue;
    const auto& b = d.bytes;
    uint32_t source_address = 0;
    uint32_t destination = 0;
    std::memcpy(&source_address, b.data() + 12, 4);
    std::memcpy(&destination, b.data() + 16, 4);
    uint16_t sourcePort = 0;
    std::memcpy(&sourcePort, b.data() + 20, 2);
    if (source_address != Address("127.0.0.3") ||
        destination != Address("127.0.0.2") || b[9] != 17 ||
        sourcePort != fromPort) {
      continue;
    }
    seen = true;
    EXPECT_EQ((b[0] >> 4), 4);
    EXPECT_EQ(static_cast<size_t>((b[2] << 8) | b[3]), expectedLength);
    EXPECT_EQ(b.size(), expectedLength);
    EXPECT_GT(d.seconds, 0);
    EXPECT_GE(d.microseconds, 0);
    EXPECT_LT(d.microseconds, 1000000);
  }
  EXPECT_TRUE(seen) << "the datagram from 127.0.0.3 never showed up";
}

TEST_F(LiveCaptureTest, InterruptEndsBlockedRead) {
  REQUIRE_CAPTURE_PRIVILEGE();
  Status why;
  auto source = OpenLiveCapture(Address("127.0.0.1"), why);
  ASSERT_NE(source, nullptr) << why.reason;

  ReadStatus last = ReadStatus::Timeout;
  Status readWhy;
  std::thread reader([&] {
    CapturedDatagram d;
    do {
      last = source->Next(d, readWhy);
    } while (last == ReadStatus::Timeout || last == ReadStatus::Datagram);
  });
  source->Interrupt();
  reader.join();
  EXPECT_EQ(last, ReadStatus::Interrupted) << readWhy.reason;

  CapturedDatagram d;
  EXPECT_EQ(source->Next(d, why), ReadStatus::Interrupted);
}

}  // namespace
}  // namespace corvane
