#include "engine/monitor_internals.h"
#include "ui/CMainDlg.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QMenu>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>

#include "vocabulary/text_format.h"
#include "platform/interfaces.h"
#include "platform/net.h"
#include "platform/pcapng_reader.h"
#include "storage/history_report.h"
#include "ui/CHistoryDlg.h"
#include "ui/CIconButton.h"
#include "ui/GraphArea.h"
#include "ui/ProgramIcons.h"
#include "ui/ProgramRecording.h"
#include "ui/ProgramsView.h"
#include "ui/TrafficModel.h"
#include "dialog_test_files.h"

namespace {

using corvane::MakeAddress;

constexpr uint32_t kLocal = MakeAddress(127, 0, 0, 2);

// Datagrams handed to the capture thread by the test.
struct Feed {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::vector<uint8_t>> datagrams;

  void Push(std::vector<uint8_t> datagram) {
    {
      std::lock_guard lock(mutex);
      datagrams.push_back(std::move(datagram));
    }
    ready.notify_all();
  }
};

class FeedSource : public corvane::CaptureSource {
 public:
  explicit FeedSource(std::shared_ptr<Feed> feed) : feed_(std::move(feed)) {}
  corvane::ReadStatus Next(corvane::CapturedDatagram& datagram, corvane::Status&) override {
    std::unique_lock lock(feed_->mutex);
    feed_->ready.wait_for(lock, std::chrono::milliseconds(100),
                          [&] { return interrupted_ || !feed_->datagrams.empty(); });
    if (interrupted_) return corvane::ReadStatus::Interrupted;
    if (feed_->datagrams.empty()) return corvane::ReadStatus::Timeout;
    current_ = std::move(feed_->datagrams.front());
    feed_->datagrams.pop_front();
    datagram.bytes = current_;
    return corvane::ReadStatus::Datagram;
  }
  void Interrupt() override {
    {
      std::lock_guard lock(feed_->mutex);
      interrupted_ = true;
    }
    feed_->ready.notify_all();
  }

 private:
  std::shared_ptr<Feed> feed_;
  std::vector<uint8_t> current_;
  bool interrupted_ = false;  // GUARDED_BY(feed_->mutex)
};

// A UDP datagram of `length` bytes (IP total length).
std::vector<uint8_t> Udp(uint32_t source, uint32_t destination, uint16_t sourcePort,
                         uint16_t destinationPort, uint16_t length) {
  std::vector<uint8_t> d(length, 0);
  d[0] = 0x45;
  d[2] = static_cast<uint8_t>(length >> 8);
  d[3] = static_cast<uint8_t>(length);
  d[8] = 64;
  d[9] = 17;
  std::memcpy(&d[12], &source, 4);
  std::memcpy(&d[16], &destination, 4);
  d[20] = static_cast<uint8_t>(sourcePort >> 8);
  d[21] = static_cast<uint8_t>(sourcePort);
  d[22] = static_cast<uint8_t>(destinationPort >> 8);
  d[23] = static_cast<uint8_t>(destinationPort);
  return d;
}

struct Message {
  QMessageBox::Icon icon;
  QString caption;
  QString text;
  QMessageBox::StandardButtons buttons = {};
};

class TestDlg : public CMainDlg {
 public:
  using CMainDlg::CMainDlg;
  std::vector<Message> messages;
  QMessageBox::StandardButton answer = QMessageBox::No;
  QStringList opened;

 protected:
  QMessageBox::StandardButton ShowMessage(QMessageBox::Icon icon, const QString& caption,
                                          const QString& text,
                                          QMessageBox::StandardButtons buttons) override {
    messages.push_back({icon, caption, text, buttons});
    return answer;
  }
  bool OpenLink(const QString& url, QString*) override {
    opened.push_back(url);
    return true;
  }
  QMessageBox::StandardButton AskWriteUs(const QString& text, bool* dontAskAgain) override {
    messages.push_back({QMessageBox::Information, QStringLiteral("Write us"), text, {}});
    *dontAskAgain = dontAskAgainTicked;
    return answer;
  }

 public:
  bool dontAskAgainTicked = false;
  QMessageBox::StandardButton RealAskWriteUs(bool* dontAskAgain) {
    return CMainDlg::AskWriteUs(QStringLiteral("Write to us?"), dontAskAgain);
  }
};

int64_t Noon() {
  corvane::LocalTime t;
  t.year = 2024;
  t.month = 3;
  t.day = 5;
  t.hour = 12;
  int64_t seconds = 0;
  corvane::FromLocalTime(t, seconds);
  return seconds;
}

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() : clock(Noon()) { Make(); }

  // A new window on the same folder, as a new start of the program makes.
  // Unless `fixedInterface` is false, it watches "test0" holding kLocal,
  // not the interface set.dat names.
  void Make(bool fixedInterface = true) {
    dlg = std::make_unique<TestDlg>(clock, dir.path().toStdString());
    if (fixedInterface) {
      dlg->SetInterface("test0", corvane::LocalNetworks{{corvane::IpAddress::V4(kLocal)}, {}});
    }
    dlg->monitor().SetCaptureOpener([this](const std::string&, corvane::Status& status) {
      if (failCapture) {
        status = corvane::Status::Failed("no interface");
        return std::unique_ptr<corvane::CaptureSource>();
      }
      return std::unique_ptr<corvane::CaptureSource>(std::make_unique<FeedSource>(feed));
    });
  }

  // The commands the list's worker carries out, and their answers shown.
  void SaveAndClear() {
    dlg->OnSaveAndClear();
    dlg->WaitForListWork();
    QCoreApplication::processEvents();
  }
  void Export(const std::string& path, corvane::ExportFormat format) {
    dlg->ExportList(path, format);
    dlg->WaitForListWork();
    QCoreApplication::processEvents();
  }

  void Start(bool tray = true) {
    dlg->SetTrayAvailable(tray);
    dlg->Initialise();
    dlg->show();
  }

  // Feeds datagrams and lets the processing thread show them: the clock
  // jumps past the 3-second age every event needs.
  void FeedAndShow(const std::vector<std::vector<uint8_t>>& datagrams, int expectedRows) {
    size_t flows = StateOf(dlg->monitor()).flows.AddressFlowCount();
    for (const auto& d : datagrams) feed->Push(d);
    (void)flows;
    QTRY_VERIFY_WITH_TIMEOUT(FeedDrained(), 5000);
    // The capture thread accounts a datagram before it reads the next one.
    feed->Push(Udp(MakeAddress(127, 9, 9, 9), MakeAddress(127, 9, 9, 8), 1, 1, 28));
    QTRY_VERIFY_WITH_TIMEOUT(FeedDrained(), 5000);
    clock.Advance(4);
    QTRY_COMPARE_WITH_TIMEOUT(dlg->trafficModel()->rowCount(), expectedRows, 5000);
  }

  bool FeedDrained() {
    std::lock_guard lock(feed->mutex);
    return feed->datagrams.empty();
  }

  QStringList Column(int column) {
    QStringList texts;
    for (int row = 0; row < dlg->trafficModel()->rowCount(); ++row) {
      texts << QString::fromStdString(dlg->trafficModel()->Cells(row)[column]);
    }
    return texts;
  }

  void ClickHeading(int column) {
    QHeaderView* header = dlg->trafficView()->horizontalHeader();
    QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
              header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    dlg->WaitForListWork();
  }

  // How row `row` is drawn, from the blank right end of its "Remote host"
  // cell: in the highlight colour (the user's selection), in the base colour
  // (unmarked), or tinted (marked for new activity).
  enum class Drawn { kPlain, kSelected, kActivity };
  Drawn PaintedAs(int row) {
    QTableView* view = dlg->trafficView();
    const QImage picture = view->viewport()->grab().toImage();
    const QRect cell = view->visualRect(view->model()->index(row, corvane::kColumnRemoteHost));
    const QColor at = picture.pixelColor(cell.right() - 3, cell.center().y());
    if (at == view->palette().color(QPalette::Active, QPalette::Highlight)) return Drawn::kSelected;
    const bool plain = at == view->palette().color(QPalette::Base) ||
                       at == view->palette().color(QPalette::AlternateBase);
    return plain ? Drawn::kPlain : Drawn::kActivity;
  }

  QTemporaryDir dir;
  corvane::ManualClock clock;
  std::shared_ptr<Feed> feed = std::make_shared<Feed>();
  std::atomic<bool> failCapture{false};  // read by the capture thread
  std::unique_ptr<TestDlg> dlg;
};

const uint32_t kA = MakeAddress(10, 0, 0, 1);
const uint32_t kB = MakeAddress(192, 168, 0, 1);
const uint32_t kC = MakeAddress(9, 9, 9, 9);

