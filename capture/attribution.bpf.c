// SPDX-License-Identifier: GPL-2.0
// Kernel attribution for the capture helper: which process owns each TCP
// connection and UDP socket as it starts.
//
// BTF tracepoints only (no kprobes, fentry or tracefs), compiled once with
// CO-RE and loaded by libbpf with cap_bpf and cap_perfmon effective.
//
// TCP: when a socket enters SYN_SENT the connecting process is current; its
// owner is kept by socket cookie. The local port is chosen only after that
// state change, so the flow is reported when the socket leaves SYN_SENT
// (established, refused or reset), when its port is known. Accepted
// connections change state in softirq context, where current is whoever
// happened to run; they are not reported. Their listener is: listen() runs in
// the listening process, and its socket is reported with no remote end, which
// names every connection accepted on its port.
//
// UDP: the first send or receive of a socket, traced after the call
// returned, so the port is bound; a per-socket flag keeps it to one event.
//
// Sockets that were open before the program was attached are listed once
// by an iterator over every process's open files (ListSockets), which the
// helper reads right after loading; its records leave through the iterator's
// own output, not the ring, so a machine with many sockets loses none.
//
// Only sockets of the helper's own network namespace are reported: the
// owner of a socket in another namespace (another user's container, say) is
// nothing its client could learn from /proc, and the client does not see
// that namespace's traffic anyway. The helper writes its namespace's inode
// number into `own_netns` before loading; until it does (0) nothing is
// reported.
//
// Events leave through one ring buffer, which the reader drains on a timer
// (every 10 ms or so; 50 ms after a second without frames or events, when
// a frame wakes it first anyway) and wakes up for only when a quarter
// full; when it is full events are dropped and counted in `lost_events`.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "capture/attribution_event.h"

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define TCP_SYN_SENT 2
#define TCP_LISTEN 10
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define S_IFMT 00170000
#define S_IFSOCK 0140000

char LICENSE[] SEC("license") = "GPL";

struct owner {
  __u32 pid;
  __u32 tid;
  __u32 uid;
  char comm[ATTRIBUTION_COMM_BYTES];
  char name[ATTRIBUTION_NAME_BYTES];
};

// Connections between SYN_SENT and their next state. An entry is removed
// on that next state; LRU so that sockets missed by an earlier detach never
// fill it.
struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, 16384);
  __type(key, __u64);  // socket cookie
  __type(value, struct owner);
} connecting SEC(".maps");

// UDP sockets already reported; freed by the kernel with the socket.
struct {
  __uint(type, BPF_MAP_TYPE_SK_STORAGE);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, int);
  __type(value, __u8);
} reported SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 1 << 20);
} events SEC(".maps");

// The one per-CPU scratch owner: too large for the 512-byte BPF stack.
struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct owner);
} scratch SEC(".maps");

// The iterator's event: too large for its stack beside the owner.
struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct attribution_event);
} listed SEC(".maps");

__u64 lost_events = 0;

// The inode number of the helper's network namespace (stat of
// /proc/self/ns/net), set before load.
const volatile __u32 own_netns = 0;

// A quarter of the ring.
static const __u64 kWakeBacklogBytes = 256 * 1024;

static __always_inline bool InOwnNamespace(const struct sock* sk) {
  return BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum) == own_netns;
}

static __always_inline void FillOwner(struct owner* o) {
  const __u64 pidTgid = bpf_get_current_pid_tgid();
  o->pid = pidTgid >> 32;
  o->tid = (__u32)pidTgid;
  o->uid = (__u32)bpf_get_current_uid_gid();
  bpf_get_current_comm(o->comm, sizeof o->comm);
  struct task_struct* task = bpf_get_current_task_btf();
  const unsigned char* name = BPF_CORE_READ(task, mm, exe_file, f_path.dentry, d_name.name);
  // Kernel threads have no mm; their events carry the comm only.
  if (!name || bpf_probe_read_kernel_str(o->name, sizeof o->name, name) < 0) o->name[0] = 0;
}

