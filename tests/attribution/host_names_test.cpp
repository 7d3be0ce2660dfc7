// Host names in the traffic list: the Monitor's resolver pool and
// ApplyHostName, with a resolver the test controls, and one real lookup.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/test_env.h"
#include "support/quick_waiters.h"
#include "controlled_resolver.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "vocabulary/text_format.h"
#include "platform/net.h"

namespace corvane {
namespace {

using testing::ControlledResolver;
using testing::kPatience;

constexpr uint32_t kLocal = MakeAddress(192, 168, 1, 10);
const uint32_t kMail = MakeAddress(10, 0, 0, 1);
const uint32_t kMailNeighbour = MakeAddress(10, 0, 0, 15);
const uint32_t kAds = MakeAddress(10, 9, 0, 5);

// Local noon, far from the midnight step whatever the time zone.
int64_t LocalNoon() {
  int64_t seconds = 0;
  FromLocalTime(LocalTime{2024, 6, 5, 12, 0, 0}, seconds);
  return seconds;
}

// The monitor's lookups go to the test's resolver.
class ResolverEnv final : public testing::TestEnv {
 public:
  ResolverEnv(const Clock& clock, testing::QuickWaiters& waiters,
              std::shared_ptr<ControlledResolver> resolver)
      : TestEnv(clock, &waiters), resolver_(std::move(resolver)) {}
  std::optional<std::string> LookUpHostName(const IpAddress& address) override {
    return resolver_->Lookup(address.V4Value());
  }

 private:
  std::shared_ptr<ControlledResolver> resolver_;
};

class HostNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    monitor_ = std::make_unique<Monitor>(env_, "/nonexistent-corvane-dir");
    StateOf(*monitor_).settings.interfaceAddress = kLocal;
    StateOf(*monitor_).portMap.Store(6, 0, 5000, "firefox:99");
    StateOf(*monitor_).portMap.Store(6, 0, 6000, "curl:12");
    monitor_->SetAttributionActive(true);
    monitor_->EnableHostNames(nullptr, 4);
  }
  void TearDown() override {
    monitor_.reset();
    // Let every thread still waiting for an answer end.
    resolver_->AnswerAllWith(std::nullopt);
    EXPECT_TRUE(env_.WaitForThreadsToEnd()) << "a resolver thread did not end";
  }

  void Send(uint32_t remote, uint16_t localPort) {
    PacketInfo info;
    info.sourceAddress = IpAddress::V4(kLocal);
    info.destinationAddress = IpAddress::V4(remote);
    info.sourcePort = localPort;
    info.destinationPort = 443;
    info.protocol = kProtocolTcp;
    info.length = 100;
    info.requestText = std::string_view();
    monitor_->AccountDatagram(info);
  }
  void ShowAll() {
    clock_.Advance(3);
    monitor_->RunPass();
  }
  void WaitForNames() { ASSERT_TRUE(monitor_->WaitForHostNames(kPatience)); }

  // The "Remote host" cell of the row of (remote, local source), or
  // "<no row>".
  std::string HostOf(uint32_t remote, std::string_view localSource) {
    TrafficList::Lock lock(StateOf(*monitor_).list);
    int row = StateOf(*monitor_).list.FindRemoteIpRow(FormatAddress(remote), localSource);
    return row < 0 ? "<no row>" : StateOf(*monitor_).list.Cell(row, kColumnRemoteHost);
  }
  int RowCount() {
    TrafficList::Lock lock(StateOf(*monitor_).list);
    return StateOf(*monitor_).list.Count();
  }

  ManualClock clock_{LocalNoon()};
  testing::QuickWaiters waiters_;
  std::shared_ptr<ControlledResolver> resolver_ = std::make_shared<ControlledResolver>();
  ResolverEnv env_{clock_, waiters_, resolver_};
  std::unique_ptr<Monitor> monitor_;
};

