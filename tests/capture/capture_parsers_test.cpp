// The two parsers between the capture helper and its client: the helper's
// request (the only input an unprivileged user gives a program with
// capabilities) and the client's record stream.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "capture/capture_request.h"
#include "platform/helper_records.h"

namespace corvane {
namespace {

using capture::kRequestSize;

std::vector<uint8_t> Request(const char* name) {
  const auto bytes = capture::BuildCaptureRequest(name);
  return {bytes.begin(), bytes.end()};
}

TEST(CaptureRequest, OnlyAWellFormedInterfaceNameIsAccepted) {
  capture::CaptureRequest request;
  std::string error;
  ASSERT_TRUE(capture::ParseCaptureRequest(Request("veth0.1_a-b"), request, error)) << error;
  EXPECT_EQ(request.interfaceName, "veth0.1_a-b");

  std::vector<std::vector<uint8_t>> bad;
  for (const char* name : {"", ".", "..", "../etc", "lo;rm", "eth 0", "é"}) {
    auto bytes = Request("x");
    std::memset(bytes.data() + 8, 0, 16);
    std::memcpy(bytes.data() + 8, name, std::strlen(name));
    bad.push_back(bytes);
  }
  auto full = Request("x");  // 16 name bytes: no room for the NUL
  std::memset(full.data() + 8, 'a', 16);
  bad.push_back(full);
  auto hidden = Request("lo");  // bytes smuggled behind the terminator
  hidden[12] = 'x';
  bad.push_back(hidden);
  for (size_t field : {0, 4, 6}) {  // magic, version, reserved
    auto changed = Request("lo");
    changed[field] ^= 0x40;
    bad.push_back(changed);
  }
  auto longer = Request("lo");
  longer.push_back(0);
  bad.push_back(longer);
  auto shorter = Request("lo");
  shorter.pop_back();
  bad.push_back(shorter);
  for (const auto& bytes : bad) {
    error.clear();
    EXPECT_FALSE(capture::ParseCaptureRequest(bytes, request, error));
    EXPECT_FALSE(error.empty());
  }
}

std::vector<uint8_t> Record(capture::RecordType type, std::vector<uint8_t> payload) {
  const uint32_t length = static_cast<uint32_t>(payload.size());
  const uint16_t kind = static_cast<uint16_t>(type);
  payload.insert(payload.begin(), capture::kRecordHeaderSize, 0);
  std::memcpy(payload.data(), &length, 4);
  std::memcpy(payload.data() + 4, &kind, 2);
  return payload;
}

TEST(HelperRecords, RecordCutAnywhereIsIncompleteNeverReadPast) {
  std::vector<uint8_t> frame(capture::kFrameHeaderPayload, 0);
  const uint32_t wire = 1500;
  std::memcpy(frame.data() + 12, &wire, 4);
  frame.insert(frame.end(), {0x45, 0, 0, 20});
  const auto bytes = Record(capture::RecordType::kFrame, frame);
  HelperRecord record;
  size_t consumed = 0;
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    // A copy of exactly `cut` bytes, so a read past it is caught by ASan.
    std::vector<uint8_t> part(bytes.begin(), bytes.begin() + cut);
    EXPECT_EQ(ParseHelperRecord(part, record, consumed), RecordParse::kIncomplete) << cut;
  }
  ASSERT_EQ(ParseHelperRecord(bytes, record, consumed), RecordParse::kComplete);
  EXPECT_EQ(consumed, bytes.size());
  EXPECT_EQ(record.wireLength, wire);
  EXPECT_EQ(record.frame.size(), 4u);
}

TEST(HelperRecords, DamagedRecordsAreMalformed) {
  std::vector<std::vector<uint8_t>> damaged = {
      Record(static_cast<capture::RecordType>(9), {}),
      Record(capture::RecordType::kReady, std::vector<uint8_t>(7)),
      Record(capture::RecordType::kDrops, std::vector<uint8_t>(9)),
      Record(capture::RecordType::kFrame, std::vector<uint8_t>(capture::kFrameHeaderPayload - 1)),
      Record(capture::RecordType::kError, std::vector<uint8_t>(capture::kErrorBytes + 1)),
  };
  auto huge = Record(capture::RecordType::kFrame, {});
  const uint32_t length = 0xFFFFFFF0;  // must not wait for 4 GB
  std::memcpy(huge.data(), &length, 4);
  damaged.push_back(huge);
  auto reserved = Record(capture::RecordType::kDrops, std::vector<uint8_t>(8));
  reserved[7] = 1;
  damaged.push_back(reserved);
  HelperRecord record;
  size_t consumed = 0;
  for (const auto& bytes : damaged) {
    EXPECT_EQ(ParseHelperRecord(bytes, record, consumed), RecordParse::kMalformed);
  }
}

std::vector<uint8_t> OwnerPayload(const char* name) {
  std::vector<uint8_t> payload(capture::kSocketOwnerFixedPayload, 0);
  const uint16_t localPort = 40000, remotePort = 443;
  const uint32_t pid = 4242, uid = 1000;
  payload[0] = 6;
  payload[1] = AF_INET;
  std::memcpy(payload.data() + 2, &localPort, 2);
  std::memcpy(payload.data() + 4, &remotePort, 2);
  std::memcpy(payload.data() + 8, &pid, 4);
  std::memcpy(payload.data() + 12, &uid, 4);
  const uint8_t local[4] = {127, 0, 0, 1}, remote[4] = {198, 51, 100, 7};
  std::memcpy(payload.data() + 16, local, 4);
  std::memcpy(payload.data() + 32, remote, 4);
  const size_t length = std::strlen(name);
  payload.resize(capture::kSocketOwnerFixedPayload + length);
  if (length > 0) std::memcpy(payload.data() + capture::kSocketOwnerFixedPayload, name, length);
  return payload;
}

TEST(HelperRecords, SocketOwnerIsReadFieldByFieldAndImpossibleOwnersAreMalformed) {
  HelperRecord record;
  size_t consumed = 0;
  const auto good = Record(capture::RecordType::kSocketOwner, OwnerPayload("firefox-esr"));
  ASSERT_EQ(ParseHelperRecord(good, record, consumed), RecordParse::kComplete);
  EXPECT_EQ(consumed, good.size());
  const SocketOwner& owner = record.owner;
  EXPECT_EQ(owner.protocol, 6);
  EXPECT_EQ(owner.family, AF_INET);
  EXPECT_EQ(owner.localPort, 40000);
  EXPECT_EQ(owner.remotePort, 443);
  EXPECT_EQ(owner.pid, 4242u);
  EXPECT_EQ(owner.uid, 1000u);
  EXPECT_EQ(owner.localAddress[0], 127);
  EXPECT_EQ(owner.remoteAddress[3], 7);
  EXPECT_EQ(owner.name, "firefox-esr");
  const std::string longest(capture::kOwnerNameBytes, 'n');
  EXPECT_EQ(ParseHelperRecord(Record(capture::RecordType::kSocketOwner,
                                     OwnerPayload(longest.c_str())), record, consumed),
            RecordParse::kComplete);

  // One impossible field each: the offset and the value put there.
  const std::vector<std::pair<size_t, uint8_t>> changes = {
      {0, 1},    // protocol ICMP
      {1, 7},    // family
      {6, 1},    // reserved
      {20, 1},   // an IPv4 local address with a fifth byte
      {47, 1},   // an IPv4 remote address with a last byte
      {48, '/'}, // a path, not a base name
      {49, 0},   // a NUL inside the name
  };
  std::vector<std::vector<uint8_t>> damaged;
  for (const auto& [at, value] : changes) {
    auto payload = OwnerPayload("curl");
    payload[at] = value;
    damaged.push_back(Record(capture::RecordType::kSocketOwner, payload));
  }
  auto noPort = OwnerPayload("curl");
  std::memset(noPort.data() + 2, 0, 2);
  damaged.push_back(Record(capture::RecordType::kSocketOwner, noPort));
  auto noPid = OwnerPayload("curl");
  std::memset(noPid.data() + 8, 0, 4);
  damaged.push_back(Record(capture::RecordType::kSocketOwner, noPid));
  damaged.push_back(Record(capture::RecordType::kSocketOwner, OwnerPayload("")));
  damaged.push_back(Record(capture::RecordType::kSocketOwner, OwnerPayload((longest + "n").c_str())));
  std::vector<uint8_t> unknownMode(capture::kReadyPayload, 0);
  unknownMode[4] = 2;
  damaged.push_back(Record(capture::RecordType::kReady, unknownMode));
  for (size_t i = 0; i < damaged.size(); ++i) {
    EXPECT_EQ(ParseHelperRecord(damaged[i], record, consumed), RecordParse::kMalformed) << i;
  }
}

}  // namespace
}  // namespace corvane