TEST_F(MainWindowTest, StartUpShowsTheWindowAsSpecifiedBeforeCaptureNamesTheAddress) {
  Start();
  QTRY_COMPARE_WITH_TIMEOUT(dlg->windowTitle(), QStringLiteral("Corvane [test0]"), 5000);
  EXPECT_TRUE(dlg->summaryLabel()->text().isEmpty()) << "the placeholder readout is emptied";
  EXPECT_EQ(dlg->summaryGroup()->title(), QStringLiteral("Summary traffic : "));
  EXPECT_EQ(dlg->summaryGroup()->palette().color(QPalette::WindowText), QColor(50, 0, 225));
  EXPECT_EQ(dlg->graphArea()->toolTip(), QStringLiteral("DS/US graph"));
  const char* tips[] = {"Save & Clear", "Show log", "Delete all saved logs", "Options",
                        "Show Help Topics"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(dlg->button(i)->toolTip(), QString::fromLatin1(tips[i]));
  EXPECT_FALSE(dlg->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(dlg->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(dlg->trafficView()->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(dlg->trafficView()->selectionMode(), QAbstractItemView::ExtendedSelection);
  ASSERT_NE(dlg->trayMenu(), nullptr);
  QList<QAction*> items = dlg->trayMenu()->actions();
  ASSERT_EQ(items.size(), 9);
  EXPECT_EQ(items[0]->text(), QStringLiteral("&Show Corvane"));
  EXPECT_EQ(dlg->trayMenu()->defaultAction(), items[0]);
  EXPECT_TRUE(items[0]->font().bold());
  EXPECT_EQ(items[1]->text(), QStringLiteral("Show &log"));
  EXPECT_EQ(items[2]->text(), QStringLiteral("&History..."));
  EXPECT_EQ(items[3]->text(), QStringLiteral("&Options..."));
  EXPECT_EQ(items[4]->text(), QStringLiteral("&Pause capture"));
  EXPECT_TRUE(items[4]->isCheckable());
  // Deleting every log is kept away from Exit.
  EXPECT_TRUE(items[5]->isSeparator());
  EXPECT_EQ(items[6]->text(), QStringLiteral("&Delete all saved logs..."));
  EXPECT_TRUE(items[7]->isSeparator());
  EXPECT_EQ(items[8]->text(), QStringLiteral("E&xit"));
  EXPECT_EQ(dlg->trayIcon()->toolTip(), QStringLiteral("Corvane"));
}

// set.dat remembers the interface across starts; one that is gone gives way
// to the default route's, and the user is told which.
TEST_F(MainWindowTest, StartRestoresTheSavedInterfaceOrFallsBackToTheDefaultAndSaysSo) {
  auto startWith = [&](const std::string& line) {
    dlg.reset();
    std::ofstream(dir.path().toStdString() + "/set.dat") << line;
    Make(/*fixedInterface=*/false);
    Start();
  };
  startWith("0 0 0 ? ? 4294967295 lo\r\n");
  QTRY_COMPARE_WITH_TIMEOUT(dlg->windowTitle(), QStringLiteral("Corvane [lo]"), 5000);
  EXPECT_TRUE(dlg->monitor().localNetworks().IsOwnAddress(*corvane::ParseIp("127.0.0.1")))
      << "lo's addresses reach the monitor";
  EXPECT_TRUE(dlg->messages.empty());

  startWith("0 0 0 ? ? 4294967295 gone0\r\n");
  const QString fallback = QString::fromStdString(corvane::DefaultRouteInterface());
  QTRY_COMPARE_WITH_TIMEOUT(dlg->windowTitle(), QStringLiteral("Corvane [%1]").arg(fallback), 5000);
  QTRY_COMPARE_WITH_TIMEOUT(dlg->messages.size(), size_t{1}, 5000);
  EXPECT_TRUE(dlg->messages[0].text.contains(QStringLiteral("gone0"))) << dlg->messages[0].text.toStdString();
}

TEST_F(MainWindowTest, CapturedTrafficBecomesRowsWithTheirCellsAndActivityMarks) {
  Start();
  FeedAndShow({Udp(kA, kLocal, 53, 4000, 100), Udp(kLocal, kA, 4000, 53, 60),
               Udp(kB, kLocal, 80, 4001, 1500), Udp(kC, kLocal, 443, 4002, 40)},
              3);
  TrafficModel* model = dlg->trafficModel();
  // New rows enter at the top: the last address seen first.
  EXPECT_EQ(Column(corvane::kColumnRemoteIp),
            (QStringList{"9.9.9.9", "192.168.0.1", "10.0.0.1"}));
  EXPECT_EQ(Column(corvane::kColumnDownload), (QStringList{"40 B", "1.46 KB", "100 B"}));
  EXPECT_EQ(Column(corvane::kColumnUpload), (QStringList{"0 B", "0 B", "60 B"}));
  EXPECT_EQ(Column(corvane::kColumnTotal), (QStringList{"40 B", "1.46 KB", "160 B"}));
  // Every fresh row carries the activity mark, drawn unlike a selection.
  for (int row = 0; row < 3; ++row) {
    EXPECT_TRUE(model->IsActive(row));
    EXPECT_FALSE(model->IsChosen(row));
    EXPECT_EQ(PaintedAs(row), Drawn::kActivity) << row;
  }
  EXPECT_EQ(model->data(model->index(0, 0), Qt::DecorationRole).typeId(), QMetaType::QIcon);
  EXPECT_EQ(model->data(model->index(0, 2), Qt::TextAlignmentRole).value<Qt::Alignment>() &
                Qt::AlignRight,
            Qt::AlignRight);
}

TEST_F(MainWindowTest, HeadingClicksSortByValueBothWaysWithTheIndicatorAndNewRowsTakeTheirPlace) {
  Start();
  FeedAndShow({Udp(kA, kLocal, 53, 4000, 1000), Udp(kA, kLocal, 53, 4000, 1000),
               Udp(kB, kLocal, 80, 4001, 1023), Udp(kC, kLocal, 443, 4002, 500)},
              3);
  QHeaderView* header = dlg->trafficView()->horizontalHeader();
  ClickHeading(corvane::kColumnRemoteIp);
  QTRY_COMPARE_WITH_TIMEOUT(Column(corvane::kColumnRemoteIp),
                            (QStringList{"192.168.0.1", "10.0.0.1", "9.9.9.9"}), 5000);
  ClickHeading(corvane::kColumnDownload);
  QTRY_COMPARE_WITH_TIMEOUT(Column(corvane::kColumnDownload),
                            (QStringList{"1.95 KB", "1023 B", "500 B"}), 5000);
  EXPECT_TRUE(header->isSortIndicatorShown());
  EXPECT_EQ(header->sortIndicatorSection(), corvane::kColumnDownload);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
  ClickHeading(corvane::kColumnDownload);  // the second click turns the order round
  QTRY_COMPARE_WITH_TIMEOUT(Column(corvane::kColumnDownload),
                            (QStringList{"500 B", "1023 B", "1.95 KB"}), 5000);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);

  // A new row goes where the sort puts it, not to the top.
  FeedAndShow({Udp(MakeAddress(1, 2, 3, 4), kLocal, 53, 4003, 700)}, 4);
  EXPECT_EQ(Column(corvane::kColumnDownload), (QStringList{"500 B", "700 B", "1023 B", "1.95 KB"}));
}

// The user's choice on the list: clicks, ctrl-clicks, shift-clicks, Ctrl+A
// and keys choose rows, which are drawn as selected rows; the core's
// activity marks are a tint apart that never counts as chosen.
class MainWindowMarksTest : public MainWindowTest {
 protected:
  void SetUp() override {
    Start();
    AddRows(6);  // 10.0.0.5 at the top ... 10.0.0.0 at the bottom
    view = dlg->trafficView();
    view->setFocus();
  }

  void AddRows(int count, int64_t lastActivity = Noon()) {
    {
      corvane::TrafficList& list = StateOf(dlg->monitor()).list;
      corvane::TrafficList::Lock lock(list);
      for (int i = 0; i < count; ++i) {
        // Live rows, each with its flow, by which the window's marks find it.
        const uint8_t host = static_cast<uint8_t>(next++);
        const std::string address = "10.0.0." + std::to_string(host);
        corvane::RowCells cells{address, "h", "1 B", "0 B", "1 B", "UDP",
                                "2024-03-05 11:58:02", "2024-03-05 12:00:00"};
        corvane::RowValues values = corvane::ValuesOfCells(cells);
        values.lastActivity = lastActivity;
        list.InsertTop(corvane::RowKey{corvane::IpAddress::V4(corvane::MakeAddress(10, 0, 0, host)), 0, 17},
                       std::move(cells), values);
      }
    }
    StateOf(dlg->monitor()).list.Publish();
    dlg->trafficModel()->ApplyPending();
  }

  void Click(int row, Qt::KeyboardModifiers modifiers = {}) {
    const QRect cell = view->visualRect(view->model()->index(row, corvane::kColumnRemoteIp));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, modifiers, cell.center());
  }

  // The chosen rows as the model and the painted view have them; both
  // must agree.
  std::vector<int> ModelMarks() { return dlg->trafficModel()->ChosenRows(); }
  std::vector<int> PaintedMarks() {
    std::vector<int> rows;
    for (int row = 0; row < dlg->trafficModel()->rowCount(); ++row) {
      if (PaintedAs(row) == Drawn::kSelected) rows.push_back(row);
    }
    return rows;
  }
  void ExpectMarks(const std::vector<int>& rows) {
    EXPECT_EQ(ModelMarks(), rows);
    EXPECT_EQ(PaintedMarks(), rows);
  }

  QTableView* view = nullptr;
  int next = 0;
};

TEST_F(MainWindowMarksTest, ClickChoosesOneRowAndTintedRowsAreNotChosen) {
  {
    corvane::TrafficList& list = StateOf(dlg->monitor()).list;
    corvane::TrafficList::Lock lock(list);
    list.SetSelected(0, true);
    list.SetSelected(5, true);
  }
  StateOf(dlg->monitor()).list.Publish();
  dlg->trafficModel()->ApplyPending();
  ExpectMarks({});
  EXPECT_EQ(PaintedAs(5), Drawn::kActivity);
  Click(2);
  ExpectMarks({2});
  EXPECT_EQ(PaintedAs(0), Drawn::kActivity);
  EXPECT_EQ(PaintedAs(2), Drawn::kSelected) << "the user's mark looks like a selection";
  Click(2);  // a click on a marked row keeps it marked
  ExpectMarks({2});
  EXPECT_EQ(view->currentIndex().row(), 2);
}

TEST_F(MainWindowMarksTest, CtrlClickFlipsOnlyTheClickedRowBothWays) {
  Click(1);
  Click(4, Qt::ControlModifier);
  ExpectMarks({1, 4});
  Click(1, Qt::ControlModifier);
  ExpectMarks({4});
  Click(4, Qt::ControlModifier);
  ExpectMarks({});
}

TEST_F(MainWindowMarksTest, ShiftClickMarksARangeThatTheNextShiftClickReplaces) {
  Click(1);
  Click(4, Qt::ShiftModifier);
  ExpectMarks({1, 2, 3, 4});
  Click(2, Qt::ShiftModifier);
  ExpectMarks({1, 2});
  Click(0, Qt::ShiftModifier);
  ExpectMarks({0, 1});
  // A ctrl-click keeps the range; the next shift-click adds a new one.
  Click(5, Qt::ControlModifier);
  Click(3, Qt::ShiftModifier);
  ExpectMarks({0, 1, 3, 4, 5});
}

TEST_F(MainWindowMarksTest, CtrlAMarksEveryRowAndKeysMoveOrExtendTheMark) {
  QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
  ExpectMarks({0, 1, 2, 3, 4, 5});
  Click(2);
  QTest::keyClick(view, Qt::Key_Down);
  ExpectMarks({3});
  QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
  QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
  ExpectMarks({3, 4, 5});
  QTest::keyClick(view, Qt::Key_Up, Qt::ShiftModifier);
  ExpectMarks({3, 4});
  QTest::keyClick(view, Qt::Key_Space, Qt::ControlModifier);  // flips the current row
  ExpectMarks({3});
}

TEST_F(MainWindowMarksTest, CoreRecordsChangeTheTintNeverTheChoice) {
  Click(1);
  {
    corvane::TrafficList& list = StateOf(dlg->monitor()).list;
    corvane::TrafficList::Lock lock(list);
    list.SetSelected(1, true);
    list.SetSelected(1, false);
    list.SetSelected(3, true);
  }
  StateOf(dlg->monitor()).list.Publish();
  dlg->trafficModel()->ApplyPending();
  ExpectMarks({1});
  EXPECT_EQ(PaintedAs(3), Drawn::kActivity);
}

TEST_F(MainWindowMarksTest, ChosenRowsKeepTheirFlowsWhenRowsEnterAndGoIdle) {
  Click(1);                         // 10.0.0.4
  Click(3, Qt::ControlModifier);    // 10.0.0.2
  {
    corvane::TrafficList& list = StateOf(dlg->monitor()).list;
    corvane::TrafficList::Lock lock(list);
    list.InsertTop(corvane::RowCells{"10.0.1.1", "h", "1 B", "0 B", "1 B", "UDP", "", ""}, Noon());
    list.SetSelected(0, true);  // a fresh row carries the tint
  }
  // The user chooses a row before the window has seen the new row.
  Click(5, Qt::ControlModifier);    // 10.0.0.0
  StateOf(dlg->monitor()).list.Publish();
  dlg->trafficModel()->ApplyPending();
  ExpectMarks({2, 4, 6});
  EXPECT_EQ(Column(corvane::kColumnRemoteIp)[2], QStringLiteral("10.0.0.4"));
  EXPECT_EQ(Column(corvane::kColumnRemoteIp)[4], QStringLiteral("10.0.0.2"));
  EXPECT_EQ(Column(corvane::kColumnRemoteIp)[6], QStringLiteral("10.0.0.0"));
  clock.Advance(6);  // every row is idle now: the tint goes, the choice stays
  dlg->monitor().RunPass();
  dlg->trafficModel()->ApplyPending();
  ExpectMarks({2, 4, 6});
  EXPECT_FALSE(dlg->trafficModel()->IsActive(0));
}

TEST_F(MainWindowTest, TickMovesCountsIntoTheReadoutAndSaveAndClearRestartsItFromZero) {
  Start();
  std::vector<std::vector<corvane::RowCells>> saved;
  dlg->monitor().SetLogWriter([&](const std::vector<corvane::RowCells>& rows) {
    saved.push_back(rows);
    return corvane::Status::Ok();
  });
  FeedAndShow({Udp(kA, kLocal, 53, 4000, 1536), Udp(kLocal, kA, 4000, 53, 100)}, 1);
  dlg->OnTick();
  // The extra datagram the feed uses to synchronise is not for this host.
  EXPECT_EQ(dlg->summaryLabel()->text(), QStringLiteral("DL: 1.50 KB  UL: 100 B"));
  EXPECT_EQ(StateOf(dlg->monitor()).counters.tickDownloadBytes.load(), 0u);

  SaveAndClear();
  ASSERT_EQ(saved.size(), 1u);
  ASSERT_EQ(saved[0].size(), 1u);
  EXPECT_EQ(saved[0][0][corvane::kColumnRemoteIp], "10.0.0.1");
  EXPECT_EQ(dlg->trafficModel()->rowCount(), 0);
  EXPECT_EQ(StateOf(dlg->monitor()).flows.AddressFlowCount(), 0u);
  dlg->OnTick();
  EXPECT_EQ(dlg->summaryLabel()->text(), QStringLiteral("DL: 0 B  UL: 0 B"));
  EXPECT_TRUE(dlg->messages.empty());
}

TEST_F(MainWindowTest, FailedSaveReportsThePathAndClearsNothing) {
  Start();
  dlg->monitor().SetLogWriter([](const std::vector<corvane::RowCells>&) {
    return corvane::Status::Failed("Can't write to /full/disk/2024-03-05_12t00t00.log");
  });
  FeedAndShow({Udp(kA, kLocal, 53, 4000, 100)}, 1);
  dlg->OnTick();
  SaveAndClear();
  ASSERT_EQ(dlg->messages.size(), 1u);
  EXPECT_EQ(dlg->messages[0].icon, QMessageBox::Critical);
  EXPECT_EQ(dlg->messages[0].caption, QStringLiteral("Error"));
  EXPECT_EQ(dlg->messages[0].text,
            QStringLiteral("Can't write to /full/disk/2024-03-05_12t00t00.log"));
  QCoreApplication::processEvents();
  EXPECT_EQ(dlg->trafficModel()->rowCount(), 1);
  EXPECT_EQ(StateOf(dlg->monitor()).flows.Totals().downloadBytes, 100u);
}

// File > "Export list...": the save dialog's JSON filter turns a bare name
// into NAME.json holding the rows' exact numbers; the CSV defuses a formula
// in a name; a write that fails names the path and the reason.
TEST_F(MainWindowTest, ExportListWritesExactCountsInTheChosenFormatAndReportsAFailedWrite) {
  const uint64_t beyond32 = (uint64_t{1} << 32) + 5;
  const std::string host = "=evil,\"host\"";
  {
    corvane::TrafficList& list = StateOf(dlg->monitor()).list;
    corvane::TrafficList::Lock lock(list);
    list.InsertTop(corvane::RowKey{corvane::IpAddress::V4(kA), 0, 1},
                   corvane::RowCells{"10.0.0.1", host, "4.00 GB", "60 B", "4.00 GB", "firefox:42",
                                     "2024-03-05 12:00:00", "2024-03-05 12:00:07"},
                   corvane::RowValues{beyond32, 60, Noon(), Noon() + 7});
  }
  QMenu* file = nullptr;
  for (QMenu* menu : dlg->findChildren<QMenu*>()) {
    if (menu->title() == QStringLiteral("&File")) file = menu;
  }
  ASSERT_NE(file, nullptr);
  const QList<QAction*> items = file->actions();
  ASSERT_GE(items.size(), 2);
  EXPECT_EQ(items.front()->text(), QStringLiteral("&Export list..."));
  EXPECT_EQ(items.back()->text(), QStringLiteral("E&xit"));

  QTimer::singleShot(0, dlg.get(), [&] {
    auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(files, nullptr) << "Export list asks for the file in a modal save dialog";
    EXPECT_EQ(files->nameFilters(), (QStringList{"CSV (*.csv)", "JSON (*.json)"}));
    // The user picks JSON in the file type box (as a key press does, so
    // that the dialog hears of it).
    for (QComboBox* types : files->findChildren<QComboBox*>()) {
      if (types->findText(QStringLiteral("JSON (*.json)")) == 1) QTest::keyClick(types, Qt::Key_Down);
    }
    EXPECT_EQ(files->selectedNameFilter(), QStringLiteral("JSON (*.json)"));
    files->selectFile(dir.filePath(QStringLiteral("rows")));
    static_cast<QDialog*>(files)->accept();  // QFileDialog::accept, as the Save button does
  });
  items.front()->trigger();
  dlg->WaitForListWork();
  QFile json(dir.filePath(QStringLiteral("rows.json")));
  ASSERT_TRUE(json.open(QIODevice::ReadOnly)) << "the JSON filter names the file rows.json";
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(json.readAll(), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
  ASSERT_EQ(document.array().size(), 1);
  const QJsonObject row = document.array()[0].toObject();
  EXPECT_EQ(row[QStringLiteral("downloaded_bytes")].toInteger(), static_cast<qint64>(beyond32));
  EXPECT_EQ(row[QStringLiteral("total_bytes")].toInteger(), static_cast<qint64>(beyond32 + 60));
  EXPECT_EQ(row[QStringLiteral("remote_host")].toString().toStdString(), host);
  EXPECT_EQ(row[QStringLiteral("last_activity")].toString().toStdString(),
            corvane::FormatUtcTime(Noon() + 7));

  const std::string csvPath = dir.filePath(QStringLiteral("rows.csv")).toStdString();
  Export(csvPath, corvane::ExportFormat::kCsv);
  EXPECT_TRUE(dlg->messages.empty());
  std::ifstream csv(csvPath, std::ios::binary);
  const std::string csvText{std::istreambuf_iterator<char>(csv), {}};
  EXPECT_NE(csvText.find("10.0.0.1,\"'=evil,\"\"host\"\"\"," + std::to_string(beyond32) + ",60,"),
            std::string::npos)
      << csvText;

  const std::string missing = dir.filePath(QStringLiteral("gone/rows.csv")).toStdString();
  Export(missing, corvane::ExportFormat::kCsv);
  ASSERT_EQ(dlg->messages.size(), 1u);
  EXPECT_EQ(dlg->messages[0].icon, QMessageBox::Critical);
  EXPECT_EQ(dlg->messages[0].text.toStdString(),
            "Can't write to " + missing + ": No such file or directory");
}

TEST_F(MainWindowTest, CaptureFailureArrivesAsAnErrorBoxOnTheWindowThread) {
  failCapture = true;
  Start();
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->messages.empty(), 5000);
  EXPECT_EQ(dlg->messages[0].icon, QMessageBox::Critical);
  EXPECT_EQ(dlg->messages[0].caption, QStringLiteral("Error"));
  // The box says why, not a fixed text.
  EXPECT_EQ(dlg->messages[0].text, QStringLiteral("Can't capture on test0: no interface"));
  // The box is not all: the window keeps saying why, until capture runs.
  EXPECT_TRUE(dlg->captureStatus()->text().startsWith(QStringLiteral("Not capturing on ")));
  EXPECT_TRUE(dlg->captureStatus()->text().endsWith(QStringLiteral(": no interface")));
  failCapture = false;
  QTRY_VERIFY_WITH_TIMEOUT(dlg->captureStatus()->text().startsWith(QStringLiteral("Watching ")), 5000);
  EXPECT_EQ(dlg->messages.size(), 1u);
  // Paused from the tray, the window says so until capture runs again.
  QAction* pause = dlg->trayMenu()->actions()[4];
  pause->trigger();
  EXPECT_EQ(dlg->captureStatus()->text(), QStringLiteral("Paused: nothing is captured on test0"));
  EXPECT_TRUE(dlg->windowTitle().endsWith(QStringLiteral("Paused")));
  pause->trigger();
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->windowTitle().contains(QStringLiteral("Paused")), 5000);
  EXPECT_TRUE(dlg->captureStatus()->text().startsWith(QStringLiteral("Watching ")));
}

// The history is the window's too: one it cannot open is told once, with
// the reason, and left as it is, while capture goes on; the History view
// says the same.
TEST_F(MainWindowTest, UnreadableHistoryIsReportedOnceLeftAsItIsAndCaptureGoesOn) {
  const std::string history = dir.filePath("history.sqlite").toStdString();
  std::ofstream(history) << "no database";
  Start();
  FeedAndShow({Udp(kA, kLocal, 53, 4000, 100)}, 1);
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->messages.empty(), 5000);
  ASSERT_EQ(dlg->messages.size(), 1u);
  EXPECT_TRUE(dlg->messages[0].text.startsWith(QStringLiteral("The traffic history is not kept: ")));
  EXPECT_TRUE(dlg->messages[0].text.contains(QString::fromStdString(history)));
  std::ifstream in(history);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "no database");

  dlg->OnHistory();
  ASSERT_NE(dlg->historyDialog(), nullptr);
  dlg->historyDialog()->WaitForLoad();
  EXPECT_TRUE(dlg->historyDialog()->statusLabel()->text().contains(QString::fromStdString(history)));
  EXPECT_EQ(dlg->messages.size(), 1u);
}

