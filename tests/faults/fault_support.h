// Helpers for tests that make a fault for real: run a system command
// without a shell, move the calling thread into a fresh network namespace,
// run a piece of a test in a child process with its own privileges or
// mounts, and skip outside CI when the privilege is missing.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvane::faults {

inline bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

inline bool IsRoot() { return ::geteuid() == 0; }

// Skips (outside CI) or fails (under CI=true) a test that needs root.
#define CORVANE_REQUIRE_ROOT(what)                                              \
  do {                                                                          \
    if (!::corvane::faults::IsRoot()) {                                         \
      if (::corvane::faults::UnderCi()) FAIL() << (what) << " needs root in CI"; \
      GTEST_SKIP() << (what) << " needs root (CI runs these as root)";          \
    }                                                                           \
  } while (0)

// Runs `argv` (no shell: every word is passed as it stands) and returns its
// exit status, or -1 when it could not be started. Its output is discarded.
inline int RunCommand(const std::vector<std::string>& argv) {
  std::vector<char*> words;
  for (const auto& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execvp(words[0], words.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Moves the calling thread (and every thread it starts afterwards, and every
// command it runs) into a new, empty network namespace; the destructor
// moves it back. The namespace goes away with its last user.
class NetworkNamespace {
 public:
  NetworkNamespace() {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0) {
      error_ = std::string("cannot open the current namespace: ") + std::strerror(errno);
      return;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
      error_ = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
      return;
    }
    entered_ = true;
  }
  ~NetworkNamespace() {
    if (entered_) ::setns(original_, CLONE_NEWNET);
    if (original_ >= 0) ::close(original_);
  }
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  bool entered() const { return entered_; }
  const std::string& error() const { return error_; }

 private:
  int original_ = -1;
  bool entered_ = false;
  std::string error_;
};

// Runs `body` in a forked child and returns its exit status: 0 when the
// body returned true, 1 when it returned false, other values when it
// crashed. The child never returns into the test framework. Output written
// by the body to `report` (a pipe) comes back as the text of `message`.
inline int RunInChild(const std::function<bool(std::string& message)>& body,
                      std::string& message) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::close(fds[0]);
    std::string text;
    const bool ok = body(text);
    (void)!::write(fds[1], text.data(), text.size());
    ::_exit(ok ? 0 : 1);
  }
  ::close(fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) message.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace corvane::faults
