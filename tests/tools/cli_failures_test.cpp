// corvane-cli on input it cannot use: each failure is a clear message and a
// non-zero exit before anything is counted, never totals that look complete
// with exit 0; --help and --version answer on the standard output.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/interfaces.h"
#include "platform/ip_address.h"
#include "platform/net.h"
#include "support/pcap_writer.h"
#include "support/datagram_builder.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

struct CliRun {
  int exitCode = -1;
  std::string out;  // standard output, or both streams when asked
};

CliRun RunCli(const std::string& arguments, bool withErrors) {
  CliRun run;
  const std::string command =
      std::string(CORVANE_CLI) + " " + arguments + (withErrors ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, n);
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

class CliFailuresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("corvane-cli-failures-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    dataDir_ = " --data-dir " + (dir_ / "data").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::string dataDir_;
};

TEST_F(CliFailuresTest, HelpAndVersionAnswerOnStandardOutputWithExitZero) {
  const CliRun help = RunCli("--help", false);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("usage:\n", 0), 0u) << help.out;
  const CliRun version = RunCli("--version", false);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "corvane-cli " CORVANE_VERSION "\n");
}

// A capture cut short by a full disk: the reason and exit 1, and no totals,
// which would read as the whole file's.
TEST_F(CliFailuresTest, TruncatedCaptureFileEndsWithReasonAndNoTotals) {
  const std::string path = (dir_ / "cut.pcap").string();
  PcapWriter writer;
  Status why;
  ASSERT_TRUE((why = writer.Open(path, 1)).ok) << why.reason;
  const auto frame = testing::EthernetFrame(
      testing::BuildDatagram({MakeAddress(10, 0, 0, 1), MakeAddress(192, 168, 1, 10), 17, 1, 2, 100}));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(writer.Write(1700000000 + i, 0, frame));
  ASSERT_TRUE(writer.Close());
  fs::resize_file(path, fs::file_size(path) - 30);

  const CliRun run = RunCli("replay " + path + " --interface 192.168.1.10" + dataDir_, true);
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_NE(run.out.find("damaged record in " + path + ": truncated"), std::string::npos) << run.out;
  EXPECT_EQ(("\n" + run.out).find("\ntotals "), std::string::npos) << run.out;
}

// A log folder that is missing fails at once, before the run whose log it
// would lose.
TEST_F(CliFailuresTest, MissingLogFolderFailsBeforeTheRunStarts) {
  const std::string missing = (dir_ / "no-such-folder").string();
  for (const std::string& command : {std::string("watch --seconds 30 --no-history"),
                                     "replay " + missing + ".pcap --interface 192.168.1.10"}) {
    const CliRun run = RunCli(command + " --save-log " + missing + dataDir_, true);
    EXPECT_EQ(run.exitCode, 1) << command << ": " << run.out;
    EXPECT_NE(run.out.find("can't save logs: " + missing + ": No such file or directory"),
              std::string::npos)
        << run.out;
  }
}

// An address of another host would be watched on no interface and count
// nothing; one inside lo's 127.0.0.0/8 is this host's.
TEST_F(CliFailuresTest, WatchOfAnAddressThatIsNotThisHostsIsRefusedWithTheInterfaces) {
  EXPECT_TRUE(IsLocalAddress(*ParseIp("127.0.0.2")));
  EXPECT_TRUE(IsLocalAddress(*ParseIp("::1")));
  EXPECT_FALSE(IsLocalAddress(*ParseIp("192.0.2.77")));

  const CliRun run = RunCli("watch --interface 192.0.2.77 --seconds 30 --no-history" + dataDir_, true);
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_NE(run.out.find("192.0.2.77 is not an address of this host; its interfaces: "),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("lo (127.0.0.1/8"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace corvane