TEST_F(MainWindowTest, CloseHidesBehindTheTrayAndShowMainDialogBringsTheWindowBack) {
  bool hiddenWhileRunning = false, backAfterShow = false, stillCounting = false;
  QTimer::singleShot(0, dlg.get(), [&] {
    dlg->close();
    hiddenWhileRunning = !dlg->isVisible() && !dlg->windowShown();
    // Everything keeps counting while the window is hidden.
    StateOf(dlg->monitor()).flows.AddToAddressFlow(corvane::IpAddress::V4(0x0100000a), 0,
                                                  corvane::kDirectionDownload, 10);
    dlg->OnTick();
    stillCounting = dlg->summaryLabel()->text() == QStringLiteral("DL: 10 B  UL: 0 B");
    dlg->trayMenu()->actions()[0]->trigger();
    backAfterShow = dlg->isVisible() && dlg->windowShown();
    dlg->OnExit();
  });
  dlg->SetTrayAvailable(true);
  EXPECT_EQ(dlg->exec(), QDialog::Accepted);
  EXPECT_TRUE(hiddenWhileRunning) << "closing must hide the window, not end the dialog";
  EXPECT_TRUE(stillCounting);
  EXPECT_TRUE(backAfterShow);
}

TEST_F(MainWindowTest, WithoutATrayCloseMinimisesSoTheWindowCanComeBack) {
  Start(/*tray=*/false);
  dlg->close();
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_TRUE(dlg->windowState() & Qt::WindowMinimized);
  EXPECT_TRUE(dlg->windowShown());
}

