// A program of its own name for the live tests of corvane-cli top and
// record: copied to a name of the test's choosing, it sends a UDP datagram
// of SIZE bytes to 127.0.0.1:PORT every 20 ms, COUNT times (0: until its
// standard input closes), prints its socket's port when it starts and keeps
// the socket until its standard input closes, so that its owner can still
// be read after the last datagram.
//
// usage: udp_sender PORT SIZE COUNT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in own = to;
  own.sin_port = 0;
  socklen_t length = sizeof own;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length) != 0) {
    return 1;
  }
  std::printf("%u\n", ntohs(own.sin_port));
  std::fflush(stdout);
  const std::string payload(static_cast<size_t>(std::atoi(argv[2])), 'x');
  const long count = std::atol(argv[3]);
  pollfd input{STDIN_FILENO, POLLIN, 0};
  char byte;
  for (long sent = 0;;) {
    if (count == 0 || sent < count) {
      ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      ++sent;
    }
    if (::poll(&input, 1, 20) > 0 && ::read(STDIN_FILENO, &byte, 1) <= 0) break;
  }
  ::close(fd);
  return 0;
}
