/* Sends UDP datagrams over loopback at a steady rate for a bounded time,
 * then prints what it sent:
 *
 *   soak_loadgen FROM TO PORT RATE SECONDS PAYLOAD
 *   -> "sent <datagrams> <ip-bytes>"
 *
 * FROM and TO must be 127.x.y.z addresses; the receiving socket on TO is
 * bound here and never read, so the kernel drops what does not fit without
 * answering with ICMP. Datagrams go out in batches each millisecond. */
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

#define MAX_BATCH 1024

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int Loopback(const char* text, struct in_addr* address) {
  if (inet_pton(AF_INET, text, address) != 1) return 0;
  return (ntohl(address->s_addr) >> 24) == 127;
}

int main(int argc, char** argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: %s FROM TO PORT RATE SECONDS PAYLOAD\n", argv[0]);
    return 2;
  }
  struct sockaddr_in from = {0}, to = {0};
  from.sin_family = to.sin_family = AF_INET;
  if (!Loopback(argv[1], &from.sin_addr) || !Loopback(argv[2], &to.sin_addr)) {
    fprintf(stderr, "FROM and TO must be loopback addresses (127.0.0.0/8)\n");
    return 2;
  }
  const long port = strtol(argv[3], NULL, 10);
  const long rate = strtol(argv[4], NULL, 10);
  const double seconds = strtod(argv[5], NULL);
  const long payload = strtol(argv[6], NULL, 10);
  if (port <= 0 || port > 65535 || rate <= 0 || seconds <= 0 || payload < 0 || payload > 1400) {
    fprintf(stderr, "bad PORT, RATE, SECONDS or PAYLOAD\n");
    return 2;
  }
  to.sin_port = htons((uint16_t)port);

  const int sink = socket(AF_INET, SOCK_DGRAM, 0);
  const int out = socket(AF_INET, SOCK_DGRAM, 0);
  if (sink < 0 || out < 0 || bind(sink, (struct sockaddr*)&to, sizeof to) != 0 ||
      bind(out, (struct sockaddr*)&from, sizeof from) != 0 ||
      connect(out, (struct sockaddr*)&to, sizeof to) != 0) {
    fprintf(stderr, "socket setup failed: %s\n", strerror(errno));
    return 1;
  }

  static char data[1400];
  static struct mmsghdr messages[MAX_BATCH];
  static struct iovec vectors[MAX_BATCH];
  for (int i = 0; i < MAX_BATCH; ++i) {
    vectors[i].iov_base = data;
    vectors[i].iov_len = (size_t)payload;
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  const double start = Now();
  const double end = start + seconds;
  uint64_t sent = 0;
  for (;;) {
    const double now = Now();
    if (now >= end) break;
    /* Catch up to the rate at this moment, at most one batch at a time. */
    const uint64_t due = (uint64_t)((now - start) * (double)rate);
    if (sent >= due) {
      struct timespec pause = {0, 200000};
      nanosleep(&pause, NULL);
      continue;
    }
    uint64_t batch = due - sent;
    if (batch > MAX_BATCH) batch = MAX_BATCH;
    const int n = sendmmsg(out, messages, (unsigned)batch, 0);
    if (n < 0) {
      if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN) continue;
      fprintf(stderr, "sendmmsg: %s\n", strerror(errno));
      return 1;
    }
    sent += (uint64_t)n;
  }
  const double took = Now() - start;
  printf("sent %llu %llu\n", (unsigned long long)sent,
         (unsigned long long)(sent * (uint64_t)(payload + 28)));
  fprintf(stderr, "soak_loadgen: %llu datagrams in %.1f s (%.0f/s)\n", (unsigned long long)sent,
          took, (double)sent / took);
  close(out);
  close(sink);
  return 0;
}