// Everything of the event but its cookie.
static __always_inline void FillEvent(struct attribution_event* e, const struct sock* sk,
                                      __u8 protocol, const struct owner* o) {
  const __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
  e->pid = o->pid;
  e->tid = o->tid;
  e->uid = o->uid;
  e->protocol = protocol;
  e->family = (__u8)family;
  e->local_port = BPF_CORE_READ(sk, __sk_common.skc_num);
  e->remote_port = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));
  // BPF_CORE_READ_INTO copies sizeof(*dst): the destinations are typed so
  // that is the whole address, not its first byte.
  if (family == AF_INET) {
    __builtin_memset(e->local_addr, 0, sizeof e->local_addr);
    __builtin_memset(e->remote_addr, 0, sizeof e->remote_addr);
    BPF_CORE_READ_INTO((__be32*)e->local_addr, sk, __sk_common.skc_rcv_saddr);
    BPF_CORE_READ_INTO((__be32*)e->remote_addr, sk, __sk_common.skc_daddr);
  } else {
    BPF_CORE_READ_INTO((struct in6_addr*)e->local_addr, sk, __sk_common.skc_v6_rcv_saddr);
    BPF_CORE_READ_INTO((struct in6_addr*)e->remote_addr, sk, __sk_common.skc_v6_daddr);
  }
  __builtin_memcpy(e->comm, o->comm, sizeof e->comm);
  __builtin_memcpy(e->name, o->name, sizeof e->name);
}

static __always_inline void Emit(const struct sock* sk, __u8 protocol, const struct owner* o) {
  struct attribution_event* e = bpf_ringbuf_reserve(&events, sizeof *e, 0);
  if (!e) {
    __sync_fetch_and_add(&lost_events, 1);
    return;
  }
  FillEvent(e, sk, protocol, o);
  e->cookie = bpf_get_socket_cookie((void*)sk);
  // A wake-up per event costs more than everything else here together (an
  // interrupt to the consumer's CPU: about 15 us against 1.5 us a
  // connection). The reader drains the ring on its own timer; it is woken
  // only once a backlog builds up.
  const __u64 flags = bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA) >= kWakeBacklogBytes
                          ? BPF_RB_FORCE_WAKEUP
                          : BPF_RB_NO_WAKEUP;
  bpf_ringbuf_submit(e, flags);
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(OnStateChange, const struct sock* sk, const int oldState, const int newState) {
  // Most transitions concern none of the steps; they leave before any helper.
  if (newState != TCP_SYN_SENT && oldState != TCP_SYN_SENT && newState != TCP_LISTEN) return 0;
  // Tracepoint arguments are trusted BTF pointers: plain loads, CO-RE
  // relocated, cheaper than BPF_CORE_READ's probe reads.
  if (sk->sk_protocol != IPPROTO_TCP) return 0;
  const __u16 family = sk->__sk_common.skc_family;
  if (family != AF_INET && family != AF_INET6) return 0;
  if (!InOwnNamespace(sk)) return 0;
  // listen() runs in the listening process. Without a bound port (listen()
  // before bind()) the port is chosen after this change: not reported, the
  // /proc scan names it.
  if (newState == TCP_LISTEN) {
    if (sk->__sk_common.skc_num == 0) return 0;
    __u32 zero = 0;
    struct owner* o = bpf_map_lookup_elem(&scratch, &zero);
    if (!o) return 0;
    FillOwner(o);
    Emit(sk, IPPROTO_TCP, o);
    return 0;
  }
  __u64 cookie = bpf_get_socket_cookie((void*)sk);
  if (newState == TCP_SYN_SENT) {
    __u32 zero = 0;
    struct owner* o = bpf_map_lookup_elem(&scratch, &zero);
    if (!o) return 0;
    FillOwner(o);
    bpf_map_update_elem(&connecting, &cookie, o, BPF_ANY);
    return 0;
  }
  if (oldState != TCP_SYN_SENT) return 0;
  struct owner* o = bpf_map_lookup_elem(&connecting, &cookie);
  if (!o) return 0;  // connecting before the program was attached
  // Refused or reset while connecting: the port is already released (0).
  if (sk->__sk_common.skc_num != 0) Emit(sk, IPPROTO_TCP, o);
  bpf_map_delete_elem(&connecting, &cookie);
  return 0;
}

