// Capture files: PcapWriter output read back by OpenCaptureFile, a pcapng file
// written byte by byte, and files that are missing, not captures, or damaged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/capture_source.h"
#include "support/pcap_writer.h"
#include "test_frames.h"

namespace corvane {
namespace {

using testing_frames::AllLinkCases;
using testing_frames::Bytes;
using testing_frames::Concat;
using testing_frames::EthernetHeader;
using testing_frames::Ipv4Datagram;
using testing_frames::LinkCase;

namespace fs = std::filesystem;

struct Record {
  int64_t seconds;
  int32_t micros;
  Bytes frame;
};

class CaptureFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    dir_ = fs::path(::testing::TempDir()) /
           ("corvane_platform_" + std::to_string(getpid()) + "_" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const std::string& name) const {
    return (dir_ / name).string();
  }

  std::string WritePcap(const std::string& name, int linkType,
                        const std::vector<Record>& records) {
    const std::string path = PathOf(name);
    PcapWriter writer;
    Status why;
    EXPECT_TRUE((why = writer.Open(path, linkType)).ok) << why.reason;
    for (const Record& r : records) {
      EXPECT_TRUE(writer.Write(r.seconds, r.micros, r.frame));
    }
    EXPECT_TRUE(writer.Close());
    return path;
  }

  void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }

  fs::path dir_;
};

std::unique_ptr<CaptureSource> OpenOrFail(const std::string& path) {
  Status why;
  auto source = OpenCaptureFile(path, why);
  EXPECT_NE(source, nullptr) << why.reason;
  EXPECT_TRUE(source == nullptr || why.reason.empty()) << why.reason;
  return source;
}

Bytes EthernetIpv4(size_t payload) {
  return Concat(EthernetHeader({0x0800}), Ipv4Datagram(payload));
}

Bytes EthernetArp() {
  return Concat(EthernetHeader({0x0806}), Bytes(28, 0x01));
}

TEST_F(CaptureFileTest, WrittenRecordsReadBackWithTimesAndBytes) {
  // Seconds beyond 2^31 catch a signed 32-bit time on the way.
  const std::vector<Record> records = {
      {1700000000, 0, EthernetIpv4(10)},
      {1700000000, 999999, EthernetArp()},
      {1700000001, 123456, EthernetIpv4(300)},
      {4000000000, 7, EthernetIpv4(0)},
  };
  auto source = OpenOrFail(WritePcap("round.pcap", kLinkEthernet, records));
  ASSERT_NE(source, nullptr);

  CapturedDatagram d;
  Status why;
  for (size_t i : {0u, 2u, 3u}) {  // the ARP record is skipped
    ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
    const Bytes expected(records[i].frame.begin() + 14, records[i].frame.end());
    EXPECT_EQ(d.seconds, records[i].seconds);
    EXPECT_EQ(d.microseconds, records[i].micros);
    ASSERT_EQ(d.bytes.size(), expected.size());
    EXPECT_TRUE(std::equal(d.bytes.begin(), d.bytes.end(), expected.begin()));
  }
  EXPECT_EQ(source->Next(d, why), ReadStatus::EndOfFile);
  EXPECT_EQ(source->Next(d, why), ReadStatus::EndOfFile);
  EXPECT_EQ(source->DroppedByKernel(), 0u);
}

TEST_F(CaptureFileTest, FrameLongerThanSnapshotIsCutToIt) {
  Bytes big = Ipv4Datagram(70000);
  auto source = OpenOrFail(WritePcap("big.pcap", kLinkRaw, {{5, 6, big}}));
  ASSERT_NE(source, nullptr);
  CapturedDatagram d;
  Status why;
  ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
  EXPECT_EQ(d.bytes.size(), PcapWriter::kSnapshotLength);
}

TEST_F(CaptureFileTest, WriterRefusesTimesTheFormatCannotHold) {
  PcapWriter writer;
  Status why;
  ASSERT_TRUE((why = writer.Open(PathOf("times.pcap"), kLinkRaw)).ok) << why.reason;
  const Bytes datagram = Ipv4Datagram();
  EXPECT_FALSE(writer.Write(-1, 0, datagram));
  EXPECT_FALSE(writer.Write(0x100000000LL, 0, datagram));
  EXPECT_FALSE(writer.Write(1, 1000000, datagram));
  EXPECT_FALSE(writer.Write(1, -1, datagram));
  EXPECT_TRUE(writer.Write(1, 999999, datagram));
  EXPECT_TRUE(writer.Close());
  EXPECT_FALSE(writer.Write(1, 0, datagram));  // closed
  EXPECT_FALSE(writer.Close());
}

