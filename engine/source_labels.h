// The "Local source" texts of the flows, each stored once under a small id.
//
// Flows, events and rows carry the id; the text is read only when a row is
// shown or saved. Ids are never reused while the program runs, so an id
// held by a queued event or a row always names the same text. The capture
// thread interns the label of each new socket, the processing thread reads
// texts; every call takes the table's own mutex for that call only (it is
// the innermost lock, below the flow table's).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/mutex.h"

namespace corvane {

// The id of a socket whose label has not been decided yet.
inline constexpr uint32_t kUndecidedLabel = 0xffffffffu;

class SourceLabels {
 public:
  // The id of `text`, added when it is new.
  uint32_t Intern(std::string_view text);
  // The text of an id that Intern() gave. The reference stays valid for
  // the table's life.
  const std::string& Text(uint32_t id) const;

 private:
  mutable Mutex mutex_;
  std::deque<std::string> texts_ GUARDED_BY(mutex_);  // by id
  std::unordered_map<std::string_view, uint32_t> ids_ GUARDED_BY(mutex_);  // views into texts_
};

}  // namespace corvane
