// The capture helper's side of kernel attribution: loads the program of
// attribution.bpf.c, attaches it and turns its ring buffer events into
// kSocketOwner records, for sockets of the helper's network namespace only.
//
// Helper thread only. Load() must run while cap_bpf and cap_perfmon can
// still be raised; it raises them into the effective set for the load and
// attach alone and lowers them again, whatever happens. Everything after
// (Descriptor, Drain) works without any capability.
//
// Failure: Load() returns false (a helper built without libbpf or BTF, no
// such capability, its network namespace unknown, a kernel that refuses the
// program); the helper then
// captures without kernel events, and nobody reads its reasons: the client
// only needs to know which mode it gets. Events the ring could not
// hold are counted by the program, not reported.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "capture/capture_protocol.h"

namespace corvane::capture {

class KernelAttribution {
 public:
  KernelAttribution();
  ~KernelAttribution();
  KernelAttribution(const KernelAttribution&) = delete;
  KernelAttribution& operator=(const KernelAttribution&) = delete;

  // `permitted`: the helper's permitted capabilities (bit n: capability n).
  bool Load(uint64_t permitted);
  // Readable when the program woke its reader (a backlog built up); -1
  // before a successful Load().
  int Descriptor() const;
  // Appends one kSocketOwner record per TCP or UDP socket open when the
  // program was loaded, for each process holding it (all users'). Once:
  // later calls append nothing.
  void ListOpenSockets(std::vector<uint8_t>& out);
  // Appends one kSocketOwner record per event waiting in the ring.
  void Drain(std::vector<uint8_t>& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Appends one framed record (capture_protocol.h) to `out`.
void AppendRecord(std::vector<uint8_t>& out, RecordType type, const void* payload, size_t size,
                  const void* tail = nullptr, size_t tailSize = 0);

// Sets the effective and permitted capability sets (bit n: capability n).
bool SetCapabilities(uint64_t effective, uint64_t permitted);

}  // namespace corvane::capture