TEST_F(CaptureFileTest, WriterReportsFolderThatCannotBeCreatedIn) {
  PcapWriter writer;
  Status why;
  const std::string path = PathOf("no/such/folder/out.pcap");
  EXPECT_FALSE((why = writer.Open(path, kLinkRaw)).ok);
  EXPECT_NE(why.reason.find(path), std::string::npos) << why.reason;
  EXPECT_FALSE(writer.Write(1, 0, Ipv4Datagram()));
}

class CaptureFileEveryLinkType
    : public CaptureFileTest,
      public ::testing::WithParamInterface<LinkCase> {};

// libpcap renumbers some link types between file and handle (101 becomes
// DLT_RAW, 12 on Linux): each must still reach StripLinkLayer as a known one.
TEST_P(CaptureFileEveryLinkType, FileOfThisLinkTypeYieldsItsDatagram) {
  const LinkCase& c = GetParam();
  const Bytes datagram = c.version == 6 ? testing_frames::Ipv6Packet() : Ipv4Datagram(40);
  auto source = OpenOrFail(WritePcap(
      "link.pcap", c.linkType, {{42, 17, Concat(c.header, datagram)}}));
  ASSERT_NE(source, nullptr);
  CapturedDatagram d;
  Status why;
  ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
  EXPECT_EQ(d.seconds, 42);
  EXPECT_EQ(d.microseconds, 17);
  ASSERT_EQ(d.bytes.size(), datagram.size());
  EXPECT_TRUE(std::equal(d.bytes.begin(), d.bytes.end(), datagram.begin()));
  EXPECT_EQ(source->Next(d, why), ReadStatus::EndOfFile);
}

INSTANTIATE_TEST_SUITE_P(
    LinkTypes, CaptureFileEveryLinkType, ::testing::ValuesIn(AllLinkCases()),
    [](const ::testing::TestParamInfo<LinkCase>& info) {
      return info.param.name;
    });

// pcapng blocks, little-endian as written on this kind of machine unless
// asked otherwise.
class PcapngBuilder {
 public:
  explicit PcapngBuilder(bool bigEndian = false) : bigEndian_(bigEndian) {}
  PcapngBuilder& SectionHeader() {
    Bytes body;
    Put32(body, 0x1A2B3C4D);  // byte-order magic
    Put16(body, 1);
    Put16(body, 0);
    Put32(body, 0xFFFFFFFF);  // section length unknown
    Put32(body, 0xFFFFFFFF);
    return Block(0x0A0D0D0A, body);
  }
  PcapngBuilder& InterfaceNanoseconds(uint16_t linkType) {
    Bytes body;
    Put16(body, linkType);
    Put16(body, 0);
    Put32(body, 65535);
    Put16(body, 9);  // if_tsresol
    Put16(body, 1);
    body.insert(body.end(), {9, 0, 0, 0});  // 10^-9, padded
    Put32(body, 0);  // opt_endofopt
    return Block(1, body);
  }
  // An interface with its snapshot length and, when not 0, if_tsresol.
  PcapngBuilder& Interface(uint16_t linkType, uint32_t snapshot, uint8_t resolution) {
    Bytes body;
    Put16(body, linkType);
    Put16(body, 0);
    Put32(body, snapshot);
    if (resolution != 0) {
      Put16(body, 9);
      Put16(body, 1);
      body.insert(body.end(), {resolution, 0, 0, 0});
    }
    Put32(body, 0);  // opt_endofopt
    return Block(1, body);
  }
  PcapngBuilder& Packet(uint64_t nanoseconds, const Bytes& frame) {
    return PacketOn(0, nanoseconds, frame);
  }
  PcapngBuilder& PacketOn(uint32_t interface, uint64_t stamp, const Bytes& frame) {
    Bytes body;
    Put32(body, interface);
    Put32(body, static_cast<uint32_t>(stamp >> 32));
    Put32(body, static_cast<uint32_t>(stamp));
    Put32(body, static_cast<uint32_t>(frame.size()));
    Put32(body, static_cast<uint32_t>(frame.size()));
    body.insert(body.end(), frame.begin(), frame.end());
    while (body.size() % 4 != 0) body.push_back(0);
    return Block(6, body);
  }
  // A Simple Packet Block: interface 0, no time.
  PcapngBuilder& SimplePacket(const Bytes& frame) {
    Bytes body;
    Put32(body, static_cast<uint32_t>(frame.size()));
    body.insert(body.end(), frame.begin(), frame.end());
    while (body.size() % 4 != 0) body.push_back(0);
    return Block(3, body);
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  void Put16(Bytes& out, uint16_t v) const {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * (bigEndian_ ? 1 - i : i))));
  }
  void Put32(Bytes& out, uint32_t v) const {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * (bigEndian_ ? 3 - i : i))));
  }
  PcapngBuilder& Block(uint32_t type, const Bytes& body) {
    const uint32_t total = static_cast<uint32_t>(12 + body.size());
    Put32(bytes_, type);
    Put32(bytes_, total);
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    Put32(bytes_, total);
    return *this;
  }
  const bool bigEndian_;
  Bytes bytes_;
};