TEST_F(MainWindowTest, EscAndEnterDoNotEndTheProgramOnlyExitDoes) {
  bool visibleAfterKeys = false;
  QTimer::singleShot(0, dlg.get(), [&] {
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    QTest::keyClick(dlg.get(), Qt::Key_Return);
    QTest::keyClick(dlg.get(), Qt::Key_Enter);
    visibleAfterKeys = dlg->isVisible();
    dlg->OnExit();
  });
  dlg->SetTrayAvailable(true);
  EXPECT_EQ(dlg->exec(), QDialog::Accepted);
  EXPECT_TRUE(visibleAfterKeys);
}

TEST_F(MainWindowTest, ExitStopsEveryThreadRemovesTheTrayIconAndAsksForFeedback) {
  dlg->answer = QMessageBox::Yes;
  QTimer::singleShot(0, dlg.get(), [&] { dlg->trayMenu()->actions().back()->trigger(); });
  dlg->SetTrayAvailable(true);
  EXPECT_EQ(dlg->exec(), QDialog::Accepted);
  EXPECT_FALSE(dlg->monitor().IsRunning());
  EXPECT_FALSE(dlg->trayIcon()->isVisible());
  EXPECT_FALSE(dlg->isVisible());
  ASSERT_EQ(dlg->messages.size(), 1u);
  EXPECT_EQ(dlg->messages[0].caption, QStringLiteral("Write us"));
  EXPECT_TRUE(dlg->messages[0].text.startsWith("We would like to hear what you think"));
  EXPECT_EQ(dlg->opened, QStringList{QStringLiteral(CORVANE_CONTACT_PAGE)});
  // The threads are gone: nothing fed now is counted.
  feed->Push(Udp(kA, kLocal, 1, 1, 100));
  QTest::qWait(0);
  EXPECT_EQ(StateOf(dlg->monitor()).flows.AddressFlowCount(), 0u);
}

