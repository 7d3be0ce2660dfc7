// Records one program's traffic into a pcapng file: each datagram of the
// program's sockets as the capture helper delivered it (its headers and at
// most capture::kFrameBytes of its frame), each packet with the comment
// "name:pid" of its socket's owner. Used by corvane-cli record and the
// window's "Record this program's traffic...".
//
// Nothing of another program is written. A datagram is written only once
// its socket's owner is known to be the program: a datagram of a socket
// whose owner is still being asked for is held until the engine decides it
// (as the engine holds the socket's bytes), then written or dropped. Held
// datagrams whose owner is never decided (the socket was cleared, the
// recording ended first, or no decision came for kLongestHold) are dropped
// and counted.
//
// Threads: the observer runs on the capture thread and only queues a copy;
// everything else (Create, Flush, Finish) on the one thread that owns the
// recorder, which also writes the file. The recorder must outlive its
// observer: Finish (and destroy it) after Monitor::Stop, or after
// Monitor::SetDatagramObserver(nullptr) took the observer away.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/datagram_accounting.h"
#include "engine/monitor.h"
#include "platform/mutex.h"
#include "platform/pcapng_writer.h"
#include "platform/status.h"
#include "platform/thread_annotations.h"

namespace corvane {

class ProgramRecorder {
 public:
  // The engine decides a socket within a few passes; a datagram held
  // longer than this (which would hold back every later one) is dropped.
  static constexpr std::chrono::seconds kLongestHold{10};

  // Records the program named `program` (a local source "name:pid" is the
  // program's when its name is `program`) of `monitor`.
  ProgramRecorder(const Monitor& monitor, std::string program);
  ProgramRecorder(const ProgramRecorder&) = delete;
  ProgramRecorder& operator=(const ProgramRecorder&) = delete;

  // Creates `path` (it must not exist; 0600) with its section comment,
  // naming `application` ("corvane-cli 1.2") as the file's writer.
  Status Create(const std::string& path, const std::string& interfaceName,
                const std::string& application);

  // For Monitor::SetDatagramObserver (before or while capture runs).
  DatagramAccounting::Observer Observer();

  // Writes the queued datagrams whose owner is decided, in capture order,
  // up to the first still undecided one; the first write failure.
  Status Flush() EXCLUDES(mutex_);

  // After the capture stopped: flushes, drops what is still undecided and
  // closes the file; the first failure of the file.
  Status Finish() EXCLUDES(mutex_);

  uint64_t written() const { return writer_.packets(); }
  // Datagrams held for a decision that never came.
  uint64_t undecided() const { return undecided_; }

 private:
  struct Frame {
    FlowKey socket;
    uint32_t labelId;
    int64_t seconds;
    int32_t micros;
    size_t wireLength;
    std::vector<uint8_t> bytes;
  };
  // The frame's label now: its own, or its socket's decided one; nullopt
  // while undecided, kUndecidedLabel when it never will be.
  std::optional<uint32_t> LabelOf(const Frame& frame) const;
  bool IsProgram(uint32_t labelId) REQUIRES(mutex_);

  const Monitor& monitor_;
  const std::string program_;
  PcapngWriter writer_;
  Mutex mutex_;
  std::vector<Frame> incoming_ GUARDED_BY(mutex_);  // from the capture thread
  std::unordered_map<uint32_t, bool> programLabels_ GUARDED_BY(mutex_);
  // The owner's thread only.
  std::deque<Frame> queue_;
  // Since when the first of queue_ waits for its owner.
  std::optional<std::chrono::steady_clock::time_point> blockedSince_;
  uint64_t undecided_ = 0;
};

}  // namespace corvane