TEST_F(HostNamesTest, SlowLookupHoldsUpNeitherThePassNorOtherRows) {
  Send(kMail, 5000);
  ShowAll();
  ASSERT_TRUE(resolver_->WaitAsked(1));
  EXPECT_EQ(HostOf(kMail, "firefox:99"), "10.0.0.1");

  Send(kAds, 5000);
  ShowAll();  // the first lookup still hangs
  EXPECT_EQ(HostOf(kAds, "firefox:99"), "10.9.0.5");

  resolver_->Answer(kAds, "ads.example.net");
  resolver_->Answer(kMail, "mail.example.org");
  WaitForNames();
  EXPECT_EQ(HostOf(kMail, "firefox:99"), "mail.example.org");
  EXPECT_EQ(HostOf(kAds, "firefox:99"), "ads.example.net");
}

TEST_F(HostNamesTest, AddressWithoutNameKeepsItsDottedText) {
  resolver_->Answer(kMail, std::nullopt);
  Send(kMail, 5000);
  ShowAll();
  WaitForNames();
  EXPECT_EQ(HostOf(kMail, "firefox:99"), "10.0.0.1");
}

TEST_F(HostNamesTest, NameGoesOnlyToTheRowOfExactlyThatAddress) {
  Send(kMail, 5000);
  Send(kMailNeighbour, 5000);
  ShowAll();
  resolver_->Answer(kMail, "mail.example.org");
  resolver_->Answer(kMailNeighbour, std::nullopt);
  WaitForNames();
  EXPECT_EQ(HostOf(kMail, "firefox:99"), "mail.example.org");
  EXPECT_EQ(HostOf(kMailNeighbour, "firefox:99"), "10.0.0.15");
}

TEST_F(HostNamesTest, EachRowOfOneAddressIsNamedByItsOwnLookup) {
  resolver_->Answer(kMail, "mail.example.org");
  Send(kMail, 5000);
  ShowAll();
  WaitForNames();
  resolver_->Answer(kMail, "mail.example.org");
  Send(kMail, 6000);
  ShowAll();
  WaitForNames();
  EXPECT_EQ(resolver_->AskedCount(), 2u) << "no cache: every new row asks";
  EXPECT_EQ(HostOf(kMail, "firefox:99"), "mail.example.org");
  EXPECT_EQ(HostOf(kMail, "curl:12"), "mail.example.org");
}

TEST_F(HostNamesTest, RowsOfOneAddressMadeInOnePassAreAllNamed) {
  Send(kMail, 5000);
  Send(kMail, 6000);
  ShowAll();
  ASSERT_TRUE(resolver_->WaitAsked(2));
  resolver_->Answer(kMail, "mail.example.org");
  resolver_->Answer(kMail, "mail.example.org");
  WaitForNames();
  EXPECT_EQ(HostOf(kMail, "firefox:99"), "mail.example.org");
  EXPECT_EQ(HostOf(kMail, "curl:12"), "mail.example.org");
}

TEST_F(HostNamesTest, AnswerNeverRenamesANamedRowOrAProxyRowOfTheAddress) {
  const std::string mail = FormatAddress(kMail);
  {
    TrafficList::Lock lock(StateOf(*monitor_).list);
    // A proxy row whose web host resolved to this address, above a direct
    // row that was named already.
    StateOf(*monitor_).list.InsertTop(
        RowKey{IpAddress::V4(kMail), 0, kProtocolTcp},
        RowCells{mail, "mail.example.org", "1 B", "1 B", "2 B", "TCP protocol", "t", "t"}, {});
    StateOf(*monitor_).list.InsertTop(
        RowKey{IpAddress{}, 1, kProtocolTcp},
        RowCells{mail, "webmail.example.org", "1 B", "1 B", "2 B", "TCP protocol", "t", "t"}, {});
  }
  monitor_->ApplyHostName(IpAddress::V4(kMail), kProtocolTcp, "other.example.org");
  TrafficList::Lock lock(StateOf(*monitor_).list);
  EXPECT_EQ(StateOf(*monitor_).list.Cell(0, kColumnRemoteHost), "webmail.example.org");
  EXPECT_EQ(StateOf(*monitor_).list.Cell(1, kColumnRemoteHost), "mail.example.org");
}

