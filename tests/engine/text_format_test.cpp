#include "engine/text_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <vector>
#include <set>

#include "attribution/port_process_map.h"
#include "engine/protocol_names.h"

namespace corvane {
namespace {

TEST(ByteCountTest, UnitsChangeAtTheirBoundaries) {
  EXPECT_EQ(FormatByteCount(0), "0 B");
  EXPECT_EQ(FormatByteCount(1023), "1023 B");
  EXPECT_EQ(FormatByteCount(1024), "1.00 KB");
  EXPECT_EQ(FormatByteCount(1536), "1.50 KB");
  EXPECT_EQ(FormatByteCount(1048575), "1024.00 KB");
  EXPECT_EQ(FormatByteCount(1048576), "1.00 MB");
  EXPECT_EQ(FormatByteCount(4294967295u), "4096.00 MB");
}

TEST(ByteCountTest, ValueReadsBackWithItsUnit) {
  EXPECT_DOUBLE_EQ(ByteCountValue("1023 B"), 1023);
  EXPECT_DOUBLE_EQ(ByteCountValue("1.50 KB"), 1536);
  EXPECT_DOUBLE_EQ(ByteCountValue("1.00 MB"), 1048576);
  EXPECT_GT(ByteCountValue("1.00 KB"), ByteCountValue("999 B"));
  EXPECT_DOUBLE_EQ(ByteCountValue("junk"), 0);
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

TEST(ProtocolNameTest, TableHasItsExactTexts) {
  EXPECT_EQ(NamedProtocolCount(), 124u);
  EXPECT_EQ(ProtocolName(1), "ICMP protocol");
  EXPECT_EQ(ProtocolName(4), "IP in IP protocol ");
  EXPECT_EQ(ProtocolName(10), "BBN RCC Monitoring");
  EXPECT_EQ(ProtocolName(41), "SIP protocol");
  EXPECT_EQ(ProtocolName(47), "GRE protocol");
  EXPECT_EQ(ProtocolName(50), "SIPP-ESP protocol");
  EXPECT_EQ(ProtocolName(124), "ISIS over IPv4");
  EXPECT_EQ(ProtocolName(133), "SFibre Channel");
  EXPECT_EQ(ProtocolName(137), "MPLS-in-IP protocol");
}

TEST(ProtocolNameTest, NumbersWithoutANameUseTheNumberedText) {
  for (int n : {0, 6, 17, 55, 58, 61, 63, 68, 99, 114, 138, 255}) {
    EXPECT_EQ(ProtocolName(static_cast<uint16_t>(n)), "IP protocol #" + std::to_string(n));
  }
  std::set<std::string> names;
  for (int n = 0; n < 256; ++n) names.insert(ProtocolName(static_cast<uint16_t>(n)));
  EXPECT_EQ(names.size(), 256u) << "every number must have its own text";
}

TEST(LocalSourceTest, TransportsFallBackToTheirNameWithoutAnOwner) {
  EXPECT_EQ(LocalSourceText(80, 0, 6, nullptr), "TCP protocol");
  EXPECT_EQ(LocalSourceText(53, 0, 17, nullptr), "UDP protocol");
  EXPECT_EQ(LocalSourceText(0, 0, 1, nullptr), "ICMP protocol");
}

TEST(LocalSourceTest, TcpAndUdpOnOnePortNumberAreDifferentOwners) {
  PortProcessMap map;
  map.SetActive(true);
  map.Store(6, 0, 1025, "firefox:4242");
  EXPECT_EQ(LocalSourceText(1025, 0, 6, &map), "firefox:4242");
  EXPECT_EQ(LocalSourceText(1025, 0, 17, &map), "UDP protocol");
  EXPECT_EQ(LocalSourceText(1026, 0, 17, &map), "UDP protocol");
  EXPECT_EQ(LocalSourceText(1025, 0, 1, &map), "ICMP protocol");
}

TEST(SanitizeTest, BlanksAndControlCharactersCannotBreakARowOrALogLine) {
  EXPECT_EQ(SanitizeNetworkText("a b\tc\r\nd\x7f" "e"), "a_b_c__d_e");
  EXPECT_EQ(SanitizeNetworkText("host.example"), "host.example");
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
  auto printfText = [](uint32_t bytes) {
    char text[32];
    if (bytes < 1024u) {
      std::snprintf(text, sizeof text, "%u B", bytes);
    } else if (bytes < 1048576u) {
      std::snprintf(text, sizeof text, "%.2f KB", static_cast<double>(bytes) / 1024.0);
    } else {
      std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / 1048576.0);
    }
    return std::string(text);
  };
  std::vector<uint32_t> counts;
  for (uint32_t b = 0; b < 300000; ++b) counts.push_back(b);  // every KB tie below 300 KB
  for (uint32_t b = 1048576u - 5000; b < 1048576u + 5000; ++b) counts.push_back(b);
  // MB ties: bytes * 25 = odd multiple of 2^17.
  for (uint64_t k = 1; k < 200000; k += 2) {
    uint64_t scaled = k << 17;
    if (scaled % 25 == 0 && scaled / 25 <= 0xffffffffu) counts.push_back(static_cast<uint32_t>(scaled / 25));
  }
  uint32_t x = 12345;
  for (int i = 0; i < 300000; ++i) {
    x = x * 1664525u + 1013904223u;
    counts.push_back(x);
  }
  counts.push_back(0xffffffffu);
  for (uint32_t bytes : counts) {
    ASSERT_EQ(FormatByteCount(bytes), printfText(bytes)) << bytes;
  }
}

}  // namespace
}  // namespace corvane
