// attribution-probe: loads the kernel attribution program and prints each
// event, one line per socket that started. A development tool for checking
// the program on a kernel before the capture helper carries it.
//
//   attribution-probe [SECONDS]   (default: until SIGINT or SIGTERM)
//
// As root it just runs. Otherwise it needs cap_bpf,cap_perfmon in its
// permitted set (setcap cap_bpf,cap_perfmon+p): it raises them into the
// effective set only to load and attach, then drops every capability before
// reading a single event.
//
// Output lines: "tcp|udp LOCAL -> REMOTE pid=P tid=T uid=U comm=C name=N",
// then on exit "lost=N events=M". Single-threaded; a failure prints the
// libbpf error and exits 1.
#include <arpa/inet.h>
#include <bpf/libbpf.h>
#include <errno.h>
#include <linux/capability.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "attribution.skel.h"
#include "capture/attribution_event.h"

static const int kDrainMs = 10;
static volatile sig_atomic_t stopRequested = 0;
static unsigned long long eventCount = 0;

static void OnSignal(int signal) {
  (void)signal;
  stopRequested = 1;
}

static int SetCapabilities(__u32 effective, __u32 permitted[2], __u32 effectiveHigh) {
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[2] = {{0}};
  data[0].effective = effective;
  data[1].effective = effectiveHigh;
  data[0].permitted = permitted[0];
  data[1].permitted = permitted[1];
  return (int)syscall(SYS_capset, &header, data);
}

// CAP_BPF (39) and CAP_PERFMON (38) live in the second 32-bit word.
static int RaiseBpfCapabilities(__u32 permitted[2]) {
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[2] = {{0}};
  if (syscall(SYS_capget, &header, data) != 0) return -1;
  permitted[0] = data[0].permitted;
  permitted[1] = data[1].permitted;
  const __u32 wanted = (1U << (CAP_BPF - 32)) | (1U << (CAP_PERFMON - 32));
  if ((permitted[1] & wanted) != wanted) return 0;  // root, or no rights: try as we are
  return SetCapabilities(data[0].effective, permitted, data[1].effective | wanted);
}

static int DropEveryCapability(void) {
  __u32 none[2] = {0, 0};
  if (SetCapabilities(0, none, 0) != 0) return -1;
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

static int PrintLibbpf(enum libbpf_print_level level, const char* format, va_list args) {
  if (level == LIBBPF_DEBUG) return 0;
  return vfprintf(stderr, format, args);
}

static void FormatAddress(const struct attribution_event* e, const __u8* addr, __u16 port,
                          char* out, size_t size) {
  char text[INET6_ADDRSTRLEN] = "?";
  inet_ntop(e->family, addr, text, sizeof text);
  snprintf(out, size, e->family == AF_INET6 ? "[%s]:%u" : "%s:%u", text, port);
}

static int OnEvent(void* context, void* data, size_t size) {
  (void)context;
  if (size < sizeof(struct attribution_event)) return 0;
  const struct attribution_event* e = data;
  char local[INET6_ADDRSTRLEN + 8];
  char remote[INET6_ADDRSTRLEN + 8];
  FormatAddress(e, e->local_addr, e->local_port, local, sizeof local);
  FormatAddress(e, e->remote_addr, e->remote_port, remote, sizeof remote);
  printf("%s %s -> %s pid=%u tid=%u uid=%u comm=%.*s name=%.*s\n",
         e->protocol == 6 ? "tcp" : "udp", local, remote, e->pid, e->tid, e->uid,
         ATTRIBUTION_COMM_BYTES, e->comm, ATTRIBUTION_NAME_BYTES, e->name);
  ++eventCount;
  return 0;
}

static double Seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  const double runFor = argc > 1 ? atof(argv[1]) : 0;
  libbpf_set_print(PrintLibbpf);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  setvbuf(stdout, NULL, _IOLBF, 0);

  __u32 permitted[2] = {0, 0};
  if (RaiseBpfCapabilities(permitted) != 0) {
    fprintf(stderr, "cannot raise cap_bpf,cap_perfmon: %s\n", strerror(errno));
    return 1;
  }
  const double loadStart = Seconds();
  // Like the helper, it reports the sockets of its own network namespace.
  struct stat ownNamespace;
  struct attribution* skel = NULL;
  int err = stat("/proc/self/ns/net", &ownNamespace) == 0 ? 0 : -errno;
  if (err == 0) {
    skel = attribution__open();
    err = skel ? 0 : -errno;
  }
  if (err == 0) {
    skel->rodata->own_netns = (__u32)ownNamespace.st_ino;
    err = attribution__load(skel);
  }
  if (err == 0) err = attribution__attach(skel);
  const double loadEnd = Seconds();
  if (DropEveryCapability() != 0) {
    fprintf(stderr, "cannot drop capabilities: %s\n", strerror(errno));
    attribution__destroy(skel);
    return 1;
  }
  if (!skel || err != 0) {
    fprintf(stderr, "cannot load the attribution program: %s\n", strerror(-err ? -err : errno));
    attribution__destroy(skel);
    return 1;
  }
  fprintf(stderr, "loaded and attached in %.1f ms; capabilities dropped\n",
          (loadEnd - loadStart) * 1000);

  struct ring_buffer* ring = ring_buffer__new(bpf_map__fd(skel->maps.events), OnEvent, NULL, NULL);
  if (!ring) {
    fprintf(stderr, "cannot map the event ring: %s\n", strerror(errno));
    attribution__destroy(skel);
    return 1;
  }
  const double end = Seconds() + runFor;
  while (!stopRequested && (runFor <= 0 || Seconds() < end)) {
    // The program wakes the reader only for a backlog; between those the
    // ring is drained every kDrainMs.
    const int polled = ring_buffer__poll(ring, kDrainMs);
    if (polled >= 0 || polled == -EINTR) ring_buffer__consume(ring);
    if (polled < 0 && polled != -EINTR) {
      fprintf(stderr, "ring buffer: %s\n", strerror(-polled));
      break;
    }
  }
  ring_buffer__consume(ring);
  fprintf(stderr, "lost=%llu events=%llu\n", (unsigned long long)skel->bss->lost_events,
          eventCount);
  ring_buffer__free(ring);
  attribution__destroy(skel);
  return 0;
}
