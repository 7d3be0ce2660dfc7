// The data folders: which folders the environment names, how they are
// created, and the one-time move of files an older build kept beside the
// executable.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "platform/data_folders.h"
#include "filters/filter_set.h"
#include "storage/data_migration.h"
#include "storage/history_store.h"
#include "storage/settings.h"
#include "storage/traffic_log.h"
#include "temp_dir.h"

namespace corvane {
namespace {

EnvironmentLookup Environment(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const char* name) -> std::optional<std::string> {
    auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
  };
}

TEST(DataFoldersTest, SymbolicLinksNamedLikeDataFilesAreNeverFollowed) {
  // Links to a file the user should not see shown as a log, a filter list
  // or settings.
  TempDir outside;
  outside.Write("secret", "10.0.0.9 x 1_B 1_B 2_B secret 2005-03-01_09:05:07 2005-03-01_09:05:07\n");
  TempDir dir;
  for (const char* name : {"2005-03-01_09t05t07.log", "filters.dat", "set.dat"}) {
    std::filesystem::create_symlink(outside.File("secret"), dir.File(name));
  }
  EXPECT_TRUE(ListLogs(dir.path()).empty());
  EXPECT_FALSE(ReadTrafficLog(dir.File("2005-03-01_09t05t07.log")));
  EXPECT_EQ(LoadFilterSet(dir.File("filters.dat")).status, FilterLoadStatus::Unreadable);
  EXPECT_FALSE(ReadSettingsFile(dir.File("set.dat")));
}

TEST(DataFoldersTest, FoldersFollowXdgRulesAndOneDataFolderOverridesThem) {
  const DataFolders defaults =
      ResolveDataFolders(std::nullopt, Environment({{"HOME", "/home/u"}}));
  EXPECT_EQ(defaults.config, "/home/u/.config/corvane");
  EXPECT_EQ(defaults.logs, "/home/u/.local/state/corvane/logs");
  EXPECT_EQ(defaults.history, "/home/u/.local/state/corvane/history.sqlite");

  // Relative or empty XDG values are not to be used.
  const DataFolders xdg = ResolveDataFolders(
      std::nullopt, Environment({{"HOME", "/home/u"},
                                 {"XDG_CONFIG_HOME", "/cfg/"},
                                 {"XDG_STATE_HOME", "relative/state"}}));
  EXPECT_EQ(xdg.config, "/cfg/corvane");
  EXPECT_EQ(xdg.logs, "/home/u/.local/state/corvane/logs");

  auto withVariable =
      Environment({{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/cfg"}, {kDataDirVariable, "/d/"}});
  EXPECT_EQ(ResolveDataFolders(std::nullopt, withVariable),
            (DataFolders{"/d", "/d", "/d/history.sqlite"}));
  EXPECT_EQ(ResolveDataFolders(std::string("/given"), withVariable),
            (DataFolders{"/given", "/given", "/given/history.sqlite"}))
      << "the option wins over the variable";

  // Without HOME (or with a relative one) the account's home, never the
  // current directory.
  const std::string home = ::getpwuid(::getuid())->pw_dir;
  for (const auto& environment : {Environment({}), Environment({{"HOME", "."}})}) {
    EXPECT_EQ(ResolveDataFolders(std::nullopt, environment).config, home + "/.config/corvane");
  }
}

// A local user who plants the data folder or the history, or links it
// elsewhere, would read the user's history or feed it false data.
TEST(DataFoldersTest, AnotherUsersFolderOrFileOrALinkIsRefusedAndNothingIsWrittenThere) {
  if (::geteuid() != 0) GTEST_SKIP() << "making another user's files needs root";
  constexpr uid_t kOther = 65534;  // nobody
  TempDir dir;
  auto plant = [](const std::string& path, mode_t mode) {
    ASSERT_EQ(::chown(path.c_str(), kOther, kOther), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
  };
  // The other user's open folder with a history anyone may write.
  const std::string theirs = dir.File("theirs");
  std::filesystem::create_directory(theirs);
  dir.Write("theirs/history.sqlite", "");
  plant(theirs, 0777);
  plant(theirs + "/history.sqlite", 0666);
  Status why = CheckDataFolders({theirs, theirs, theirs + "/history.sqlite"});
  EXPECT_NE(why.reason.find(theirs + " belongs to"), std::string::npos) << why.reason;
  EXPECT_FALSE(MakePrivateFolder(theirs).ok);
  const std::string command = std::string(CORVANE_CLI) + " report --data-dir " + theirs + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, n);
  }
  const int status = pipe ? ::pclose(pipe) : -1;
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_NE(out.find(theirs + " belongs to"), std::string::npos) << out;

  // The user's own folder, but open to others: the fix is named.
  const std::string loose = dir.File("loose");
  std::filesystem::create_directory(loose);
  ASSERT_EQ(::chmod(loose.c_str(), 0775), 0);
  why = CheckDataFolders({loose, loose, loose + "/history.sqlite"});
  EXPECT_NE(why.reason.find("chmod go-w " + loose), std::string::npos) << why.reason;

  // The user's own folder holding another user's history, then a link to
  // an empty file, which SQLite would make a database of.
  const std::string mine = dir.File("mine");
  std::filesystem::create_directory(mine);
  HistoryStore store;
  std::filesystem::copy_file(theirs + "/history.sqlite", mine + "/history.sqlite");
  plant(mine + "/history.sqlite", 0600);
  EXPECT_NE(store.Open(mine + "/history.sqlite").reason.find("belongs to"), std::string::npos);
  std::filesystem::remove(mine + "/history.sqlite");
  dir.Write("elsewhere", "");
  std::filesystem::create_symlink(dir.File("elsewhere"), mine + "/history.sqlite");
  EXPECT_FALSE(CheckDataFolders({mine, mine, mine + "/history.sqlite"}).ok);
  EXPECT_FALSE(store.Open(mine + "/history.sqlite").ok);

  EXPECT_EQ(std::filesystem::file_size(dir.File("elsewhere")), 0u);
  EXPECT_EQ(std::filesystem::file_size(theirs + "/history.sqlite"), 0u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(theirs),
                          std::filesystem::directory_iterator()),
            1)
      << "nothing new in the other user's folder";
}

TEST(DataFoldersTest, MissingFoldersAreCreatedOwnerOnlyAndAFileInTheWayIsReported) {
  TempDir dir;
  Status why;
  const std::string logs = dir.path() + "/state/corvane/logs";
  ASSERT_TRUE((why = MakePrivateFolder(logs)).ok) << why.reason;
  for (const std::string& folder : {dir.path() + "/state/corvane", logs}) {
    struct stat info;
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
  }
  EXPECT_TRUE((why = MakePrivateFolder(logs)).ok) << "an existing folder is fine";

  dir.Write("file", "x");
  EXPECT_FALSE((why = MakePrivateFolder(dir.File("file"))).ok);
  EXPECT_NE(why.reason.find(dir.File("file")), std::string::npos) << why.reason;
  EXPECT_FALSE((why = MakePrivateFolder(dir.File("file") + "/below")).ok);
}

class MigrationTest : public ::testing::Test {
 protected:
  MigrationTest() {
    std::filesystem::create_directories(folders_.config);
    std::filesystem::create_directories(folders_.logs);
    std::filesystem::create_directories(old_);
  }
  void WriteOld(const std::string& name, const std::string& content) {
    std::ofstream(old_ + "/" + name, std::ios::binary) << content;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TempDir dir_;
  std::string old_ = dir_.path() + "/bin";
  DataFolders folders_{dir_.path() + "/config", dir_.path() + "/logs",
                       dir_.path() + "/history.sqlite"};
};

TEST_F(MigrationTest, DataFilesMoveOnceAndNothingIsReplacedOrLost) {
  WriteOld("set.dat", "1 0 0 ? ? 4294967295\r\n");
  WriteOld("filters.dat", "old filters");
  WriteOld("2024-03-01_10t00t00.log", "old log");
  WriteOld("build.log", "not ours");
  std::ofstream(folders_.config + "/filters.dat") << "new filters";

  const MigrationResult result = MigrateOldDataFiles(old_, folders_);
  EXPECT_EQ(result.moved, (std::vector<std::string>{folders_.config + "/set.dat",
                                                    folders_.logs + "/2024-03-01_10t00t00.log"}));
  EXPECT_EQ(result.kept, std::vector<std::string>{old_ + "/filters.dat"});
  EXPECT_TRUE(result.failures.empty());
  EXPECT_EQ(Read(folders_.config + "/set.dat"), "1 0 0 ? ? 4294967295\r\n");
  EXPECT_EQ(Read(folders_.logs + "/2024-03-01_10t00t00.log"), "old log");
  EXPECT_EQ(Read(folders_.config + "/filters.dat"), "new filters");
  EXPECT_EQ(Read(old_ + "/filters.dat"), "old filters");
  EXPECT_EQ(Read(old_ + "/build.log"), "not ours");
  EXPECT_FALSE(std::filesystem::exists(old_ + "/set.dat"));

  const std::string message = MigrationMessage(old_, result);
  EXPECT_NE(message.find(folders_.config + "/set.dat"), std::string::npos) << message;
  EXPECT_NE(message.find(old_ + "/filters.dat"), std::string::npos) << message;

  const MigrationResult again = MigrateOldDataFiles(old_, folders_);
  EXPECT_TRUE(again.moved.empty());
  EXPECT_EQ(MigrationMessage(old_, again), "") << "no message once everything has moved";
}

TEST_F(MigrationTest, AFileThatCannotMoveStaysAndIsReported) {
  WriteOld("set.dat", "kept");
  std::filesystem::remove_all(folders_.config);  // nowhere to move to
  const MigrationResult result = MigrateOldDataFiles(old_, folders_);
  ASSERT_EQ(result.failures.size(), 1u);
  EXPECT_EQ(Read(old_ + "/set.dat"), "kept");
  EXPECT_NE(MigrationMessage(old_, result).find("set.dat"), std::string::npos);
}

TEST_F(MigrationTest, ADataFolderBesideTheExecutableIsLeftAlone) {
  std::ofstream(folders_.config + "/set.dat") << "here";
  EXPECT_TRUE(MigrateOldDataFiles(folders_.config, folders_).Empty());
  EXPECT_EQ(Read(folders_.config + "/set.dat"), "here");
}

}  // namespace
}  // namespace corvane
