#include "engine/application_traffic.h"

#include <charconv>

#include "vocabulary/text_format.h"

namespace corvane {
namespace {

// "name:pid" gives the pid; a protocol's label or a label of another shape
// gives nullopt.
std::optional<int> PidOfLabel(std::string_view label) {
  const size_t colon = label.rfind(':');
  if (colon == std::string_view::npos || colon + 1 == label.size()) return std::nullopt;
  int pid = 0;
  const char* end = label.data() + label.size();
  auto [next, error] = std::from_chars(label.data() + colon + 1, end, pid);
  if (error != std::errc() || next != end || pid <= 0) return std::nullopt;
  return pid;
}

}  // namespace

ApplicationTraffic::ApplicationTraffic(IdentityReader reader) : reader_(std::move(reader)) {}

void ApplicationTraffic::SetNewApplicationHandler(NewApplicationHandler handler,
                                                  std::set<std::string> known) {
  onNewApplication_ = std::move(handler);
  programs_.insert(known.begin(), known.end());
  known_ = std::move(known);
}

std::string ApplicationTraffic::WholeName(const std::string& name) const {
  if (name.size() != kCommandNameBytes) return name;
  auto it = programs_.upper_bound(name);
  if (it == programs_.end() || !it->starts_with(name)) return name;
  const std::string& whole = *it;
  // Two programs that begin alike: which one this is cannot be told.
  if (++it != programs_.end() && it->starts_with(name)) return name;
  return whole;
}

ApplicationTraffic::Application& ApplicationTraffic::ApplicationOf(uint32_t labelId,
                                                                   const std::string& label) {
  if (auto found = applications_.find(labelId); found != applications_.end()) return found->second;
  Application application;
  const std::optional<int> pid = PidOfLabel(label);
  if (!pid) {
    application.key = application.name = label;
  } else {
    std::string name = label.substr(0, label.rfind(':'));
    std::optional<AppIdentity> identity = reader_ ? reader_(*pid) : std::nullopt;
    if (identity) {
      // Another user names their program and their units as they like.
      identity->name = SanitizeNetworkText(identity->name, Blanks::kKeep);
      identity->unit.name = SanitizeNetworkText(identity->unit.name, Blanks::kKeep);
    }
    // A pid that now runs another program says nothing about this one.
    if (identity && !identity->Runs(name)) identity.reset();
    // Only a readable executable vouches for the whole name; a comm may
    // have been cut.
    if (!identity || identity->executablePath.empty()) name = WholeName(name);
    if (identity) {
      application.key = ApplicationKey(name, identity->unit);
      keyOfName_[name] = application.key;
    } else if (auto earlier = keyOfName_.find(name); earlier != keyOfName_.end()) {
      application.key = earlier->second;
    } else {
      application.key = name;
    }
    programs_.insert(name);
    application.name = std::move(name);
  }
  application.totals =
      &totalsOfKey_.try_emplace(application.key, std::array<size_t, 2>{kNoTotals, kNoTotals})
           .first->second;
  // Only programs are news: a protocol's label ("TCP protocol") names
  // traffic no program could be found for.
  if (pid && onNewApplication_ && known_.insert(application.key).second) {
    onNewApplication_(application.key, application.name);
  }
  return applications_.emplace(labelId, std::move(application)).first->second;
}

void ApplicationTraffic::Count(int64_t time, const IpAddress& remote, uint32_t labelId,
                               const std::string& label, uint64_t received, uint64_t sent,
                               std::string_view remoteHost) {
  if (received == 0 && sent == 0) return;

  Application& application = ApplicationOf(labelId, label);
  if (recorder_) {
    if (sent) recorder_->Add(time, application.key, remote, remoteHost, kDirectionUpload, sent);
    if (received) {
      recorder_->Add(time, application.key, remote, remoteHost, kDirectionDownload, received);
    }
  }
  const int family = remote.family == IpFamily::kV6 ? 6 : 4;
  size_t& index = (*application.totals)[family == 6];
  MutexLock lock(totalsMutex_);
  if (index == kNoTotals) {
    index = totals_.size();
    totals_.push_back(ApplicationBytes{application.key, application.name, family, 0, 0});
  }
  totals_[index].sentBytes += sent;
  totals_[index].receivedBytes += received;
}

std::vector<ApplicationBytes> ApplicationTraffic::Totals() const {
  MutexLock lock(totalsMutex_);
  return totals_;
}

}  // namespace corvane
