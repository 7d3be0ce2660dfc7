// Live capture through the capture helper (see helper_capture.h).
#include "platform/helper_capture.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <filesystem>

#include "capture/capture_request.h"
#include "platform/helper_records.h"

namespace corvane {

const char* const kCaptureHelperPath = CORVANE_CAPTURE_HELPER_PATH;

std::string DefaultCaptureHelperPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    // PREFIX/bin/corvane -> PREFIX/libexec/corvane/corvane-capture
    const std::filesystem::path beside =
        self.parent_path().parent_path() / "libexec" / "corvane" / "corvane-capture";
    if (std::filesystem::exists(beside, error)) return beside.string();
  }
  return kCaptureHelperPath;
}

const char* AttributionModeText(capture::AttributionMode mode) {
  return mode == capture::AttributionMode::kKernel ? "kernel events" : "/proc (own programs only)";
}

namespace {

constexpr size_t kBufferBytes = 256 * 1024;
constexpr std::chrono::milliseconds kReadWait{100};
// Opening a capture takes milliseconds; a helper that says nothing for this
// long is stuck.
constexpr int kReadyWaitMs = 5000;
const std::string kInstallHint = std::string("run: ") + kCaptureInstallCommand;

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string StatusText(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

std::string UserName() {
  if (const passwd* user = getpwuid(getuid())) return user->pw_name;
  return "$USER";
}

// Why the helper at `path` could not be run, with what to do about it.
std::string SpawnFailure(const std::string& path, int code) {
  if (code == ENOENT) {
    return "the capture helper " + path + " is not installed; " + kInstallHint;
  }
  if (code == EACCES || code == EPERM) {
    std::string group = kCaptureGroup;
    struct stat info{};
    if (stat(path.c_str(), &info) == 0) {
      if (const struct group* owner = getgrgid(info.st_gid)) group = owner->gr_name;
    }
    const std::string user = UserName();
    return "permission denied running the capture helper " + path +
           ": capturing is for members of group '" + group + "'. To join it, run: sudo usermod -aG " +
           group + " " + user + " and log in again (a member who still sees this has not logged in again since joining)";
  }
  return "cannot start the capture helper " + path + ": " + std::strerror(code);
}

// Reads until one whole record is at the front of `buffer`, waiting at most
// `waitMs`. False at end of stream, on a damaged stream or on time-out.
bool ReadRecord(int fd, std::vector<uint8_t>& buffer, size_t& end, HelperRecord& record,
                size_t& consumed, int waitMs, std::string& why) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    switch (ParseHelperRecord(std::span<const uint8_t>(buffer.data(), end), record, consumed)) {
      case RecordParse::kComplete: return true;
      case RecordParse::kMalformed: why = "sent a damaged record"; return false;
      case RecordParse::kIncomplete: break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd, POLLIN, 0};
    const int ready = left.count() > 0 ? poll(&pfd, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      why = "did not answer";
      return false;
    }
    const ssize_t got = read(fd, buffer.data() + end, buffer.size() - end);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      why = "stopped";
      return false;
    }
    end += static_cast<size_t>(got);
  }
}

