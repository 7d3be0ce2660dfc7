#include "attribution/port_scanner.h"

#include <chrono>

#include "attribution/port_process_map.h"

namespace corvane {

std::string ProcessLabel(std::string_view name, int pid) {
  const std::string suffix = ":" + std::to_string(pid);
  size_t keep = name.size();
  if (keep + suffix.size() > kMaxProcessLabel) {
    keep = kMaxProcessLabel - suffix.size();
    // Do not split a UTF-8 sequence.
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  }
  std::string label(name.substr(0, keep));
  label += suffix;
  return label;
}

std::string ProcessIdLabel(int pid) { return "Process ID# " + std::to_string(pid); }

PortScanner::PortScanner(PortProcessMap& map, std::string procRoot)
    : map_(map), reader_(procRoot), processes_(procRoot) {}

PortScanner::~PortScanner() { Stop(); }

int PortScanner::Start() {
  {
    std::lock_guard lock(passMutex_);
    std::string error;
    readerOpen_ = reader_.Open(error);
    if (!readerOpen_) return -1;
  }
  if (thread_.joinable() && !threadEnded_.load()) {
    map_.SetActive(true);
    return 0;
  }
  if (thread_.joinable()) thread_.join();  // ended by itself after a failed read
  {
    std::lock_guard lock(wakeMutex_);
    stopRequested_ = false;
  }
  threadEnded_.store(false);
  map_.SetActive(true);
  thread_ = std::thread([this] { PortScanThread(); });
  return 0;
}

void PortScanner::Stop() {
  map_.SetActive(false);
  {
    std::lock_guard lock(wakeMutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PortScanner::WaitForThreadEnd() {
  if (thread_.joinable()) thread_.join();
}

void PortScanner::PortScanThread() {
  while (map_.Active()) {
    // A table that cannot be read ends the scanning; attribution stays
    // active and lookups go on using the map as the last pass left it.
    if (!RunPass()) break;
    std::unique_lock lock(wakeMutex_);
    if (wake_.wait_for(lock, std::chrono::milliseconds(kPassPauseMs),
                       [this] { return stopRequested_; })) {
      break;
    }
  }
  threadEnded_.store(true);
}

PortScanStats PortScanner::LastPassStats() const {
  std::lock_guard lock(passMutex_);
  return stats_;
}

const std::string& PortScanner::LabelOf(int pid) {
  auto [it, isNew] = labels_.try_emplace(pid);
  if (isNew) {
    const std::string* name = processes_.NameOf(pid);
    it->second = name ? ProcessLabel(*name, pid) : ProcessIdLabel(pid);
  }
  return it->second;
}

bool PortScanner::RunPass() {
  std::lock_guard lock(passMutex_);
  std::string error;
  if (!readerOpen_) {
    readerOpen_ = reader_.Open(error);
    if (!readerOpen_) return false;
  }
  if (!reader_.Read(tables_, error)) return false;

  inodes_.clear();
  for (const PortTableRow& row : tables_.tcp) inodes_.push_back(row.inode);
  for (const PortTableRow& row : tables_.udp) inodes_.push_back(row.inode);
  const size_t fdReadsBefore = processes_.fdDirectoriesRead();
  processes_.Refresh(inodes_);

  stats_ = PortScanStats{};
  stats_.rows = inodes_.size();
  labels_.clear();
  pass_.clear();
  auto apply = [&](uint8_t protocol, const PortTableRow& row) {
    if (row.inode == 0) {
      pass_.push_back(EndpointLabel{protocol, 0, row.localPort, false, {}});
      return;
    }
    std::optional<int> owner = processes_.OwnerOf(row.inode);
    if (!owner) {
      // Another user's socket: keep what is known rather than guess.
      pass_.push_back(EndpointLabel{protocol, 0, row.localPort, false, {}});
      ++stats_.leftAsIs;
      return;
    }
    pass_.push_back(EndpointLabel{protocol, 0, row.localPort, true, LabelOf(*owner)});
    ++stats_.stored;
  };
  for (const PortTableRow& row : tables_.tcp) apply(6, row);
  for (const PortTableRow& row : tables_.udp) apply(17, row);
  map_.ReplaceFromPass(pass_);

  stats_.processes = processes_.processCount();
  stats_.fdDirectoriesRead = processes_.fdDirectoriesRead() - fdReadsBefore;
  return true;
}

}  // namespace corvane
