// corvane-cli top and record on real loopback traffic, with the built
// capture helper installed beside the program. Other programs are copies of
// udp_sender under names of their own, so each has its own label. Captures
// on lo, so it runs under the capture lock (fixture name *Loopback*).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "attribution/system_sockets.h"
#include "storage/temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// What a shell command printed, and its exit status.
std::string Output(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int result = ::pclose(pipe);
  if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}

// A child process (argv[0] is the program), stdin a pipe the test holds,
// stdout a pipe or the file `log` with stderr. Killed if still running at
// the end of the test.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& log) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(input[0], 0);
      const int err = log.empty() ? ::open("/dev/null", O_WRONLY)
                                  : ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(log.empty() ? output[1] : err, 1);
      ::dup2(err, 2);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    stdin_ = input[1];
    stdout_ = ::fdopen(output[0], "r");
  }
  ~Child() {
    if (stdout_) std::fclose(stdout_);
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Its first line of output.
  std::string Line() {
    char line[64] = {};
    return stdout_ && std::fgets(line, sizeof line, stdout_) ? line : "";
  }
  // Closes its stdin and waits; its exit status.
  int Wait() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* stdout_ = nullptr;
};

class ToolsLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    CORVANE_REQUIRE(::geteuid() == 0, "running the built capture helper needs root");
    // corvane-cli with the helper beside it, as installed.
    fs::create_directories(dir_.File("bin"));
    fs::create_directories(dir_.File("libexec/corvane"));
    fs::copy_file(CORVANE_CLI, cli_);
    fs::copy_file(CORVANE_TEST_HELPER, dir_.File("libexec/corvane/corvane-capture"));
    ASSERT_TRUE(receiver_.Bind("127.0.0.1"));
  }

  // Starts a program called `name` sending `count` datagrams of `size`
  // bytes to the receiver (0: until it is stopped); its port in `port`.
  std::unique_ptr<Child> Sender(const std::string& name, int size, int count, uint16_t& port) {
    const std::string path = dir_.File("bin/" + name);
    if (!fs::exists(path)) fs::copy_file(CORVANE_TEST_SENDER, path);
    auto child = std::make_unique<Child>(
        std::vector<std::string>{path, std::to_string(receiver_.Port()), std::to_string(size),
                                 std::to_string(count)},
        "");
    port = static_cast<uint16_t>(std::atoi(child->Line().c_str()));
    return child;
  }

  TempDir dir_;
  const std::string cli_ = dir_.File("bin/corvane-cli");
  const std::string data_ = dir_.File("data");
  testing::Socket receiver_{SOCK_DGRAM};
};