TEST_F(CaptureFileTest, PcapngWithNanosecondClockReadsInMicroseconds) {
  const Bytes first = Ipv4Datagram(3);  // odd length: the block is padded
  const Bytes second = Ipv4Datagram(100);
  PcapngBuilder file;
  file.SectionHeader()
      .InterfaceNanoseconds(kLinkEthernet)
      .Packet(1700000000ULL * 1000000000 + 5000, EthernetArp())
      .Packet(1700000000ULL * 1000000000 + 123456789,
              Concat(EthernetHeader({0x0800}), first))
      .Packet(1700000002ULL * 1000000000 + 999999999,
              Concat(EthernetHeader({0x8100, 0x0800}), second));
  const std::string path = PathOf("hand.pcapng");
  WriteBytes(path, file.bytes());

  auto source = OpenOrFail(path);
  ASSERT_NE(source, nullptr);
  CapturedDatagram d;
  Status why;
  ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
  EXPECT_EQ(d.seconds, 1700000000);
  EXPECT_EQ(d.microseconds, 123456);
  ASSERT_EQ(d.bytes.size(), first.size());
  EXPECT_TRUE(std::equal(d.bytes.begin(), d.bytes.end(), first.begin()));
  ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
  EXPECT_EQ(d.seconds, 1700000002);
  EXPECT_EQ(d.microseconds, 999999);
  EXPECT_EQ(d.bytes.size(), second.size());
  EXPECT_EQ(source->Next(d, why), ReadStatus::EndOfFile);
}

// What `dumpcap -i eth0 -i any` writes: interfaces of different link types,
// snapshot lengths and clocks in one section, then a section written in the
// other byte order. libpcap refuses such a file; every datagram must come
// back, stripped by its own interface's link layer, at its own time.
TEST_F(CaptureFileTest, PcapngOfSeveralInterfacesYieldsEveryDatagramByItsInterface) {
  const Bytes a = Ipv4Datagram(10), b = Ipv4Datagram(20), c = Ipv4Datagram(30);
  const Bytes d = testing_frames::Ipv6Packet(), e = Ipv4Datagram(50);
  const Bytes sll2 = testing_frames::Sll2Header(0x0800);
  PcapngBuilder little;
  little.SectionHeader()
      .Interface(kLinkEthernet, 65535, 0)          // microseconds
      .Interface(kLinkLinuxSll2, 262144, 9)         // nanoseconds
      .PacketOn(0, 1700000000ULL * 1000000 + 250000, Concat(EthernetHeader({0x0800}), a))
      .PacketOn(1, 1700000001ULL * 1000000000 + 123456789, Concat(sll2, b))
      .SimplePacket(Concat(EthernetHeader({0x0800}), c))  // keeps the time before it
      .PacketOn(1, 1700000002ULL * 1000000000,
                Concat(testing_frames::Sll2Header(0x0806), Bytes(28, 1)));  // ARP: skipped
  PcapngBuilder big(true);
  big.SectionHeader()
      .Interface(kLinkRaw, 0, 0x83)  // 2^-3 seconds
      .PacketOn(0, 1700000003ULL * 8 + 4, d)
      .Interface(kLinkLinuxSll2, 0, 0)
      .PacketOn(1, 1700000004ULL * 1000000, Concat(sll2, e));
  const std::string path = PathOf("several.pcapng");
  WriteBytes(path, Concat(little.bytes(), big.bytes()));

  struct Expected {
    const Bytes* datagram;
    int64_t seconds;
    int32_t micros;
  };
  auto source = OpenOrFail(path);
  ASSERT_NE(source, nullptr);
  CapturedDatagram got;
  Status why;
  for (const Expected& x : {Expected{&a, 1700000000, 250000}, Expected{&b, 1700000001, 123456},
                            Expected{&c, 1700000001, 123456}, Expected{&d, 1700000003, 500000},
                            Expected{&e, 1700000004, 0}}) {
    ASSERT_EQ(source->Next(got, why), ReadStatus::Datagram) << why.reason;
    EXPECT_EQ(Bytes(got.bytes.begin(), got.bytes.end()), *x.datagram);
    EXPECT_EQ(got.seconds, x.seconds);
    EXPECT_EQ(got.microseconds, x.micros);
  }
  EXPECT_EQ(source->Next(got, why), ReadStatus::EndOfFile) << why.reason;

  // A packet of an interface its section does not describe is damage, not
  // a datagram less.
  PcapngBuilder stray;
  stray.SectionHeader().Interface(kLinkRaw, 0, 0).PacketOn(0, 1, a).PacketOn(1, 2, b);
  WriteBytes(path, stray.bytes());
  source = OpenOrFail(path);
  ASSERT_NE(source, nullptr);
  ASSERT_EQ(source->Next(got, why), ReadStatus::Datagram) << why.reason;
  EXPECT_EQ(source->Next(got, why), ReadStatus::Error);
  EXPECT_NE(why.reason.find("interface 1"), std::string::npos) << why.reason;
  EXPECT_EQ(source->Next(got, why), ReadStatus::EndOfFile);
}

