// The port scanner on the real /proc, with sockets the test opens itself.
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>

#include <optional>
#include <string>

#include "attribution/port_scanner.h"
#include "engine/monitor.h"
#include "platform/clock.h"
#include "tests/attribution/system_sockets.h"

namespace corvane {
namespace {

using corvane::testing::OwnLabel;
using corvane::testing::Socket;

class RealPortsTest : public ::testing::Test {
 protected:
  std::optional<std::string> Label(uint16_t port) { return monitor_.portMap().Lookup(6, 0, port); }

  ManualClock clock_;
  Monitor monitor_{clock_, "."};
  PortScanner scanner_{monitor_.portMap()};
};

TEST_F(RealPortsTest, OwnListenerConnectionAndUdpSocketGetThisProgramsLabel) {
  Socket listener(SOCK_STREAM);
  ASSERT_TRUE(listener.Bind("127.0.0.1")) << std::strerror(errno);
  ASSERT_EQ(::listen(listener.fd(), 4), 0);
  Socket client(SOCK_STREAM);
  const sockaddr_in to = listener.Name();
  ASSERT_EQ(::connect(client.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0)
      << std::strerror(errno);
  Socket accepted(::accept(listener.fd(), nullptr, nullptr), true);
  ASSERT_GE(accepted.fd(), 0);
  Socket udp(SOCK_DGRAM);
  ASSERT_TRUE(udp.Bind("127.0.0.1")) << std::strerror(errno);

  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(listener.Port()), OwnLabel());
  EXPECT_EQ(Label(client.Port()), OwnLabel());
  EXPECT_EQ(Label(udp.Port()), OwnLabel());
}

TEST_F(RealPortsTest, ClosedSocketsKeepTheirLabels) {
  Socket listener(SOCK_STREAM);
  ASSERT_TRUE(listener.Bind("127.0.0.1")) << std::strerror(errno);
  ASSERT_EQ(::listen(listener.fd(), 4), 0);
  Socket udp(SOCK_DGRAM);
  ASSERT_TRUE(udp.Bind("127.0.0.1")) << std::strerror(errno);
  const uint16_t tcpPort = listener.Port();
  const uint16_t udpPort = udp.Port();
  ASSERT_TRUE(scanner_.RunPass());
  listener.Close();
  udp.Close();
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(tcpPort), OwnLabel());
  EXPECT_EQ(Label(udpPort), OwnLabel());
}

// A child process that holds a UDP socket on a given port until released.
class UdpChild {
 public:
  explicit UdpChild(uint16_t port) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(hold_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(hold_[1]);
      Socket udp(SOCK_DGRAM);
      const char ok = udp.Bind("127.0.0.1", port) ? 1 : 0;
      (void)!::write(ready[1], &ok, 1);
      char byte;
      while (::read(hold_[0], &byte, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold_[0]);
    char ok = 0;
    bound_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 1;
    ::close(ready[0]);
  }
  ~UdpChild() {
    ::close(hold_[1]);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  bool bound() const { return bound_; }
  pid_t pid() const { return pid_; }

 private:
  int hold_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool bound_ = false;
};

TEST_F(RealPortsTest, PortUsedByTcpHereAndUdpInAnotherProcessEndsWithTheUdpOwner) {
  Socket listener(SOCK_STREAM);
  ASSERT_TRUE(listener.Bind("127.0.0.1")) << std::strerror(errno);
  ASSERT_EQ(::listen(listener.fd(), 4), 0);
  UdpChild child(listener.Port());
  ASSERT_TRUE(child.bound()) << "UDP port " << listener.Port() << " is taken";

  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(listener.Port()), OwnLabel(child.pid()));
}

TEST_F(RealPortsTest, OtherUsersSocketLeavesTheEntryAsItWas) {
  CORVANE_REQUIRE(::geteuid() == 0, "needs root to run a scan as another user");
  Socket listener(SOCK_STREAM);
  ASSERT_TRUE(listener.Bind("127.0.0.1")) << std::strerror(errno);
  ASSERT_EQ(::listen(listener.fd(), 4), 0);
  const uint16_t rootPort = listener.Port();

  // The scan runs in a child that has dropped to "nobody": root's fd links
  // are closed to it, its own are not.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    listener.Close();  // inherited: only the parent may hold it
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(10);
    ManualClock clock;
    Monitor monitor(clock, ".");
    PortScanner scanner(monitor.portMap());
    monitor.SetAttributionActive(true);
    monitor.portMap().Store(6, 0, rootPort, "before:1");
    Socket udp(SOCK_DGRAM);
    if (!udp.Bind("127.0.0.1")) _exit(11);
    if (!scanner.RunPass()) _exit(12);
    if (monitor.portMap().Lookup(6, 0, rootPort) != "before:1") _exit(13);
    if (monitor.portMap().Lookup(17, 0, udp.Port()) != OwnLabel()) _exit(14);
    if (scanner.LastPassStats().leftAsIs == 0) _exit(15);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  // 13: root's port was relabelled; 14: own port not labelled.
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace corvane