TEST_F(HostNamesTest, NameArrivingAfterSaveAndClearChangesNothing) {
  Send(kMail, 5000);
  ShowAll();
  ASSERT_TRUE(resolver_->WaitAsked(1));
  ASSERT_TRUE(monitor_->SaveAndClear());
  resolver_->Answer(kMail, "mail.example.org");
  WaitForNames();
  EXPECT_EQ(RowCount(), 0);

  // The next row of that address asks again and gets its name.
  resolver_->Answer(kMail, "mail.example.org");
  Send(kMail, 5000);
  ShowAll();
  WaitForNames();
  EXPECT_EQ(HostOf(kMail, "firefox:99"), "mail.example.org");
}

// Once its name is hidden, the flow stays aside with that name: its next
// events count without bringing back a bare-address row to be looked up
// and hidden again.
TEST_F(HostNamesTest, NameThatABlackListRuleHidesKeepsTheFlowHiddenUntilTheDayIsSaved) {
  monitor_->SetFilters(FilterSet{FilterMode::BlackList, {{"doubleclick", "firefox"}}});
  Send(kAds, 5000);
  Send(kAds, 6000);
  ShowAll();
  EXPECT_EQ(HostOf(kAds, "firefox:99"), "10.9.0.5") << "the address alone does not match";
  ASSERT_TRUE(resolver_->WaitAsked(2));
  // Two rows of the address made in one pass, two answers: each names one
  // row. The curl row shows the name; the firefox row is hidden by the rule.
  resolver_->Answer(kAds, "ad.doubleclick.net");
  resolver_->Answer(kAds, "ad.doubleclick.net");
  WaitForNames();
  EXPECT_EQ(HostOf(kAds, "curl:12"), "ad.doubleclick.net");
  EXPECT_EQ(HostOf(kAds, "firefox:99"), "<no row>");

  ASSERT_TRUE(monitor_->SaveAndClear());
  Send(kAds, 5000);
  ShowAll();
  resolver_->Answer(kAds, "ad.doubleclick.net");
  WaitForNames();
  EXPECT_EQ(HostOf(kAds, "firefox:99"), "<no row>");

  Send(kAds, 5000);
  ShowAll();
  EXPECT_EQ(HostOf(kAds, "firefox:99"), "<no row>") << "the next event keeps it hidden";
  EXPECT_EQ(RowCount(), 0);
}

TEST_F(HostNamesTest, WhiteListedRowStaysWhateverItsName) {
  monitor_->SetFilters(FilterSet{FilterMode::WhiteList, {{"10.0.0.", "<ANY>"}}});
  Send(kMail, 5000);
  ShowAll();
  resolver_->Answer(kMail, "unlisted.example.com");
  WaitForNames();
  EXPECT_EQ(HostOf(kMail, "firefox:99"), "unlisted.example.com");
}

TEST_F(HostNamesTest, NameWithBlanksOrControlCharactersCannotBreakTheRowOrTheLog) {
  Send(kMail, 5000);
  ShowAll();
  resolver_->Answer(kMail, std::string("evil host\t\r\n.example\x7f", 21));
  WaitForNames();
  const std::string expected = "evil_host___.example_";
  EXPECT_EQ(HostOf(kMail, "firefox:99"), expected);

  TrafficList::Lock lock(StateOf(*monitor_).list);
  std::istringstream line(FormatRowLine(StateOf(*monitor_).list.Cells(0)));
  std::vector<std::string> tokens;
  for (std::string token; line >> token;) tokens.push_back(token);
  ASSERT_EQ(tokens.size(), 8u);
  EXPECT_EQ(tokens[1], expected);
}