TEST_F(CaptureFileTest, FilesThatAreNoCapturesAreRefusedWithReason) {
  const std::string text = PathOf("notes.txt");
  WriteBytes(text, Bytes{'n', 'o', 't', ' ', 'a', ' ', 'c', 'a', 'p', 't',
                         'u', 'r', 'e', ' ', 'f', 'i', 'l', 'e', '\n'});
  const std::string empty = PathOf("empty.pcap");
  WriteBytes(empty, {});
  const std::string missing = PathOf("missing.pcap");

  for (const std::string& path : {text, empty, missing}) {
    Status why;
    EXPECT_EQ(OpenCaptureFile(path, why), nullptr) << path;
    EXPECT_EQ(why.reason.rfind("cannot read " + path + ": ", 0), 0u) << why.reason;
    EXPECT_GT(why.reason.size(), ("cannot read " + path + ": ").size()) << why.reason;
    EXPECT_EQ(why.reason.find('\n'), std::string::npos) << why.reason;
  }
}

TEST_F(CaptureFileTest, FileOfUnknownLinkTypeIsRefused) {
  const std::string path =
      WritePcap("wifi.pcap", 105, {{1, 0, Ipv4Datagram()}});
  Status why;
  EXPECT_EQ(OpenCaptureFile(path, why), nullptr);
  EXPECT_NE(why.reason.find("link type 105"), std::string::npos) << why.reason;
}

// A capture stopped by a full disk or a killed writer ends inside a record.
TEST_F(CaptureFileTest, TruncatedLastRecordEndsWithErrorAndNoCrash) {
  const std::vector<Record> records = {
      {10, 1, EthernetIpv4(50)}, {11, 2, EthernetIpv4(50)},
      {12, 3, EthernetIpv4(50)}};
  const std::string full = WritePcap("full.pcap", kLinkEthernet, records);
  const auto size = fs::file_size(full);
  const auto lastRecord = 16 + records[2].frame.size();
  // Cut in the middle of the last frame, and in the middle of its header.
  for (uintmax_t cut : {size - 20, size - lastRecord + 7}) {
    const std::string path = PathOf("cut" + std::to_string(cut) + ".pcap");
    fs::copy_file(full, path);
    fs::resize_file(path, cut);
    auto source = OpenOrFail(path);
    ASSERT_NE(source, nullptr);
    CapturedDatagram d;
    Status why;
    ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
    ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
    EXPECT_EQ(d.seconds, 11);
    EXPECT_EQ(source->Next(d, why), ReadStatus::Error);
    EXPECT_NE(why.reason.find(path), std::string::npos) << why.reason;
    EXPECT_EQ(source->Next(d, why), ReadStatus::EndOfFile);
  }
}

