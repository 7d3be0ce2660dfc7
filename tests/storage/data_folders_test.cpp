// The data folders: which folders the environment names, how they are
// created, and the one-time move of files an older build kept beside the
// executable.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "platform/data_folders.h"
#include "filters/filter_set.h"
#include "storage/data_migration.h"
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