void Reap(pid_t pid, int* status = nullptr) {
  int ignored = 0;
  while (waitpid(pid, status ? status : &ignored, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

HelperCapture::HelperCapture(pid_t pid, int socketFd, int wakeFd, int linkType,
                             std::span<const uint8_t> pending,
                             const HelperCaptureOptions& options, capture::AttributionMode mode)
    : pid_(pid), socketFd_(socketFd), wakeFd_(wakeFd), linkType_(linkType),
      onStopped_(options.onStopped), onSocketOwner_(options.onSocketOwner), mode_(mode),
      buffer_(kBufferBytes) {
  std::memcpy(buffer_.data(), pending.data(), pending.size());
  end_ = pending.size();
}

HelperCapture::~HelperCapture() {
  // Closing our end is what ends the helper; the kill only makes sure it
  // does not linger on a blocked write.
  close(socketFd_);
  close(wakeFd_);
  if (!reaped_) {
    kill(pid_, SIGKILL);
    Reap(pid_);
  }
}

ReadStatus HelperCapture::Stopped(Status& status, const std::string& reason, bool stop) {
  ended_ = true;
  if (stop) kill(pid_, SIGKILL);
  int exitStatus = 0;
  Reap(pid_, &exitStatus);
  status = Status::Failed("the capture helper " + reason + " (" + StatusText(exitStatus) + ")");
  reaped_ = true;
  if (onStopped_) onStopped_(status.reason);
  return ReadStatus::Error;
}

ReadStatus HelperCapture::Next(CapturedDatagram& datagram, Status& status) {
  const auto deadline = std::chrono::steady_clock::now() + kReadWait;
  for (;;) {
    if (interrupted_.load(std::memory_order_acquire)) return ReadStatus::Interrupted;
    if (ended_) return ReadStatus::EndOfFile;
    HelperRecord record;
    size_t consumed = 0;
    const auto parsed = ParseHelperRecord(
        std::span<const uint8_t>(buffer_.data() + begin_, end_ - begin_), record, consumed);
    if (parsed == RecordParse::kMalformed) return Stopped(status, "sent a damaged record", true);
    if (parsed == RecordParse::kComplete) {
      begin_ += consumed;
      switch (record.type) {
        case capture::RecordType::kFrame: {
          const auto ip = StripLinkLayer(linkType_, record.frame);
          if (ip.empty()) break;
          const auto header = static_cast<size_t>(ip.data() - record.frame.data());
          datagram.bytes = ip;
          datagram.wireLength = record.wireLength > header ? record.wireLength - header : ip.size();
          datagram.seconds = record.seconds;
          datagram.microseconds = record.microseconds;
          return ReadStatus::Datagram;
        }
        case capture::RecordType::kDrops:
          drops_.store(record.drops, std::memory_order_relaxed);
          break;
        case capture::RecordType::kSocketOwner:
          if (onSocketOwner_) onSocketOwner_(record.owner);
          break;
        case capture::RecordType::kError:
          return Stopped(status, "failed: " + std::string(record.text), false);
        case capture::RecordType::kReady:
          return Stopped(status, "sent a damaged record", true);
      }
      continue;
    }
    // Need more bytes: keep the partial record at the front of the buffer.
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ReadStatus::Timeout;
    pollfd fds[2] = {{socketFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return Stopped(status, "cannot be read: " + ErrnoText("poll"), true);
    if (ready <= 0) continue;
    if (fds[0].revents == 0) continue;
    const ssize_t got = read(socketFd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Stopped(status, "cannot be read: " + ErrnoText("read"), true);
    }
    if (got == 0) return Stopped(status, "stopped", false);
    end_ += static_cast<size_t>(got);
  }
}

void HelperCapture::Interrupt() {
  interrupted_.store(true, std::memory_order_release);
  const uint64_t one = 1;
  // The eventfd stays readable, so every later poll() wakes at once too.
  [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
}

std::unique_ptr<HelperCapture> OpenHelperCapture(const std::string& interfaceName,
                                                 Status& status,
                                                 const HelperCaptureOptions& options) {
  if (!capture::IsValidInterfaceName(interfaceName)) {
    status = Status::Failed("invalid interface name '" + interfaceName + "'", EINVAL);
    return nullptr;
  }
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    status = Status::SystemFailure("socketpair", errno);
    return nullptr;
  }
  const int ours = ends[0];
  const int theirs = ends[1];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  // dup2 clears close-on-exec on descriptor 3 only; everything else of ours
  // is close-on-exec, and the helper closes whatever is not.
  posix_spawn_file_actions_adddup2(&actions, theirs, capture::kHelperSocketFd);
  char name[] = "corvane-capture";
  char* argv[] = {name, nullptr};
  char* environment[] = {nullptr};
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, options.helperPath.c_str(), &actions, nullptr, argv, environment);
  posix_spawn_file_actions_destroy(&actions);
  close(theirs);
  if (spawned != 0) {
    close(ours);
    status = Status::Failed(SpawnFailure(options.helperPath, spawned), spawned);
    return nullptr;
  }

  auto fail = [&](const std::string& text) {
    close(ours);
    kill(pid, SIGKILL);
    Reap(pid);
    status = Status::Failed(text);
    return nullptr;
  };
  const auto request = capture::BuildCaptureRequest(interfaceName);
  if (send(ours, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return fail("the capture helper stopped before reading its request; " + kInstallHint);
  }
  std::vector<uint8_t> buffer(capture::kRecordHeaderSize + capture::kLargestPayload);
  size_t end = 0;
  HelperRecord record;
  size_t consumed = 0;
  std::string why;
  if (!ReadRecord(ours, buffer, end, record, consumed, kReadyWaitMs, why)) {
    return fail("the capture helper " + options.helperPath + " " + why +
                " before the capture was open");
  }
  if (record.type == capture::RecordType::kError) {
    return fail("cannot capture on " + interfaceName + ": " + std::string(record.text));
  }
  if (record.type != capture::RecordType::kReady) {
    return fail("the capture helper " + options.helperPath + " sent a damaged record");
  }
  if (!IsSupportedLinkType(record.linkType)) {
    return fail(interfaceName + ": link type " + std::to_string(record.linkType) +
                " cannot carry IPv4 datagrams Corvane can read");
  }
  const auto mode = record.attributionMode == static_cast<uint32_t>(capture::AttributionMode::kKernel)
                        ? capture::AttributionMode::kKernel
                        : capture::AttributionMode::kProc;
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return fail(ErrnoText("eventfd"));
  if (options.onReady) options.onReady(mode);
  status = Status::Ok();
  return std::make_unique<HelperCapture>(
      pid, ours, wakeFd, record.linkType,
      std::span<const uint8_t>(buffer.data() + consumed, end - consumed), options, mode);
}

std::unique_ptr<CaptureSource> OpenHelperCaptureAt(uint32_t interfaceAddress, Status& status,
                                                   const HelperCaptureOptions& options) {
  const std::string name = FindInterface(interfaceAddress, status);
  if (name.empty()) return nullptr;
  return OpenHelperCapture(name, status, options);
}

}  // namespace corvane