TEST_F(HostNamesTest, FiltersSeeTheNameAsTheRowWillShowIt) {
  monitor_->SetFilters(FilterSet{FilterMode::BlackList, {{"bad_name", "<ANY>"}}});
  Send(kMail, 5000);
  ShowAll();
  resolver_->Answer(kMail, "bad name");
  WaitForNames();
  EXPECT_EQ(RowCount(), 0);
}

TEST_F(HostNamesTest, MonitorGoesAwayWhileALookupHangs) {
  Send(kMail, 5000);
  ShowAll();
  ASSERT_TRUE(resolver_->WaitAsked(1));
  monitor_.reset();  // must return although the lookup still hangs
  resolver_->Answer(kMail, "mail.example.org");
  // The late answer must reach no freed Monitor: every pool thread ends
  // without touching it (the sanitizer builds check the "without").
  EXPECT_TRUE(env_.WaitForThreadsToEnd()) << "a resolver thread did not end";
}

TEST_F(HostNamesTest, StartAfterStopNamesRowsAgain) {
  env_.SetCaptureOpener([](const std::string&, Status&) -> std::unique_ptr<CaptureSource> {
    return nullptr;
  });
  monitor_->SetErrorHandler([](const std::string&) {});
  monitor_->SetLocalNetworks(LocalNetworks{{IpAddress::V4(kLocal)}, {}});
  monitor_->Start("lo");
  monitor_->Stop();
  monitor_->Start("lo");
  monitor_->SetAttributionActive(true);  // Stop() ended it
  Send(kMail, 5000);
  clock_.Advance(3);
  // The processing thread's next pass shows the row and asks for its name.
  ASSERT_TRUE(resolver_->WaitAsked(1));
  resolver_->Answer(kMail, "mail.example.org");
  WaitForNames();
  // The real scanner started with the monitor replaces the labels stored by
  // hand, so the row is found by its address alone.
  {
    TrafficList::Lock lock(StateOf(*monitor_).list);
    const int row = StateOf(*monitor_).list.FindRemoteIpRow(FormatAddress(kMail));
    ASSERT_GE(row, 0);
    EXPECT_EQ(StateOf(*monitor_).list.Cell(row, kColumnRemoteHost), "mail.example.org");
  }
  monitor_->Stop();
}

// 127.0.0.1 is named by /etc/hosts on every machine that has one; the
// system's resolver must give the row that name.
std::optional<std::string> LoopbackNameInEtcHosts() {
  std::ifstream hosts("/etc/hosts");
  for (std::string line; std::getline(hosts, line);) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string address, name;
    if (words >> address >> name && address == "127.0.0.1") return name;
  }
  return std::nullopt;
}

TEST(RealHostNamesTest, LoopbackRowShowsItsNameFromEtcHosts) {
  std::optional<std::string> expected = LoopbackNameInEtcHosts();
  if (!expected) GTEST_SKIP() << "/etc/hosts names no 127.0.0.1";
  ManualClock clock{LocalNoon()};
  testing::TestEnv env(clock);
  Monitor monitor(env, "/nonexistent-corvane-dir");
  StateOf(monitor).settings.interfaceAddress = MakeAddress(127, 0, 0, 2);
  monitor.EnableHostNames();
  PacketInfo info;
  info.sourceAddress = IpAddress::V4(MakeAddress(127, 0, 0, 1));
  info.destinationAddress = IpAddress::V4(MakeAddress(127, 0, 0, 2));
  info.protocol = kProtocolIcmp;
  info.length = 84;
  monitor.AccountDatagram(info);
  clock.Advance(3);
  monitor.RunPass();
  ASSERT_TRUE(monitor.WaitForHostNames(kPatience));
  TrafficList::Lock lock(StateOf(monitor).list);
  ASSERT_EQ(StateOf(monitor).list.Count(), 1);
  EXPECT_EQ(StateOf(monitor).list.Cell(0, kColumnRemoteIp), "127.0.0.1");
  EXPECT_EQ(StateOf(monitor).list.Cell(0, kColumnRemoteHost), *expected);
}

}  // namespace
}  // namespace corvane