// Enter on the "Write us" box answers No; "Don't ask again" is kept for
// the next start, which then asks nothing at Exit.
TEST_F(MainWindowTest, WriteUsDefaultsToNoAndDontAskAgainLastsAcrossStarts) {
  bool notAgain = false;
  QTimer::singleShot(0, dlg.get(), [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->icon(), QMessageBox::Information);
    EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
    ASSERT_NE(box->checkBox(), nullptr);
    box->checkBox()->setChecked(true);
    QTest::keyClick(box, Qt::Key_Return);
  });
  EXPECT_EQ(dlg->RealAskWriteUs(&notAgain), QMessageBox::No);
  EXPECT_TRUE(notAgain);

  Start();
  dlg->dontAskAgainTicked = true;
  dlg->OnExit();
  EXPECT_EQ(dlg->messages.size(), 1u);
  EXPECT_TRUE(dlg->opened.isEmpty());
  dlg.reset();
  Make();
  Start();
  dlg->OnExit();
  EXPECT_TRUE(dlg->messages.empty()) << "asked again after \"Don't ask again\"";
}

TEST_F(MainWindowTest, DeleteAllLogsAsksFirstAndRemovesOnlyLogs) {
  Start();
  QDir d(dir.path());
  for (const char* name :
       {"2024-03-01_10t00t00.log", "2024-03-02_10t00t00.log", "set.dat", "build.log"}) {
    QFile f(d.filePath(QString::fromLatin1(name)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  dlg->answer = QMessageBox::No;
  dlg->OnDeleteAllLogs();
  EXPECT_EQ(d.entryList({"*.log"}, QDir::Files).size(), 3);
  ASSERT_EQ(dlg->messages.size(), 1u);
  EXPECT_TRUE(dlg->messages[0].text.startsWith(QStringLiteral("Delete all 2 traffic logs in ")))
      << dlg->messages[0].text.toStdString();
  EXPECT_TRUE(dlg->messages[0].buttons & QMessageBox::Default) << "No must be the default";
  dlg->answer = QMessageBox::Yes;
  dlg->OnDeleteAllLogs();
  EXPECT_EQ(d.entryList({"*.log"}, QDir::Files), QStringList{"build.log"})
      << "another program's log in the folder stays";
  EXPECT_TRUE(d.exists("set.dat"));
  EXPECT_EQ(dlg->messages.size(), 2u) << "one question each time, no error";
}

// Exit (from the tray, the window hidden, "No" to the feedback question)
// and SIGTERM both end the program and keep the day's rows in a log.
TEST_F(MainWindowTest, EveryEndingWritesTheRowsToALogAndEndsEvenWhenHidden) {
  auto logsWith = [this](const char* address) {
    int found = 0;
    for (const QString& name : QDir(dir.path()).entryList({"*.log"}, QDir::Files)) {
      QFile f(QDir(dir.path()).filePath(name));
      f.open(QIODevice::ReadOnly);
      found += f.readAll().contains(address);
    }
    return found;
  };
  Start();
  FeedAndShow({Udp(kA, kLocal, 53, 4000, 1536)}, 1);
  bool timedOut = false;
  QTimer::singleShot(0, dlg.get(), [&] {
    dlg->close();  // behind the tray
    dlg->answer = QMessageBox::No;
    dlg->trayMenu()->actions().back()->trigger();
  });
  // A guard for the fault: without it a window left running would hang the
  // test. It dies with the test, so it can never end a later test's loop.
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    timedOut = true;
    QCoreApplication::exit(1);
  });
  guard.start(10000);
  EXPECT_EQ(dlg->exec(), QDialog::Accepted);
  guard.stop();
  EXPECT_FALSE(timedOut) << "Exit from the tray left the program running without a window";
  EXPECT_EQ(logsWith("10.0.0.1"), 1);

  dlg.reset();
  Make();
  Start();
  EXPECT_EQ(dlg->trafficModel()->rowCount(), 0) << "a new start begins a new list";
  FeedAndShow({Udp(kB, kLocal, 53, 4000, 700)}, 1);
  dlg->OnQuitSignal();
  EXPECT_TRUE(dlg->messages.empty()) << "a signal asks nothing";
  EXPECT_EQ(logsWith("192.168.0.1"), 1);
  EXPECT_FALSE(dlg->monitor().IsRunning());
}

// The list's own commands: the quick filter, Ctrl+C over several rows, and
// hiding a host or a program through a rule in filters.dat.
TEST_F(MainWindowTest, ListCommandsFilterCopyAndHideThroughFilterRules) {
  Start();
  FeedAndShow({Udp(kA, kLocal, 53, 4000, 100), Udp(kB, kLocal, 80, 4001, 100),
               Udp(kC, kLocal, 443, 4002, 100)},
              3);
  QTableView* view = dlg->trafficView();
  QTest::keyClick(dlg.get(), Qt::Key_F, Qt::ControlModifier);
  EXPECT_TRUE(dlg->quickFilterBox()->hasFocus());
  QTest::keyClicks(dlg->quickFilterBox(), QStringLiteral("192.168"));
  int shown = 0;
  for (int row = 0; row < 3; ++row) shown += !view->isRowHidden(row);
  EXPECT_EQ(shown, 1);
  dlg->quickFilterBox()->clear();

  // All three rows are tinted for new activity, and the user chooses one:
  // Ctrl+C and the context menu act on that one alone, as tab-separated
  // cells.
  auto menuAction = [&](int row, const QString& text) {
    QStringList captions;
    dlg->SetListMenuHook([&](QMenu& menu) {
      for (QAction* action : menu.actions()) {
        captions << action->text();
        if (action->text() == text) action->trigger();
      }
    });
    dlg->OpenListMenuAt(view->visualRect(view->model()->index(row, 0)).center());
    return captions;
  };
  for (int row = 0; row < 3; ++row) ASSERT_TRUE(dlg->trafficModel()->IsActive(row));
  const QRect second = view->visualRect(view->model()->index(1, 1));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, second.center());
  QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
  const QStringList lines = QGuiApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 1);
  EXPECT_EQ(lines[0].split('\t').size(), corvane::kColumnCount);
  EXPECT_EQ(lines[0].split('\t')[0], Column(corvane::kColumnRemoteIp)[1]);
  EXPECT_TRUE(menuAction(1, QString()).contains(QStringLiteral("Copy row")));

  // Hiding from the menu asks nothing and can be undone from the status line.
  const QString hidden = QString::fromStdString(dlg->trafficModel()->Cells(0)[corvane::kColumnRemoteIp]);
  view->selectionModel()->clear();
  menuAction(0, QStringLiteral("Hide this host"));
  QTRY_COMPARE_WITH_TIMEOUT(dlg->trafficModel()->rowCount(), 2, 5000);
  EXPECT_FALSE(Column(corvane::kColumnRemoteIp).contains(hidden));
  QFile rules(QDir(dir.path()).filePath("filters.dat"));
  auto ruleText = [&] {
    rules.close();
    EXPECT_TRUE(rules.open(QIODevice::ReadOnly));
    return rules.readAll();
  };
  EXPECT_TRUE(ruleText().contains(hidden.toLatin1() + " <ANY>"));
  ASSERT_TRUE(dlg->undoHideLink()->isVisible());
  emit dlg->undoHideLink()->linkActivated(QStringLiteral("undo"));
  QTRY_COMPARE_WITH_TIMEOUT(dlg->trafficModel()->rowCount(), 3, 5000);
  EXPECT_FALSE(ruleText().contains(hidden.toLatin1() + " <ANY>"));
  EXPECT_FALSE(dlg->undoHideLink()->isVisible());
  menuAction(Column(corvane::kColumnRemoteIp).indexOf(hidden), QStringLiteral("Hide this host"));
  QTRY_COMPARE_WITH_TIMEOUT(dlg->trafficModel()->rowCount(), 2, 5000);

  dlg->answer = QMessageBox::No;  // Delete asks first; No keeps the rows
  view->setCurrentIndex(view->model()->index(0, 0));
  QTest::keyClick(view, Qt::Key_Delete);
  ASSERT_EQ(dlg->messages.size(), 1u);
  EXPECT_TRUE(dlg->messages[0].buttons & QMessageBox::Default);
  EXPECT_EQ(dlg->trafficModel()->rowCount(), 2);

  menuAction(0, QStringLiteral("Hide this program"));
  // Every row left is of the same protocol label.
  QTRY_COMPARE_WITH_TIMEOUT(dlg->trafficModel()->rowCount(), 0, 5000);
}