// tmux's screen of one session, ended with the test.
class Tmux {
 public:
  explicit Tmux(const std::string& command)
      : socket_("corvane-test-" + std::to_string(::getpid())) {
    Output(Base() + "new-session -d -x 120 -y 30 '" + command + "'");
  }
  ~Tmux() { Output(Base() + "kill-server 2>/dev/null"); }
  std::string Screen() const { return Output(Base() + "capture-pane -p"); }
  void Keys(const std::string& keys) const { Output(Base() + "send-keys " + keys); }
  // Waits until the screen shows `text`; the screen then.
  std::string WaitFor(const std::string& text) const {
    std::string screen;
    for (auto end = Clock::now() + std::chrono::seconds(30); Clock::now() < end;) {
      if ((screen = Screen()).find(text) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return screen;
  }

 private:
  std::string Base() const { return "tmux -L " + socket_ + " "; }
  std::string socket_;
};

// Whether `first` starts a line of `screen` above the line `second` starts.
bool Above(const std::string& screen, const std::string& first, const std::string& second) {
  const size_t a = screen.find("\n" + first);
  const size_t b = screen.find("\n" + second);
  return a != std::string::npos && b != std::string::npos && a < b;
}

TEST_F(ToolsLoopback, TopShowsProgramsWithRatesSortsByKeyAndRestoresTheTerminal) {
  CORVANE_REQUIRE(std::system("tmux -V >/dev/null 2>&1") == 0, "this test needs tmux");
  uint16_t port = 0;
  auto big = Sender("cv-zbig", 1200, 0, port);
  auto small = Sender("cv-asmall", 50, 0, port);
  const std::string before = dir_.File("before");
  const std::string after = dir_.File("after");
  Tmux tmux("stty -g >" + before + "; " + cli_ + " top --interface lo --no-history --data-dir " +
            data_ + " 2>" + dir_.File("top.log") + "; stty -g >" + after + "; sleep 60");

  // Sorted by upload rate the busy program is first; by name the other.
  tmux.Keys("u");
  std::string screen = tmux.WaitFor("\ncv-asmall");
  ASSERT_TRUE(Above(screen, "cv-zbig", "cv-asmall")) << screen << dir_.Read("top.log");
  const size_t start = screen.find("\ncv-zbig") + 1;
  const std::string row = screen.substr(start, screen.find('\n', start) - start);
  EXPECT_NE(row.find("KB/s"), std::string::npos) << screen;
  EXPECT_NE(screen.find("PROGRAM"), std::string::npos) << screen;
  tmux.Keys("n");
  screen = tmux.WaitFor("sort: name");
  EXPECT_TRUE(Above(screen, "cv-asmall", "cv-zbig")) << screen;

  // q leaves the full screen with the terminal's modes as they were.
  tmux.Keys("q");
  for (auto end = Clock::now() + std::chrono::seconds(30);
       Clock::now() < end && dir_.Read("after").empty();) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(dir_.Read("after").empty()) << tmux.Screen();
  EXPECT_EQ(dir_.Read("after"), dir_.Read("before"));
  EXPECT_EQ(tmux.Screen().find("PROGRAM"), std::string::npos) << tmux.Screen();
}

// One row of tshark's fields: the UDP source port and the packet comment.
std::vector<std::pair<std::string, std::string>> PortsAndComments(const std::string& file) {
  std::vector<std::pair<std::string, std::string>> packets;
  std::istringstream lines(
      Output("tshark -r " + file + " -T fields -e udp.srcport -e frame.comment 2>/dev/null"));
  for (std::string line; std::getline(lines, line);) {
    const size_t tab = line.find('\t');
    packets.emplace_back(line.substr(0, tab), tab == std::string::npos ? "" : line.substr(tab + 1));
  }
  return packets;
}

TEST_F(ToolsLoopback, RecordWritesEveryDatagramOfTheProgramAndNothingElse) {
  CORVANE_REQUIRE(std::system("tshark -v >/dev/null 2>&1") == 0, "this test needs tshark");
  const std::string file = dir_.File("cv-rec.pcapng");
  Child record({cli_, "record", "--program", "cv-rec", "--interface", "lo", "--seconds", "6",
                "--data-dir", data_, file},
               dir_.File("record.log"));
  for (auto end = Clock::now() + std::chrono::seconds(30);
       Clock::now() < end && dir_.Read("record.log").find("recording ") == std::string::npos;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(dir_.Read("record.log").find("recording "), std::string::npos) << dir_.Read("record.log");
  constexpr int kDatagrams = 40;
  uint16_t port = 0;
  uint16_t otherPort = 0;
  auto recorded = Sender("cv-rec", 300, kDatagrams, port);
  auto other = Sender("cv-other", 300, kDatagrams, otherPort);
  auto third = Sender("cv-third", 2000, kDatagrams, otherPort);
  ASSERT_EQ(record.Wait(), 0) << dir_.Read("record.log");

  struct stat info{};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const auto packets = PortsAndComments(file);
  const std::string label = "cv-rec:" + std::to_string(recorded->pid());
  EXPECT_EQ(packets.size(), static_cast<size_t>(kDatagrams)) << dir_.Read("record.log");
  for (const auto& [source, comment] : packets) {
    EXPECT_EQ(source, std::to_string(port));
    EXPECT_EQ(comment, label);
  }
}

}  // namespace
}  // namespace corvane
