#include "vocabulary/text_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <utility>
#include <cstdio>
#include <ctime>
#include <vector>
#include <set>

#include "attribution/port_process_map.h"
#include "engine/protocol_names.h"

namespace corvane {
namespace {

// Each unit starts at 1024 of the one below; just below it the text rounds
// within its own unit. Every text reads back to its count within half a
// hundredth of its unit, never out of order, and the parser still reads the
// unit words of older logs and is never led past the text.
TEST(ByteCountTest, UnitsChangeAtTheirBoundariesAndEveryTextReadsBackInOrder) {
  const std::vector<std::pair<uint64_t, std::string>> cases{
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.00 KB"},
      {1536, "1.50 KB"},
      {1048575, "1024.00 KB"},
      {1048576, "1.00 MB"},
      {1073736581, "1023.99 MB"},
      {1073736582, "1024.00 MB"},
      {1073741823, "1024.00 MB"},
      {1073741824, "1.00 GB"},
      {4294967295u, "4.00 GB"},
      {4587450000u, "4.27 GB"},
      {1099506259066u, "1023.99 GB"},
      {1099511627775u, "1024.00 GB"},
      {1099511627776u, "1.00 TB"},
      {(uint64_t{1} << 59) - 1, "524288.00 TB"},
      {(uint64_t{1} << 59) + (uint64_t{1} << 39) - 1, "524288.50 TB"},
      {UINT64_MAX, "16777216.00 TB"},
  };
  double previous = -1;
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(FormatByteCount(bytes), text) << bytes;
    std::optional<double> value = ByteCountValue(text);
    ASSERT_TRUE(value) << text;
    EXPECT_LE(std::abs(*value - static_cast<double>(bytes)), 0.005 * static_cast<double>(bytes))
        << text;
    EXPECT_GE(*value, previous) << text;
    previous = *value;
  }
  EXPECT_EQ(ByteCountValue("4096.00 MB"), 4294967296.0);  // a count as older logs wrote it
  EXPECT_EQ(ByteCountValue(" 2 G"), 2.0 * 1073741824.0);
  EXPECT_EQ(ByteCountValue("3 TB"), 3.0 * 1099511627776.0);
  EXPECT_EQ(ByteCountValue("12"), 12.0);
  EXPECT_FALSE(ByteCountValue(""));
  EXPECT_FALSE(ByteCountValue("junk"));
  EXPECT_FALSE(ByteCountValue("nan B"));
  EXPECT_FALSE(ByteCountValue(std::string_view("7 KB", 0)));
  EXPECT_EQ(ByteCountValue(std::string_view("7 KB", 1)), 7.0);  // the unit lies past the view
}

class TimestampTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    savedTz_ = tz ? tz : "";
    hadTz_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_) setenv("TZ", savedTz_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }
  std::string savedTz_;
  bool hadTz_ = false;
};

TEST_F(TimestampTest, FormatPadsEveryFieldButTheYear) {
  EXPECT_EQ(FormatTimestamp(1110204309), "2005-03-07 14:05:09");
}

TEST_F(TimestampTest, ParseIsTheInverseOfFormat) {
  for (int64_t t : {0LL, 1110204309LL, 1700000000LL, 4102444799LL}) {
    EXPECT_EQ(ParseTimestamp(FormatTimestamp(t)), t) << t;
  }
}

TEST_F(TimestampTest, TextThatIsNotATimestampYieldsZero) {
  EXPECT_EQ(ParseTimestamp(""), 0);
  EXPECT_EQ(ParseTimestamp("yesterday"), 0);
  EXPECT_EQ(ParseTimestamp("2005-03-07"), 0);
}

// Row labels and filter rules name protocols by these texts: every number
// has its own, and a transport without an owner falls back to its name.
TEST(ProtocolNameTest, EveryNumberHasItsOwnTextAndUnnamedOnesAreNumbered) {
  EXPECT_EQ(NamedProtocolCount(), 125u);
  EXPECT_EQ(ProtocolName(4), "IP in IP protocol ") << "the trailing blank is part of the name";
  EXPECT_EQ(ProtocolName(58), "ICMPv6 protocol");
  for (int n : {0, 6, 17, 55, 61, 63, 68, 99, 114, 138, 255}) {
    EXPECT_EQ(ProtocolName(static_cast<uint16_t>(n)), "IP protocol #" + std::to_string(n));
  }
  std::set<std::string> names;
  for (int n = 0; n < 256; ++n) names.insert(ProtocolName(static_cast<uint16_t>(n)));
  EXPECT_EQ(names.size(), 256u) << "every number must have its own text";
  EXPECT_EQ(ProtocolSourceText(6), "TCP protocol");
  EXPECT_EQ(ProtocolSourceText(17), "UDP protocol");
  EXPECT_EQ(ProtocolSourceText(1), "ICMP protocol");
}

