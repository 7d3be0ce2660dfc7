#include "engine/program_recorder.h"

#include "engine/program_totals.h"
#include "platform/helper_capture.h"  // capture::kFrameBytes

namespace corvane {

ProgramRecorder::ProgramRecorder(const Monitor& monitor, std::string program)
    : monitor_(monitor), program_(std::move(program)) {}

Status ProgramRecorder::Create(const std::string& path, const std::string& interfaceName,
                               const std::string& application) {
  const std::string comment =
      "Corvane recording of the program " + program_ + " on " + interfaceName +
      ": its datagrams as the capture helper delivered them, the headers and at most the first " +
      std::to_string(capture::kFrameBytes) +
      " bytes of each frame (the frame's whole length is the packet's original length). "
      "Each packet's comment names the program and process that owned its socket, as name:pid.";
  return writer_.Create(path, comment, application, interfaceName,
                        static_cast<uint32_t>(capture::kFrameBytes));
}

DatagramAccounting::Observer ProgramRecorder::Observer() {
  return [this](const PacketInfo& info, const FlowKey& socket, uint32_t labelId) {
    if (info.captured == nullptr) return;
    const CapturedDatagram& datagram = *info.captured;
    MutexLock lock(mutex_);
    // Another program's: not even held.
    if (labelId != kUndecidedLabel && !IsProgram(labelId)) return;
    incoming_.push_back(Frame{socket, labelId, datagram.seconds, datagram.microseconds,
                              datagram.wireLength,
                              std::vector<uint8_t>(datagram.bytes.begin(), datagram.bytes.end())});
  };
}

std::optional<uint32_t> ProgramRecorder::LabelOf(const Frame& frame) const {
  if (frame.labelId != kUndecidedLabel) return frame.labelId;
  const auto pending = monitor_.flows().LookupPendingSocket(frame.socket);
  if (!pending) return kUndecidedLabel;  // cleared: never decided
  if (pending->second == kUndecidedLabel) return std::nullopt;
  return pending->second;
}

bool ProgramRecorder::IsProgram(uint32_t labelId) {
  auto [known, added] = programLabels_.try_emplace(labelId, false);
  if (added) known->second = ProgramOfSource(monitor_.labels().Text(labelId)) == program_;
  return known->second;
}

Status ProgramRecorder::Flush() {
  {
    MutexLock lock(mutex_);
    for (Frame& frame : incoming_) queue_.push_back(std::move(frame));
    incoming_.clear();
  }
  Status written;
  while (!queue_.empty()) {
    const Frame& frame = queue_.front();
    std::optional<uint32_t> label = LabelOf(frame);
    if (!label) {
      // Capture order: the later ones wait too, for a while.
      const auto now = std::chrono::steady_clock::now();
      if (!blockedSince_) blockedSince_ = now;
      if (now - *blockedSince_ < kLongestHold) break;
      label = kUndecidedLabel;
    }
    blockedSince_.reset();
    bool mine = false;
    if (*label == kUndecidedLabel) {
      ++undecided_;
    } else {
      MutexLock lock(mutex_);
      mine = IsProgram(*label);
    }
    if (mine && written) {
      written = writer_.Write(frame.seconds, frame.micros, frame.bytes, frame.wireLength,
                              monitor_.labels().Text(*label));
    }
    queue_.pop_front();
  }
  return written;
}

Status ProgramRecorder::Finish() {
  Status flushed = Flush();
  undecided_ += queue_.size();
  queue_.clear();
  const Status closed = writer_.Close();
  return flushed ? closed : flushed;
}

}  // namespace corvane
