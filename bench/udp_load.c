/* Loopback UDP load at a fixed rate, for bench/live.
 *
 *   udp_load --rate N --seconds S [--size BYTES] [--from 127.0.0.3]
 *            [--to 127.0.0.2] [--port 40999]
 *
 * Sends N datagrams a second of BYTES payload bytes (IP length BYTES + 28)
 * from --from to --to for S seconds, in sendmmsg batches paced on the
 * monotonic clock, and prints "sent COUNT SIZE SECONDS" on stdout. A socket
 * bound to the destination takes the datagrams (it is never read, so the
 * kernel drops what does not fit its buffer, silently and after any packet
 * capture has seen them); no ICMP "port unreachable" answers are caused.
 * Traffic stays inside 127.0.0.0/8. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kBatch = 64, kMaxSize = 1400 };

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int Usage(void) {
  fputs("usage: udp_load --rate N --seconds S [--size BYTES] [--from A] [--to A] [--port P]\n",
        stderr);
  return 2;
}

int main(int argc, char** argv) {
  double rate = 0, seconds = 0;
  int size = 64, port = 40999;
  const char* from = "127.0.0.3";
  const char* to = "127.0.0.2";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--rate") == 0) rate = atof(argv[i + 1]);
    else if (strcmp(argv[i], "--seconds") == 0) seconds = atof(argv[i + 1]);
    else if (strcmp(argv[i], "--size") == 0) size = atoi(argv[i + 1]);
    else if (strcmp(argv[i], "--from") == 0) from = argv[i + 1];
    else if (strcmp(argv[i], "--to") == 0) to = argv[i + 1];
    else if (strcmp(argv[i], "--port") == 0) port = atoi(argv[i + 1]);
    else return Usage();
  }
  if (rate <= 0 || seconds <= 0 || size < 0 || size > kMaxSize || port <= 0 || port > 65535)
    return Usage();

  struct sockaddr_in source = {.sin_family = AF_INET};
  struct sockaddr_in destination = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  if (inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
      inet_pton(AF_INET, to, &destination.sin_addr) != 1 ||
      (ntohl(source.sin_addr.s_addr) >> 24) != 127 ||
      (ntohl(destination.sin_addr.s_addr) >> 24) != 127) {
    fputs("udp_load: both addresses must lie in 127.0.0.0/8\n", stderr);
    return 2;
  }

  int sink = socket(AF_INET, SOCK_DGRAM, 0);
  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  if (sink < 0 || sender < 0) {
    perror("udp_load: socket");
    return 1;
  }
  if (bind(sink, (struct sockaddr*)&destination, sizeof destination) != 0 ||
      bind(sender, (struct sockaddr*)&source, sizeof source) != 0) {
    perror("udp_load: bind");
    return 1;
  }
  int sendBuffer = 4 << 20;
  setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

  static char payload[kMaxSize];
  memset(payload, 'x', sizeof payload);
  struct iovec iov[kBatch];
  struct mmsghdr messages[kBatch];
  memset(messages, 0, sizeof messages);
  for (int i = 0; i < kBatch; ++i) {
    iov[i].iov_base = payload;
    iov[i].iov_len = (size_t)size;
    messages[i].msg_hdr.msg_iov = &iov[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &destination;
    messages[i].msg_hdr.msg_namelen = sizeof destination;
  }

  const uint64_t total = (uint64_t)(rate * seconds);
  uint64_t sent = 0;
  const double start = Now();
  while (sent < total) {
    const double elapsed = Now() - start;
    uint64_t due = (uint64_t)(elapsed * rate);
    if (due > total) due = total;
    if (due <= sent) {
      /* Ahead of the rate: wait for the next batch's time. */
      double wait = (double)(sent + 1) / rate - elapsed;
      if (wait > 0.0005) wait = 0.0005;
      struct timespec pause = {0, (long)(wait * 1e9)};
      nanosleep(&pause, NULL);
      continue;
    }
    uint64_t want = due - sent;
    unsigned batch = want < kBatch ? (unsigned)want : kBatch;
    int done = sendmmsg(sender, messages, batch, 0);
    if (done < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS) continue;
      perror("udp_load: sendmmsg");
      return 1;
    }
    sent += (uint64_t)done;
  }
  printf("sent %llu %d %.3f\n", (unsigned long long)sent, size + 28, Now() - start);
  close(sender);
  close(sink);
  return 0;
}