// The Programs view sums the rows per program at every refresh while live
// traffic goes on; the quick filter, sorting, Copy and the program's icon
// from its desktop entry apply there too.
TEST_F(MainWindowTest, ProgramsViewTotalsEqualTheirRowsAtEveryRefreshUnderLiveTraffic) {
  // A desktop entry of "curl" with an icon file of its own.
  const QString data = dir.filePath(QStringLiteral("share"));
  ASSERT_TRUE(QDir().mkpath(data + "/applications"));
  const QString iconPath = data + "/curl.svg";
  ASSERT_TRUE(QFile::copy(QStringLiteral(":/icons/corvane.svg"), iconPath));
  {
    QFile entry(data + "/applications/curl.desktop");
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=curl\nExec=env A=1 /usr/bin/curl %u\nIcon=" +
                iconPath.toUtf8() + "\n");
  }
  qputenv("XDG_DATA_HOME", data.toUtf8());
  Start();
  // Rows of named programs beside the live ones: curl twice to one host
  // under two pids, and to a second host; ssh once.
  const char* named[][6] = {{"10.0.0.1", "a.example", "100 B", "20 B", "120 B", "curl:100"},
                            {"192.168.0.1", "b.example", "300 B", "40 B", "340 B", "curl:200"},
                            {"10.0.0.1", "a.example", "7 B", "3 B", "10 B", "curl:300"},
                            {"9.9.9.9", "c.example", "50 B", "60 B", "110 B", "ssh:50"}};
  {
    corvane::TrafficList& list = StateOf(dlg->monitor()).list;
    corvane::TrafficList::Lock lock(list);
    for (auto& r : named) {
      list.InsertTop(corvane::RowCells{r[0], r[1], r[2], r[3], r[4], r[5], "2024-03-05 11:58:02",
                                       "2024-03-05 12:00:00"},
                     Noon());
    }
  }
  dlg->trafficModel()->ApplyPending();
  dlg->ShowPrograms(true);
  ProgramsView* programs = dlg->programsView();
  ASSERT_TRUE(programs->isVisible());
  EXPECT_FALSE(dlg->trafficView()->isVisible());

  // Each program's numbers against its rows in the list model, summed here.
  auto checkTotals = [&] {
    TrafficModel* list = dlg->trafficModel();
    std::map<std::string, std::pair<uint64_t, uint64_t>> sums;
    std::map<std::string, std::set<std::string>> hosts;
    for (int row = 0; row < list->rowCount(); ++row) {
      const corvane::RowCells& cells = list->Cells(row);
      std::string program = cells[corvane::kColumnLocalSource];
      if (program.find(':') != std::string::npos) program.resize(program.rfind(':'));
      sums[program].first += static_cast<uint64_t>(*corvane::ByteCountValue(cells[corvane::kColumnDownload]));
      sums[program].second += static_cast<uint64_t>(*corvane::ByteCountValue(cells[corvane::kColumnUpload]));
      hosts[program].insert(cells[corvane::kColumnRemoteIp]);
    }
    const auto& totals = programs->programs()->Totals();
    ASSERT_EQ(totals.size(), sums.size());
    for (const corvane::ProgramTotal& total : totals) {
      EXPECT_EQ(total.downloadBytes, sums[total.program].first) << total.program;
      EXPECT_EQ(total.uploadBytes, sums[total.program].second) << total.program;
      EXPECT_EQ(total.hosts.size(), hosts[total.program].size()) << total.program;
    }
  };
  for (int round = 1; round <= 3; ++round) {
    FeedAndShow({Udp(kA, kLocal, 53, 4000, 100), Udp(kLocal, kA, 4000, 53, 60),
                 Udp(kB, kLocal, 80, 4001, 90)},
                6);
    // The live row has counted this round's datagrams.
    auto liveDownload = [this] {
      TrafficModel* list = dlg->trafficModel();
      list->ApplyPending();
      for (int row = 0; row < list->rowCount(); ++row) {
        const corvane::RowCells& cells = list->Cells(row);
        if (cells[corvane::kColumnRemoteIp] == "10.0.0.1" &&
            cells[corvane::kColumnLocalSource] == "UDP protocol") {
          return QString::fromStdString(cells[corvane::kColumnDownload]);
        }
      }
      return QString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(liveDownload(), QStringLiteral("%1 B").arg(100 * round), 5000);
    {
      corvane::TrafficList& list = StateOf(dlg->monitor()).list;
      corvane::TrafficList::Lock lock(list);
      const int curl = list.FindRemoteIpRow("192.168.0.1", "curl:200");
      ASSERT_GE(curl, 0);
      list.SetCounts(curl, 300 + 100 * static_cast<uint64_t>(round), 40, Noon());
    }
    StateOf(dlg->monitor()).list.Publish();
    dlg->trafficModel()->ApplyPending();
    dlg->OnTick();  // the view's refresh
    SCOPED_TRACE(round);
    checkTotals();
  }
  const auto& totals = programs->programs()->Totals();
  auto curl = std::find_if(totals.begin(), totals.end(), [](auto& t) { return t.program == "curl"; });
  ASSERT_NE(curl, totals.end());
  EXPECT_EQ(curl->downloadBytes, 100u + 600u + 7u);
  EXPECT_EQ(curl->uploadBytes, 20u + 40u + 3u);
  ASSERT_EQ(curl->hosts.size(), 2u);

  // Sorted by total, greatest first; a heading click turns the order round.
  QAbstractItemModel* shown = programs->model();
  auto firstName = [&] { return shown->index(0, ProgramsModel::kColumnName).data().toString(); };
  EXPECT_EQ(firstName(), QStringLiteral("curl"));
  QHeaderView* header = programs->header();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(ProgramsModel::kColumnTotal) + 5,
                           header->height() / 2));
  EXPECT_EQ(firstName(), QStringLiteral("ssh"));
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(ProgramsModel::kColumnTotal) + 5,
                           header->height() / 2));
  ASSERT_EQ(firstName(), QStringLiteral("curl"));
  // Expanded into its hosts, which keep their places over a refresh.
  const QModelIndex curlLine = shown->index(0, 0);
  programs->expand(curlLine);
  ASSERT_EQ(shown->rowCount(curlLine), 2);
  dlg->OnTick();
  EXPECT_TRUE(programs->isExpanded(shown->index(0, 0)));

  // The program's icon is its desktop entry's, looked up off this thread.
  QTRY_VERIFY_WITH_TIMEOUT(dlg->programIcons()->Idle(), 5000);
  const QIcon icon = shown->index(0, 0).data(Qt::DecorationRole).value<QIcon>();
  EXPECT_FALSE(icon.isNull());
  EXPECT_NE(icon.cacheKey(), dlg->programIcons()->GenericIcon().cacheKey());
  QImage picture = dlg->grab().toImage();
  EXPECT_TRUE(picture.save(QStringLiteral(CORVANE_BUILD_DIR "/programs-view.png")));

  // Copy: the selected program's line, as shown.
  programs->setCurrentIndex(shown->index(0, 0));
  QTest::keyClick(programs, Qt::Key_C, Qt::ControlModifier);
  EXPECT_TRUE(QGuiApplication::clipboard()->text().startsWith(QStringLiteral("curl\t707 B\t63 B\t770 B\t")))
      << QGuiApplication::clipboard()->text().toStdString();

  // The quick filter leaves the programs of the rows it shows.
  QTest::keyClicks(dlg->quickFilterBox(), QStringLiteral("ssh"));
  ASSERT_EQ(programs->programs()->Totals().size(), 1u);
  EXPECT_EQ(programs->programs()->Totals()[0].program, "ssh");
  EXPECT_EQ(programs->programs()->Totals()[0].downloadBytes, 50u);

  // The context menu hides a program through a filter rule.
  programs->SetMenuHook([](QMenu& menu) {
    for (QAction* action : menu.actions()) {
      if (action->text() == QStringLiteral("Hide this program")) action->trigger();
    }
  });
  programs->OpenMenuAt(programs->visualRect(shown->index(0, 0)).center());
  QFile rules(QDir(dir.path()).filePath("filters.dat"));
  ASSERT_TRUE(rules.open(QIODevice::ReadOnly));
  EXPECT_TRUE(rules.readAll().contains("ssh:")) << "the rule names the program without its pid";
  qunsetenv("XDG_DATA_HOME");
}

