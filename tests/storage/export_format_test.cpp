#include "storage/export_format.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "vocabulary/text_format.h"
#include "storage/traffic_log.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

// Reads an export the way other programs do, with Python's csv and json
// modules (strict UTF-8), and prints one line per record: every CSV field,
// and every JSON string, as "x" and the hex of its UTF-8 bytes; JSON numbers
// in decimal, null as "null", each JSON value after its key.
constexpr const char* kReader = R"(import csv, json, sys
kind, path = sys.argv[1], sys.argv[2]
def show(v):
    if v is None: return 'null'
    if isinstance(v, bool): return 'bool'
    if isinstance(v, int): return str(v)
    if isinstance(v, str): return 'x' + v.encode('utf-8').hex()
    return 'other'
with open(path, encoding='utf-8', newline='') as f:
    if kind == 'json':
        for record in json.load(f):
            print('\t'.join(k + '=' + show(v) for k, v in record.items()))
    else:
        for record in csv.reader(f, strict=True):
            print('\t'.join(show(v) for v in record))
)";

constexpr int64_t kEvening = 1796670780;  // 2026-12-07T19:13:00Z

std::string Hex(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex = "x";
  for (const char c : text) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

class ExportFormatTest : public ::testing::Test {
 protected:
  ExportFormatTest() { dir_.Write("reader.py", kReader); }

  static std::string Run(const std::string& command, int& status) {
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      out.append(buffer, n);
    status = pipe ? ::pclose(pipe) : -1;
    return out;
  }

  // The records of the export file `name` as Python reads them; empty when
  // Python refuses the file.
  std::string ReadBack(const std::string& kind, const std::string& name) {
    int status = -1;
    std::string out =
        Run("python3 " + dir_.File("reader.py") + " " + kind + " " + dir_.File(name), status);
    EXPECT_EQ(status, 0) << kind << " export does not parse: " << dir_.Read(name);
    return status == 0 ? out : std::string();
  }

  TempDir dir_;
};

// Names come from the network and from processes: every one of them must
// come back unchanged (or defused, for formulas, or replaced, for bytes that
// are not UTF-8) from a standard CSV or JSON reader, and byte counts past
// 2^32 and 2^53 must stay exact.
TEST_F(ExportFormatTest, HostileNamesReadBackExactlyAndCountsBeyond32And53BitsStayExact) {
  const std::string quoting = "a,b\"c\nd\re";
  const std::string controls = std::string("x\x01y\x1f\r") + "z\x7f\t" + std::string(1, '\0') + "!";
  const std::string invalidUtf8 = "bad\xff\xc0\xaf" "end\xed\xa0\x80" "cut\xe4\xbd";
  const std::string replaced = "bad\uFFFD\uFFFD\uFFFDend\uFFFD\uFFFD\uFFFDcut\uFFFD\uFFFD";
  const std::string unicode = "b\u00FCcher.\u4F8B";
  const uint64_t beyond32 = (uint64_t{1} << 32) + 3;
  const uint64_t beyond53 = (uint64_t{1} << 53) + 1;  // not a double
  const std::vector<ExportRow> rows = {
      {"198.18.0.7", quoting, "=cmd|' /C calc'!A0:42", {beyond32, beyond53, kEvening, kEvening + 61}},
      {"2001:db8::1", controls, "-2+3", {0, 1, 0, 0}},
      {"+1", invalidUtf8, "@SUM(A1)", {7, 0, kEvening, kEvening}},
      {"198.18.0.8", unicode, "ICMP", {1, 2, kEvening, kEvening}},
  };
  ASSERT_TRUE(WriteExportFile(dir_.File("rows.csv"), rows, ExportFormat::kCsv));
  ASSERT_TRUE(WriteExportFile(dir_.File("rows.json"), rows, ExportFormat::kJson));

  auto csvLine = [](const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + Hex(field);
    return line + "\n";
  };
  const std::string total = std::to_string(beyond32 + beyond53);
  EXPECT_EQ(ReadBack("csv", "rows.csv"),
            csvLine({"remote_address", "remote_host", "downloaded_bytes", "uploaded_bytes",
                     "total_bytes", "local_source", "first_activity", "last_activity"}) +
                csvLine({"198.18.0.7", quoting, std::to_string(beyond32), std::to_string(beyond53),
                         total, "'=cmd|' /C calc'!A0:42", "2026-12-07T19:13:00Z",
                         "2026-12-07T19:14:01Z"}) +
                csvLine({"2001:db8::1", controls, "0", "1", "1", "'-2+3", "", ""}) +
                csvLine({"'+1", replaced, "7", "0", "7", "'@SUM(A1)", "2026-12-07T19:13:00Z",
                         "2026-12-07T19:13:00Z"}) +
                csvLine({"198.18.0.8", unicode, "1", "2", "3", "ICMP", "2026-12-07T19:13:00Z",
                         "2026-12-07T19:13:00Z"}));

  const std::string json = ReadBack("json", "rows.json");
  EXPECT_EQ(json.substr(0, json.find('\n') + 1),
            "remote_address=" + Hex("198.18.0.7") + "\tremote_host=" + Hex(quoting) +
                "\tdownloaded_bytes=" + std::to_string(beyond32) +
                "\tuploaded_bytes=" + std::to_string(beyond53) + "\ttotal_bytes=" + total +
                "\tlocal_source=" + Hex("=cmd|' /C calc'!A0:42") + "\tfirst_activity=" +
                Hex("2026-12-07T19:13:00Z") + "\tlast_activity=" + Hex("2026-12-07T19:14:01Z") +
                "\n");
  // JSON has no formulas to defuse: names stay as they were, apart from
  // bytes that are not UTF-8; an unknown time is null.
  EXPECT_NE(json.find("remote_host=" + Hex(controls) + "\tdownloaded_bytes=0\tuploaded_bytes=1"
                      "\ttotal_bytes=1\tlocal_source=" + Hex("-2+3") +
                      "\tfirst_activity=null\tlast_activity=null\n"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("remote_address=" + Hex("+1") + "\tremote_host=" + Hex(replaced)),
            std::string::npos);
  EXPECT_NE(json.find("remote_host=" + Hex(unicode)), std::string::npos);

  ASSERT_TRUE(WriteExportFile(dir_.File("empty.json"), {}, ExportFormat::kJson));
  EXPECT_EQ(ReadBack("json", "empty.json"), "");
  EXPECT_FALSE(WriteExportFile(dir_.File("missing/rows.csv"), rows, ExportFormat::kCsv))
      << "a folder that is not there is a reason, not a crash";
}

// corvane-cli logs --show --format reads a log as the writer saved it: the
// rounded byte texts and local times become whole bytes and UTC.
TEST_F(ExportFormatTest, LogsCommandExportsALogWithTheNumbersItsTextsShow) {
  const RowCells row = {"198.18.0.9", "my host", "1.23 KB",       "5.00 GB",
                        "5.00 GB",    "ssh:77",  FormatTimestamp(kEvening), FormatTimestamp(kEvening + 5)};
  ASSERT_TRUE(SaveTrafficLog(dir_.path(), {row}, kEvening));
  const std::string name = LogDisplayName(LogBaseName(kEvening) + kLogSuffix);
  int status = -1;
  const std::string command = std::string(CORVANE_CLI) + " logs " + dir_.path() + " --show '" +
                              name + "' --format ";
  dir_.Write("log.json", Run(command + "json", status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadBack("json", "log.json"),
            "remote_address=" + Hex("198.18.0.9") + "\tremote_host=" + Hex("my_host") +
                "\tdownloaded_bytes=1259\tuploaded_bytes=5368709120\ttotal_bytes=5368710379"
                "\tlocal_source=" + Hex("ssh:77") + "\tfirst_activity=" +
                Hex("2026-12-07T19:13:00Z") + "\tlast_activity=" + Hex("2026-12-07T19:13:05Z") +
                "\n");
  dir_.Write("log.csv", Run(command + "csv", status));
  EXPECT_EQ(status, 0);
  const std::string csv = dir_.Read("log.csv");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 2) << csv;

  Run(std::string(CORVANE_CLI) + " logs " + dir_.path() + " --show '" + name + "' --format xml",
      status);
  EXPECT_EQ(WEXITSTATUS(status), 2);
  Run(std::string(CORVANE_CLI) + " logs " + dir_.path() + " --format json", status);
  EXPECT_EQ(WEXITSTATUS(status), 2) << "--format without a log to show";
}

}  // namespace
}  // namespace corvane
