#include "attribution/port_scanner.h"

#include <chrono>
#include <utility>

#include "attribution/port_process_map.h"
#include "vocabulary/text_format.h"

namespace corvane {

std::string ProcessLabel(std::string_view rawName, int pid) {
  // The name is the process owner's choice, from /proc or from the kernel;
  // cleaning never makes it longer.
  const std::string cleaned = SanitizeNetworkText(rawName, Blanks::kKeep);
  const std::string_view name = cleaned;
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

PortScanner::PortScanner(PortProcessMap& map, Env& env)
    : map_(map), env_(env), reader_(env.ProcRoot()), processes_(env.ProcRoot()) {}

PortScanner::~PortScanner() { Stop(); }

Status PortScanner::Start() {
  {
    MutexLock lock(passMutex_);
    Status opened = reader_.Open();
    readerOpen_ = opened.ok;
    if (!opened) return opened;
  }
  if (thread_.joinable() && !threadEnded_.load()) {
    map_.SetActive(true);
    return Status::Ok();
  }
  if (thread_.joinable()) thread_.join();  // ended by itself after a failed read
  stopRequested_.store(false);
  threadEnded_.store(false);
  map_.SetActive(true);
  thread_ = env_.StartThread("corvane-ports", [this] { PortScanThread(); });
  return Status::Ok();
}

void PortScanner::Stop() {
  map_.SetActive(false);
  stopRequested_.store(true);
  map_.Wake();
  if (thread_.joinable()) thread_.join();
}

void PortScanner::WaitForThreadEnd() {
  if (thread_.joinable()) thread_.join();
}

void PortScanner::PortScanThread() {
  using Clock = std::chrono::steady_clock;
  const auto pause = std::chrono::milliseconds(kPassPauseMs);
  // While kernel events name every socket that starts, the tables are read
  // once, for the sockets that were open before; after that only requests
  // are served. This long wait only notices that the events stopped.
  const auto eventsCheck = std::chrono::milliseconds(kKernelEventsCheckMs);
  auto nextPass = Clock::now();
  bool passedWithEvents = false;
  std::vector<SocketTuple> requests;
  while (!stopRequested_.load() && map_.Active()) {
    const bool kernelEvents = map_.KernelEvents();
    if (!kernelEvents) passedWithEvents = false;
    const auto now = Clock::now();
    if (now >= nextPass) {
      if (!(kernelEvents && passedWithEvents)) {
        // A table that cannot be read ends the scanning; attribution stays
        // active and lookups go on using the map as the last pass left it.
        if (Status pass = RunPass(); !pass) {
          if (stoppedHandler_) stoppedHandler_(pass);
          break;
        }
        passedWithEvents = kernelEvents;
      }
      nextPass = Clock::now() + (map_.KernelEvents() ? eventsCheck : pause);
      continue;
    }
    requests.clear();
    map_.WaitForRequests(std::chrono::ceil<std::chrono::milliseconds>(nextPass - now), requests);
    if (stopRequested_.load()) break;
    if (!requests.empty()) ServeRequests(requests);
  }
  threadEnded_.store(true);
}

void PortScanner::ServeRequests(const std::vector<SocketTuple>& requests) {
  for (const SocketTuple& tuple : requests) {
    if (std::optional<std::string> label = LookUpExact(tuple)) {
      map_.StoreAnswer(tuple, std::move(*label));
    }
    {
      MutexLock lock(servedMutex_);
      ++requestsServed_;
    }
    servedChanged_.notify_all();
  }
}

std::optional<std::string> PortScanner::LookUpExact(const SocketTuple& tuple) {
  MutexLock lock(passMutex_);
  const SocketLookupResult socket = env_.FindSocket(tuple.protocol, tuple.localAddress,
                                                    tuple.localPort, tuple.remoteAddress,
                                                    tuple.remotePort);
  // Inode 0: the connection is closing and no process holds it any more.
  if (socket.status != SocketLookupStatus::kFound || socket.inode == 0) return std::nullopt;
  const std::optional<int> owner = processes_.FindHolder(socket.inode, socket.uid);
  if (!owner) return std::nullopt;
  const std::string* name = processes_.NameOf(*owner);
  return name ? ProcessLabel(*name, *owner) : ProcessIdLabel(*owner);
}

bool PortScanner::WaitForRequestsServed(uint64_t count, std::chrono::milliseconds timeout) {
  MutexLock lock(servedMutex_);
  return servedChanged_.wait_for(lock, timeout,
                                 [&]() REQUIRES(servedMutex_) { return requestsServed_ >= count; });
}

PortScanStats PortScanner::LastPassStats() const {
  MutexLock lock(passMutex_);
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

Status PortScanner::RunPass() {
  MutexLock lock(passMutex_);
  if (!readerOpen_) {
    Status opened = reader_.Open();
    readerOpen_ = opened.ok;
    if (!opened) return opened;
  }
  if (Status read = reader_.Read(tables_); !read) return read;

  inodes_.clear();
  for (const PortTableRow& row : tables_.tcp) inodes_.push_back(row.inode);
  for (const PortTableRow& row : tables_.udp) inodes_.push_back(row.inode);
  const size_t fdReadsBefore = processes_.fdDirectoriesRead();
  processes_.Refresh(inodes_);

  stats_ = PortScanStats{};
  stats_.rows = inodes_.size();
  labels_.clear();
  pass_.clear();
  auto apply = [&](uint8_t protocol, const PortTableRow& row) REQUIRES(passMutex_) {
    const std::optional<int> owner =
        row.inode == 0 ? std::nullopt : processes_.OwnerOf(row.inode);
    if (!owner) {
      // A closing connection, or another user's socket: keep what is known
      // rather than guess.
      pass_.push_back(EndpointLabel{protocol, row.localAddress, row.localPort, false, {}});
      if (row.inode != 0) ++stats_.leftAsIs;
      return;
    }
    pass_.push_back(
        EndpointLabel{protocol, row.localAddress, row.localPort, true, LabelOf(*owner)});
    ++stats_.stored;
  };
  for (const PortTableRow& row : tables_.tcp) apply(6, row);
  for (const PortTableRow& row : tables_.udp) apply(17, row);
  map_.ReplaceFromPass(pass_);

  stats_.processes = processes_.processCount();
  stats_.fdDirectoriesRead = processes_.fdDirectoriesRead() - fdReadsBefore;
  return Status::Ok();
}

}  // namespace corvane
