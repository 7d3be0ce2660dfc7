// One attribution event as the kernel program (capture/attribution.bpf.c)
// writes it into its ring buffer: a socket that started, and who started it.
//
// Shared by the BPF program and the user-space reader, so plain C with the
// kernel's fixed-width types. Ports in host order; addresses in network
// order, IPv4 in the first 4 bytes of the 16 (the rest zero). An IPv6
// socket that talks IPv4 shows a v4-mapped address (::ffff:a.b.c.d).
#ifndef CORVANE_CAPTURE_ATTRIBUTION_EVENT_H
#define CORVANE_CAPTURE_ATTRIBUTION_EVENT_H

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

#define ATTRIBUTION_COMM_BYTES 16   /* TASK_COMM_LEN */
#define ATTRIBUTION_NAME_BYTES 256  /* NAME_MAX + 1 */

struct attribution_event {
  __u64 cookie;       /* the socket's cookie, unique while the system runs */
  __u32 pid;          /* thread group id: the pid user space knows */
  __u32 tid;
  __u32 uid;
  __u8 protocol;      /* 6 TCP, 17 UDP */
  __u8 family;        /* AF_INET or AF_INET6 */
  __u16 local_port;
  __u16 remote_port;  /* 0: an unconnected UDP socket */
  __u8 pad[6];
  __u8 local_addr[16];  /* all zero: bound to every address */
  __u8 remote_addr[16];
  char comm[ATTRIBUTION_COMM_BYTES];
  char name[ATTRIBUTION_NAME_BYTES];  /* base name of the executable; empty for kernel threads */
};

#endif
