// Address texts: the list's "Remote IP" cell and its lookups depend on the
// exact dotted form.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

#include "platform/net.h"

namespace corvane {
namespace {

std::string SystemText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = address;
  ::inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

TEST(AddressTextTest, MatchesTheSystemsDottedFormEverywhere) {
  // Every octet value in every position (zeros, one/two/three digits,
  // 255), then random addresses.
  for (uint32_t value = 0; value < 256; ++value) {
    for (int shift = 0; shift < 32; shift += 8) {
      uint32_t address = value << shift | (value == 7 ? 0xffffffffu & ~(0xffu << shift) : 0);
      ASSERT_EQ(FormatAddress(address), SystemText(address)) << address;
    }
  }
  std::mt19937 random(3);
  for (int i = 0; i < 200000; ++i) {
    uint32_t address = static_cast<uint32_t>(random());
    ASSERT_EQ(FormatAddress(address), SystemText(address)) << address;
  }
  EXPECT_EQ(FormatAddress(0), "0.0.0.0");
  EXPECT_EQ(FormatAddress(0xffffffffu), "255.255.255.255");
}

}  // namespace
}  // namespace corvane
