// The result of an operation that can fail: ok, or the reason it failed in
// one line (what was being done, the path, the system's reason), and the
// system's error number when there was one, so that a caller can tell "no
// such file" or "already there" from a real failure. Every function of the
// program that can fail returns one (or a value beside one); a caller that
// drops it is a compile error.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace corvane {

struct [[nodiscard]] Status {
  bool ok = true;
  std::string reason;  // empty when ok
  int code = 0;        // the errno of the failure, 0 when none applies

  explicit operator bool() const { return ok; }
  static Status Ok() { return {}; }
  static Status Failed(std::string reason, int code = 0) {
    return Status{false, std::move(reason), code};
  }
  // "WHAT: " and the system's text for `code`, an errno value (take it
  // before anything else can change errno).
  static Status SystemFailure(std::string what, int code) {
    what += ": ";
    what += std::strerror(code);
    return Failed(std::move(what), code);
  }
  // The file or one of its folders does not exist.
  bool Missing() const { return !ok && (code == ENOENT || code == ENOTDIR); }
  // The name is taken (a write that must not replace).
  bool Exists() const { return !ok && code == EEXIST; }
};

}  // namespace corvane
