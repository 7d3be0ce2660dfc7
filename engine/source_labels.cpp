#include "engine/source_labels.h"

namespace corvane {

uint32_t SourceLabels::Intern(std::string_view text) {
  MutexLock lock(mutex_);
  if (auto it = ids_.find(text); it != ids_.end()) return it->second;
  const auto id = static_cast<uint32_t>(texts_.size());
  // A deque never moves its elements, so the map's views stay valid.
  const std::string& stored = texts_.emplace_back(text);
  ids_.emplace(stored, id);
  return id;
}

const std::string& SourceLabels::Text(uint32_t id) const {
  static const std::string kNone;
  MutexLock lock(mutex_);
  return id < texts_.size() ? texts_[id] : kNone;
}

}  // namespace corvane