// Recording one program from the list's menu while another talks: the file
// holds that program's datagrams only, each with its owner's comment, while
// the observer is put on and taken off the running capture; Stop closes the
// file and says how many; a file that exists is refused with the reason.
TEST_F(MainWindowTest, RecordingAProgramFromTheMenuWritesOnlyItsDatagramsUntilStop) {
  Start();
  corvane::TrafficState& state = StateOf(dlg->monitor());
  state.portMap.Store(17, kLocal, 4000, "cv-rec:100");
  state.portMap.Store(17, kLocal, 4001, "other:200");
  dlg->monitor().SetAttributionActive(true);
  auto feedBoth = [&](int rounds) {
    for (int i = 0; i < rounds; ++i) {
      feed->Push(Udp(kA, kLocal, 53, 4000, 100));
      feed->Push(Udp(kLocal, kA, 4000, 53, 60));
      feed->Push(Udp(kB, kLocal, 80, 4001, 90));
    }
    // Accounted: the capture thread reads the next only after the last.
    feed->Push(Udp(kB, kLocal, 80, 4001, 90));
    QTRY_VERIFY_WITH_TIMEOUT(FeedDrained(), 5000);
  };
  feedBoth(2);  // before the recording: not in it
  clock.Advance(4);
  auto rowOf = [&](const std::string& source) {
    dlg->trafficModel()->ApplyPending();
    for (int row = 0; row < dlg->trafficModel()->rowCount(); ++row) {
      if (dlg->trafficModel()->Cells(row)[corvane::kColumnLocalSource] == source) return row;
    }
    return -1;
  };
  QTRY_VERIFY_WITH_TIMEOUT(rowOf("cv-rec:100") >= 0, 5000);

  QString entry;
  auto chooseRecordEntry = [&](QMenu& menu) {
    for (QAction* action : menu.actions()) {
      if (action->text().startsWith(QStringLiteral("Record ")) ||
          action->text().startsWith(QStringLiteral("Stop recording"))) {
        entry = action->text();
        action->trigger();
      }
    }
  };
  dlg->SetListMenuHook(chooseRecordEntry);
  const QString path = dir.filePath(QStringLiteral("cv-rec.pcapng"));
  QString proposed;
  auto answerSaveDialog = [&] {
    QTimer::singleShot(0, dlg.get(), [&] {
      auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(files, nullptr);
      proposed = files->findChild<QLineEdit*>()->text();
      files->selectFile(path);
      static_cast<QDialog*>(files)->accept();
    });
  };
  auto openMenuOn = [&](int row) {
    const QModelIndex cell = dlg->trafficModel()->index(row, 0);
    dlg->OpenListMenuAt(dlg->trafficView()->visualRect(cell).center());
  };
  answerSaveDialog();
  openMenuOn(rowOf("cv-rec:100"));
  EXPECT_EQ(entry, QStringLiteral("Record this program's traffic..."));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^cv-rec-\\d{4}-\\d\\d-\\d\\d-\\d{6}\\.pcapng$"))
                  .match(proposed)
                  .hasMatch())
      << proposed.toStdString();
  ASSERT_TRUE(dlg->recording()->running());

  feedBoth(3);
  QTRY_VERIFY_WITH_TIMEOUT(
      (dlg->recording()->Flush(),
       dlg->captureStatus()->text() ==
           QStringLiteral("Recording cv-rec to %1 \u2014 6 packets").arg(path)),
      5000);
  // The entry stops it, on any row.
  openMenuOn(rowOf("other:200"));
  EXPECT_EQ(entry, QStringLiteral("Stop recording cv-rec"));
  EXPECT_FALSE(dlg->recording()->running());
  EXPECT_EQ(dlg->captureStatus()->text(),
            QStringLiteral("Recorded 6 packets of cv-rec to %1").arg(path));
  feedBoth(1);  // after it: not in it

  struct stat info {};
  ASSERT_EQ(stat(path.toLocal8Bit().constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  corvane::Status status;
  auto source = corvane::OpenPcapngFile(path.toStdString(), status);
  ASSERT_TRUE(source) << status.reason;
  corvane::CapturedDatagram datagram;
  int packets = 0;
  while (source->Next(datagram, status) == corvane::ReadStatus::Datagram) ++packets;
  EXPECT_EQ(packets, 6);
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  EXPECT_EQ(bytes.count("cv-rec:100"), 6);
  EXPECT_FALSE(bytes.contains("other"));
  EXPECT_TRUE(bytes.contains("the headers and at most the first"));

  // The same file again: refused, the file as it was.
  answerSaveDialog();
  openMenuOn(rowOf("cv-rec:100"));
  EXPECT_FALSE(dlg->recording()->running());
  ASSERT_EQ(dlg->messages.size(), 1u);
  EXPECT_EQ(dlg->messages[0].icon, QMessageBox::Critical);
  EXPECT_TRUE(dlg->messages[0].text.startsWith(QStringLiteral("Can't record cv-rec: ")))
      << dlg->messages[0].text.toStdString();
  QFile again(path);
  ASSERT_TRUE(again.open(QIODevice::ReadOnly));
  EXPECT_EQ(again.readAll(), bytes);
}

// A usage alert from the window: once when the program crosses the day's
// budget set in the preferences, and not again after a restart that day.
TEST_F(MainWindowTest, UsageAlertFiresOnceAtTheCrossingAndNotAgainAfterARestart) {
  QSettings(dlg->LayoutFile(), QSettings::IniFormat).setValue(QStringLiteral("alerts/usageDayMB"), 1);
  Start();
  std::vector<std::vector<uint8_t>> megabyte(720, Udp(kA, kLocal, 53, 4000, 1500));
  FeedAndShow(megabyte, 1);
  QTRY_VERIFY_WITH_TIMEOUT((dlg->OnTick(), !dlg->usageAlertsShown().isEmpty()), 5000);
  dlg->OnTick();
  const QStringList first = dlg->usageAlertsShown();
  ASSERT_EQ(first.size(), 1);
  EXPECT_TRUE(first[0].contains(QStringLiteral("UDP protocol sent and received 1.03 MB today")))
      << first[0].toStdString();
  dlg.reset();
  Make();
  QSettings(dlg->LayoutFile(), QSettings::IniFormat).setValue(QStringLiteral("alerts/usageDayMB"), 1);
  Start();
  std::vector<std::vector<uint8_t>> more(720, Udp(kA, kLocal, 53, 4000, 1500));
  FeedAndShow(more, 1);
  for (int tick = 0; tick < 5; ++tick) dlg->OnTick();
  EXPECT_TRUE(dlg->usageAlertsShown().isEmpty());
}

// Every column shows at the default size, an IPv6 address fits, the host
// column takes the room a wider window gives, and at the minimum size no
// control covers another.
TEST_F(MainWindowTest, ColumnsFitTheirTextsAndNothingOverlapsAtTheMinimumSize) {
  Start();
  QTableView* view = dlg->trafficView();
  int sum = 0;
  for (int c = 0; c < corvane::kColumnCount; ++c) sum += view->columnWidth(c);
  const int screenWidth = dlg->screen()->availableGeometry().width();
  if (sum + 100 < screenWidth * 9 / 10) {
    EXPECT_LE(sum, view->viewport()->width()) << "no column hidden at the start";
  } else {
    EXPECT_EQ(dlg->width(), screenWidth * 9 / 10) << "never wider than the screen";
  }
  EXPECT_GE(view->columnWidth(corvane::kColumnRemoteIp),
            view->fontMetrics().horizontalAdvance("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
  EXPECT_GE(view->columnWidth(corvane::kColumnLastActivity),
            view->fontMetrics().horizontalAdvance("2026-12-31 23:59:59"));
  dlg->resize(sum + 300, dlg->height());
  QCoreApplication::processEvents();
  const int host = view->columnWidth(corvane::kColumnRemoteHost);
  dlg->resize(dlg->width() + 200, dlg->height());
  QCoreApplication::processEvents();
  EXPECT_EQ(view->columnWidth(corvane::kColumnRemoteHost), host + 200);

  dlg->resize(dlg->minimumSize());
  QCoreApplication::processEvents();
  std::vector<QWidget*> controls{dlg->summaryGroup(), dlg->graphArea(), view};
  for (int i = 0; i < 5; ++i) controls.push_back(dlg->button(i));
  // The quick filter box stays within reach, and Ctrl+F puts what is typed there.
  EXPECT_TRUE(dlg->quickFilterBox()->isVisible());
  controls.push_back(dlg->quickFilterBox());
  QTest::keyClick(dlg.get(), Qt::Key_F, Qt::ControlModifier);
  EXPECT_TRUE(dlg->quickFilterBox()->hasFocus());
  for (size_t a = 0; a < controls.size(); ++a) {
    EXPECT_TRUE(dlg->clientArea()->rect().contains(controls[a]->geometry()))
        << controls[a]->metaObject()->className();
    for (size_t b = a + 1; b < controls.size(); ++b) {
      EXPECT_FALSE(controls[a]->geometry().intersects(controls[b]->geometry()))
          << controls[a]->metaObject()->className() << " and " << controls[b]->metaObject()->className();
    }
  }
}

TEST_F(MainWindowTest, LayoutSurvivesARestart) {
  Start();
  QHeaderView* header = dlg->trafficView()->horizontalHeader();
  const QSize builtIn = dlg->size();
  const int builtInWidth = header->sectionSize(1);
  dlg->resize(builtIn + QSize(120, 80));
  header->resizeSection(1, builtInWidth + 37);
  header->moveSection(header->visualIndex(5), 0);
  ClickHeading(3);
  dlg->answer = QMessageBox::No;
  dlg->OnExit();
  dlg.reset();

  Make();
  Start();
  header = dlg->trafficView()->horizontalHeader();
  EXPECT_EQ(dlg->size(), builtIn + QSize(120, 80));
  EXPECT_EQ(header->sectionSize(1), builtInWidth + 37);
  EXPECT_EQ(header->visualIndex(5), 0);
  EXPECT_EQ(dlg->sortColumn(), 3);
  EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("corvane.conf"))))
      << "kept in the configuration folder";
}