// Names chosen by another party: none may move the cursor, retitle the
// terminal, reorder, hide or split what follows it, and cleaning is stable.
TEST(SanitizeTest, HostileNamesCannotControlReorderHideOrSplitText) {
  const std::pair<std::string_view, std::string_view> kCases[] = {
      {"evil\x1b]0;PWNED\x07\x1b[2J", "evil_]0;PWNED__[2J"},
      {"a b\tc\r\nd\x7f" "e", "a_b_c__d_e"},
      {"evil\u202Etxt.exe", "evil_txt.exe"},
      {"a\u200Bb\u2066c\uFEFFd\u0085e\u061Cf\u200Eg", "a_b_c_d_e_f_g"},
      {"x\xE2\x80" "y\xFF\xC0\xAF\xED\xA0\x80", "x__y______"},  // cut, stray, overlong, surrogate
      {"pay\U000E0070\U000E0061l", "pay__l"},                   // TAG characters
      {"\u3164\u115F\u1160\uFFA0\u034F\u2800", "______"},       // blank fillers
      {"a\u00A0b\u3000c", "a_b_c"},
      {"b\u00FCcher.\u4F8B\uFE0F", "b\u00FCcher.\u4F8B\uFE0F"},  // letters, a variation selector
  };
  for (const auto& [hostile, clean] : kCases) {
    EXPECT_EQ(SanitizeNetworkText(hostile), clean);
    EXPECT_EQ(SanitizeNetworkText(clean), clean) << "cleaning twice changes nothing";
  }
  // A program's name keeps its plain blanks, and only them.
  EXPECT_EQ(SanitizeNetworkText("Web Content\t\u2003x", Blanks::kKeep), "Web Content__x");
}

TEST(RowLineTest, BlanksInsideCellsBecomeUnderscores) {
  std::array<std::string, 8> cells{"10.0.0.1", "h", "1 B", "2 B", "3 B", "TCP protocol",
                                   "2005-03-07 14:05:09", "2005-03-07 14:05:10"};
  EXPECT_EQ(FormatRowLine(cells),
            "10.0.0.1 h 1_B 2_B 3_B TCP_protocol 2005-03-07_14:05:09 2005-03-07_14:05:10");
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// The byte-count text is built without printf; it must still be printf's
// "%.2f" text, rounding included (ties go to the even hundredth).
TEST(ByteCountTextTest, MatchesPrintfForTiesEdgesAndRandomCounts) {
  // printf's text is the exact one while the count is exact in a double.
  auto printfText = [](uint64_t bytes) {
    static const char* const kUnits[] = {" KB", " MB", " GB", " TB"};
    char text[48];
    if (bytes < 1024u) {
      std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
      return std::string(text);
    }
    int unit = 0;
    while (unit < 3 && bytes >= (uint64_t{1} << (10 * (unit + 2)))) ++unit;
    std::snprintf(text, sizeof text, "%.2f%s",
                  static_cast<double>(bytes) / static_cast<double>(uint64_t{1} << (10 * (unit + 1))),
                  kUnits[unit]);
    return std::string(text);
  };
  std::vector<uint64_t> counts;
  for (uint64_t b = 0; b < 300000; ++b) counts.push_back(b);  // every KB tie below 300 KB
  for (unsigned shift : {20u, 30u, 40u}) {
    const uint64_t unit = uint64_t{1} << shift;
    for (uint64_t b = unit - 5000; b < unit + 5000; ++b) counts.push_back(b);
    // Ties of this unit: bytes * 25 = an odd multiple of 2^(shift - 3).
    for (uint64_t k = 1; k < 200000; k += 2) {
      const uint64_t scaled = k << (shift - 3);
      if (scaled % 25 == 0) counts.push_back(scaled / 25);
    }
  }
  uint64_t x = 12345;
  for (int i = 0; i < 300000; ++i) {
    x = x * 6364136223846793005u + 1442695040888963407u;
    counts.push_back(x >> (11 + i % 32));  // below 2^53, spread over every unit
  }
  counts.push_back(0xffffffffu);
  counts.push_back((uint64_t{1} << 53) - 1);
  for (uint64_t bytes : counts) {
    ASSERT_EQ(FormatByteCount(bytes), printfText(bytes)) << bytes;
  }
}

}  // namespace
}  // namespace corvane