static __always_inline int OnUdpTraffic(struct sock* sk) {
  if (sk->sk_protocol != IPPROTO_UDP) return 0;
  const __u16 family = sk->__sk_common.skc_family;
  if (family != AF_INET && family != AF_INET6) return 0;
  // Not bound yet: a send that failed before the port was chosen.
  if (sk->__sk_common.skc_num == 0) return 0;
  if (!InOwnNamespace(sk)) return 0;
  __u8* seen = bpf_sk_storage_get(&reported, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
  if (!seen || *seen) return 0;
  *seen = 1;
  __u32 zero = 0;
  struct owner* o = bpf_map_lookup_elem(&scratch, &zero);
  if (!o) return 0;
  FillOwner(o);
  Emit(sk, IPPROTO_UDP, o);
  return 0;
}

SEC("tp_btf/sock_send_length")
int BPF_PROG(OnSend, struct sock* sk, int ret, int flags) { return OnUdpTraffic(sk); }

SEC("tp_btf/sock_recv_length")
int BPF_PROG(OnReceive, struct sock* sk, int ret, int flags) { return OnUdpTraffic(sk); }

// The sockets open when the helper starts: one event per TCP or UDP socket
// of this namespace with a local port, for each process holding it (threads
// sharing a file table are visited once). A listening socket has no remote
// end. The cookie is 0: the socket pointer here is not one the cookie helper
// takes.
SEC("iter/task_file")
int ListSockets(struct bpf_iter__task_file* ctx) {
  struct seq_file* seq = ctx->meta->seq;
  struct task_struct* task = ctx->task;
  struct file* file = ctx->file;
  if (!task || !file) return 0;
  const umode_t mode = BPF_CORE_READ(file, f_inode, i_mode);
  if ((mode & S_IFMT) != S_IFSOCK) return 0;
  const struct socket* sock = BPF_CORE_READ(file, private_data);
  const struct sock* sk = BPF_CORE_READ(sock, sk);
  if (!sk) return 0;
  const __u16 protocol = BPF_CORE_READ(sk, sk_protocol);
  const __u16 type = BPF_CORE_READ(sk, sk_type);
  if (!(protocol == IPPROTO_TCP && type == SOCK_STREAM) &&
      !(protocol == IPPROTO_UDP && type == SOCK_DGRAM)) {
    return 0;
  }
  const __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
  if (family != AF_INET && family != AF_INET6) return 0;
  if (BPF_CORE_READ(sk, __sk_common.skc_num) == 0) return 0;
  if (BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum) != own_netns) return 0;

  __u32 zero = 0;
  struct owner* o = bpf_map_lookup_elem(&scratch, &zero);
  struct attribution_event* e = bpf_map_lookup_elem(&listed, &zero);
  if (!o || !e) return 0;
  o->pid = BPF_CORE_READ(task, tgid);
  o->tid = BPF_CORE_READ(task, pid);
  o->uid = BPF_CORE_READ(task, cred, uid.val);
  bpf_probe_read_kernel_str(o->comm, sizeof o->comm, task->comm);
  const unsigned char* name = BPF_CORE_READ(task, mm, exe_file, f_path.dentry, d_name.name);
  if (!name || bpf_probe_read_kernel_str(o->name, sizeof o->name, name) < 0) o->name[0] = 0;
  FillEvent(e, sk, (__u8)protocol, o);
  e->cookie = 0;
  bpf_seq_write(seq, e, sizeof *e);
  return 0;
}
