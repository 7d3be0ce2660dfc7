// A directory laid out like /proc for the port scanner: net/tcp, net/udp
// (optionally tcp6, udp6) and /[pid]/{fd/N -> socket:[inode], exe, comm}.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace corvane::testing {

class FakeProc {
 public:
  // 127.0.0.1 in network byte order.
  static inline const uint32_t kLocal = htonl(0x7f000001);

  FakeProc() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::temp_directory_path() /
            ("corvane_fake_proc_" + std::to_string(::getpid()) + "_" + info->test_suite_name() +
             "_" + info->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "net");
    WriteTables();
  }
  ~FakeProc() { std::filesystem::remove_all(root_); }
  FakeProc(const FakeProc&) = delete;
  FakeProc& operator=(const FakeProc&) = delete;

  std::string root() const { return root_.string(); }

  // A process with an exe link (empty: none) and a comm file (empty: none).
  void AddProcess(int pid, const std::string& exe, const std::string& comm = "") {
    const auto dir = root_ / std::to_string(pid);
    std::filesystem::create_directories(dir / "fd");
    if (!exe.empty()) std::filesystem::create_symlink(exe, dir / "exe");
    if (!comm.empty()) std::ofstream(dir / "comm") << comm << "\n";
  }
  void RemoveProcess(int pid) { std::filesystem::remove_all(root_ / std::to_string(pid)); }
  void AddSocket(int pid, int fd, uint64_t inode) {
    std::filesystem::create_symlink("socket:[" + std::to_string(inode) + "]",
                                    root_ / std::to_string(pid) / "fd" / std::to_string(fd));
  }
  void AddOtherFd(int pid, int fd, const std::string& target) {
    std::filesystem::create_symlink(target, root_ / std::to_string(pid) / "fd" / std::to_string(fd));
  }
  void CloseFd(int pid, int fd) {
    std::filesystem::remove(root_ / std::to_string(pid) / "fd" / std::to_string(fd));
  }

  // Rows of the IPv4 tables: (local port, inode), all bound to kLocal.
  void SetTcp(std::vector<std::pair<uint16_t, uint64_t>> rows) { tcp_ = std::move(rows); WriteTables(); }
  void SetUdp(std::vector<std::pair<uint16_t, uint64_t>> rows) { udp_ = std::move(rows); WriteTables(); }
  void RemoveTable(const std::string& name) { std::filesystem::remove(root_ / "net" / name); }

 private:
  static std::string Table(const std::vector<std::pair<uint16_t, uint64_t>>& rows) {
    std::string text =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n";
    int slot = 0;
    for (auto [port, inode] : rows) {
      char line[200];
      // The kernel prints the address as a host-order word.
      std::snprintf(line, sizeof line,
                    "%4d: %08X:%04X 00000000:0000 0A 00000000:00000000 00:00000000 00000000 "
                    "    0        0 %llu 1 0000000000000000 100 0 0 10 0\n",
                    slot++, kLocal, port, static_cast<unsigned long long>(inode));
      text += line;
    }
    return text;
  }
  void WriteTables() {
    std::ofstream(root_ / "net" / "tcp") << Table(tcp_);
    std::ofstream(root_ / "net" / "udp") << Table(udp_);
  }

  std::filesystem::path root_;
  std::vector<std::pair<uint16_t, uint64_t>> tcp_;
  std::vector<std::pair<uint16_t, uint64_t>> udp_;
};

}  // namespace corvane::testing