TEST_F(MainWindowTest, DamagedLayoutFileLeavesTheBuiltInLayout) {
  Start();
  const QSize builtIn = dlg->size();
  const int builtInWidth = dlg->trafficView()->horizontalHeader()->sectionSize(1);
  dlg->answer = QMessageBox::No;
  dlg->OnExit();
  dlg.reset();
  QFile file(dir.filePath(QStringLiteral("corvane.conf")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("[window]\ngeometry=@ByteArray(\\0\\x1garbage)\ncolumns=12\nsortColumn=99\n");
  file.close();

  Make();
  Start();
  EXPECT_EQ(dlg->size(), builtIn);
  EXPECT_EQ(dlg->trafficView()->horizontalHeader()->sectionSize(1), builtInWidth);
  EXPECT_EQ(dlg->sortColumn(), -1);
}

TEST_F(MainWindowTest, ResizingKeepsTheGraphAtItsRightDistanceAndTheListFollowsTheEdges) {
  Start();
  QWidget* client = dlg->clientArea();
  const int gap = client->width() - dlg->graphArea()->geometry().right();
  const QSize graphSize = dlg->graphArea()->size();
  dlg->resize(dlg->width() + 150, dlg->height() + 90);
  QCoreApplication::processEvents();
  EXPECT_EQ(dlg->trafficView()->width(), client->width() - 20);
  // The list ends above the capture status line, which ends at the bottom.
  EXPECT_LT(dlg->trafficView()->geometry().bottom(), dlg->captureStatus()->y());
  EXPECT_GE(dlg->captureStatus()->geometry().bottom(), client->height() - 8);
  EXPECT_LT(dlg->captureStatus()->geometry().bottom(), client->height());
  EXPECT_EQ(client->width() - dlg->graphArea()->geometry().right(), gap);
  EXPECT_EQ(dlg->graphArea()->size(), graphSize);
  EXPECT_LT(dlg->summaryGroup()->geometry().right(), dlg->graphArea()->x());
}

// The window with sample rows, kept in build/ for a person to look at, on
// the light palette and on a dark one, where the captions must still read.
TEST_F(MainWindowTest, RendersTheWindowWithSampleRowsOnLightAndDarkPalettes) {
  auto render = [this](const QString& name) {
    Start();
    {
      corvane::TrafficList& list = StateOf(dlg->monitor()).list;
      corvane::TrafficList::Lock lock(list);
      const char* rows[][6] = {
          {"140.82.112.4", "lb-140-82-112-4-iad.github.com", "1.27 MB", "84.10 KB", "1.35 MB", "firefox-esr:2817"},
          {"192.168.1.1", "router.lan", "412 B", "380 B", "792 B", "UDP protocol"},
          {"2a04:4e42:200::347", "2a04:4e42:200::347", "23.50 KB", "4.02 KB", "27.52 KB", "thunderbird:3120"},
          {"8.8.8.8", "dns.google", "2.11 KB", "1.20 KB", "3.31 KB", "systemd-resolve:412"},
          {"224.0.0.251", "224.0.0.251", "6.04 KB", "0 B", "6.04 KB", "UDP protocol"},
      };
      for (auto& r : rows) {
        list.InsertTop(corvane::RowCells{r[0], r[1], r[2], r[3], r[4], r[5], "2024-03-05 11:58:02",
                                         "2024-03-05 12:00:00"},
                       Noon());
      }
      list.SetSelected(0, true);
      list.SetSelected(3, true);
    }
    StateOf(dlg->monitor()).list.Publish();
    dlg->trafficModel()->ApplyPending();
    StateOf(dlg->monitor()).counters.AddTick(corvane::kDirectionDownload, 1536000);
    StateOf(dlg->monitor()).counters.AddTick(corvane::kDirectionUpload, 90000);
    dlg->OnTick();
    QImage picture = dlg->grab().toImage();
    const QString path = QStringLiteral(CORVANE_BUILD_DIR "/") + dialog_test::PictureName(name);
    EXPECT_TRUE(picture.save(path)) << path.toStdString();
  };
  render(QStringLiteral("main-window.png"));
  if (QApplication::palette().color(QPalette::Window).lightness() >= 128) {
    EXPECT_EQ(dlg->summaryGroup()->palette().color(QPalette::WindowText), QColor(50, 0, 225));
  }
  // With the texts under the toolbar buttons, which push the list down.
  dlg->ShowButtonTexts(true);
  for (int i = 0; i < 5; ++i) {
    EXPECT_LT(dlg->buttonText(i)->geometry().bottom(), dlg->trafficView()->y());
    EXPECT_GE(dlg->buttonText(i)->width(), dlg->buttonText(i)->sizeHint().width());
    if (i > 0) {
      const QFontMetrics metrics(dlg->buttonText(i)->font());
      const int left = dlg->buttonText(i)->geometry().center().x() -
                       metrics.horizontalAdvance(dlg->buttonText(i)->text()) / 2;
      const int previousRight =
          dlg->buttonText(i - 1)->geometry().center().x() +
          metrics.horizontalAdvance(dlg->buttonText(i - 1)->text()) / 2;
      EXPECT_GT(left - previousRight, metrics.horizontalAdvance(QLatin1Char(' ')))
          << "texts under the buttons run together";
    }
  }
  const QString texts = QStringLiteral(CORVANE_BUILD_DIR "/") +
                        dialog_test::PictureName(QStringLiteral("main-window-button-texts.png"));
  EXPECT_TRUE(dlg->grab().save(texts)) << texts.toStdString();
  dlg->ShowButtonTexts(false);

  const QPalette light = QApplication::palette();
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(45, 45, 48));
  dark.setColor(QPalette::WindowText, QColor(220, 220, 220));
  dark.setColor(QPalette::Base, QColor(30, 30, 30));
  dark.setColor(QPalette::Text, QColor(220, 220, 220));
  dark.setColor(QPalette::Button, QColor(55, 55, 58));
  dark.setColor(QPalette::ButtonText, QColor(220, 220, 220));
  dark.setColor(QPalette::Link, QColor(30, 60, 160));  // a theme whose link colour is dark too
  QApplication::setPalette(dark);
  dlg.reset();
  Make();
  render(QStringLiteral("main-window-theme-palette.png"));
  const QColor caption = dlg->summaryGroup()->palette().color(QPalette::WindowText);
  QApplication::setPalette(light);
  EXPECT_GT(caption.lightness() - QColor(45, 45, 48).lightness(), 90) << "the caption must read on dark";
}

}  // namespace