TEST_F(CaptureFileTest, RecordWithImpossibleLengthEndsFileWithError) {
  const std::string path = WritePcap(
      "bad.pcap", kLinkEthernet, {{10, 1, EthernetIpv4(50)},
                                  {11, 2, EthernetIpv4(50)}});
  // The second record's captured length becomes 2^31 - 1.
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  const std::streamoff secondHeader =
      24 + 16 + static_cast<std::streamoff>(EthernetIpv4(50).size());
  file.seekp(secondHeader + 8);
  const char huge[4] = {'\xff', '\xff', '\xff', '\x7f'};
  file.write(huge, 4);
  file.close();

  auto source = OpenOrFail(path);
  ASSERT_NE(source, nullptr);
  CapturedDatagram d;
  Status why;
  ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
  EXPECT_EQ(source->Next(d, why), ReadStatus::Error);
  EXPECT_FALSE(why.reason.empty());
  EXPECT_EQ(source->Next(d, why), ReadStatus::EndOfFile);
}

TEST_F(CaptureFileTest, InterruptedFileSourceStopsReading) {
  auto source = OpenOrFail(WritePcap(
      "stop.pcap", kLinkRaw, {{1, 0, Ipv4Datagram()}, {2, 0, Ipv4Datagram()}}));
  ASSERT_NE(source, nullptr);
  CapturedDatagram d;
  Status why;
  ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
  source->Interrupt();
  EXPECT_EQ(source->Next(d, why), ReadStatus::Interrupted);
  EXPECT_EQ(source->Next(d, why), ReadStatus::Interrupted);
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// Classic pcap written on a big-endian machine with nanosecond stamps: the
// fields are swapped and the fraction is scaled to microseconds.
TEST_F(CaptureFileTest, BigEndianNanosecondPcapReadsInMicroseconds) {
  auto big32 = [](Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
  };
  const Bytes frame = Ipv4Datagram(12);
  Bytes file;
  big32(file, 0xa1b23c4d);
  file.insert(file.end(), {0x00, 0x02, 0x00, 0x04});  // version 2.4
  big32(file, 0);
  big32(file, 0);
  big32(file, 65535);
  big32(file, kLinkRaw);
  big32(file, 4000000000u);  // after 2038: unsigned seconds
  big32(file, 123456789);
  big32(file, static_cast<uint32_t>(frame.size()));
  big32(file, static_cast<uint32_t>(frame.size()));
  file.insert(file.end(), frame.begin(), frame.end());
  const std::string path = PathOf("big.pcap");
  WriteBytes(path, file);

  auto source = OpenOrFail(path);
  ASSERT_NE(source, nullptr);
  CapturedDatagram d;
  Status why;
  ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << why.reason;
  EXPECT_EQ(d.seconds, 4000000000);
  EXPECT_EQ(d.microseconds, 123456);
  EXPECT_EQ(Bytes(d.bytes.begin(), d.bytes.end()), frame);
  EXPECT_EQ(source->Next(d, why), ReadStatus::EndOfFile);
}

// Longer than the stretch after which the reader gives back pages it has
// passed: every record still comes back whole and in order.
TEST_F(CaptureFileTest, FileOfManyMegabytesReadsEveryRecordInOrder) {
  const std::string path = PathOf("long.pcap");
  PcapWriter writer;
  Status why;
  ASSERT_TRUE((why = writer.Open(path, kLinkEthernet)).ok) << why.reason;
  const Bytes frame = EthernetIpv4(1400);
  constexpr int kRecords = 60000;  // about 86 MB
  for (int i = 0; i < kRecords; ++i) ASSERT_TRUE(writer.Write(i, i % 1000000, frame));
  ASSERT_TRUE(writer.Close());

  auto source = OpenOrFail(path);
  ASSERT_NE(source, nullptr);
  CapturedDatagram d;
  for (int i = 0; i < kRecords; ++i) {
    ASSERT_EQ(source->Next(d, why), ReadStatus::Datagram) << i << ": " << why.reason;
    ASSERT_EQ(d.seconds, i);
    ASSERT_EQ(d.bytes.size(), frame.size() - 14);
    ASSERT_EQ(d.bytes[0], frame[14]);
  }
  EXPECT_EQ(source->Next(d, why), ReadStatus::EndOfFile);
}

}  // namespace
}  // namespace corvane
