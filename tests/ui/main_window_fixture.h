// The main window's tests share this fixture: a monitor's session and its
// window on a temporary folder and a manual clock, capture fed by the test
// through a FeedSource, message boxes and links recorded instead of shown,
// and helpers that feed datagrams, click headings and read how rows are
// drawn.
#pragma once

#include "support/test_env.h"
#include "engine/monitor_internals.h"
#include "ui/CMainDlg.h"
#include "ui/MonitorSession.h"

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

namespace main_window_test {

using corvane::MakeAddress;

inline constexpr uint32_t kLocal = MakeAddress(127, 0, 0, 2);

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
inline std::vector<uint8_t> Udp(uint32_t source, uint32_t destination, uint16_t sourcePort,
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

inline int64_t Noon() {
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

  // A new session and window on the same folder, as a new start of the
  // program makes.
  // Unless `fixedInterface` is false, it watches "test0" holding kLocal,
  // not the interface set.dat names.
  void Make(bool fixedInterface = true) {
    dlg.reset();
    session = std::make_unique<MonitorSession>(env, dir.path().toStdString());
    if (fixedInterface) {
      session->SetInterface("test0", corvane::LocalNetworks{{corvane::IpAddress::V4(kLocal)}, {}});
    }
    dlg = std::make_unique<TestDlg>(*session);
    env.SetCaptureOpener([this](const std::string&, corvane::Status& status) {
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
    StartUp(*session, *dlg);
    dlg->show();
  }
  // As the program runs: start-up, then the window until it ends.
  int Run() {
    dlg->SetTrayAvailable(true);
    StartUp(*session, *dlg);
    return dlg->exec();
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
  corvane::testing::TestEnv env{clock};
  std::shared_ptr<Feed> feed = std::make_shared<Feed>();
  std::atomic<bool> failCapture{false};  // read by the capture thread
  // The window goes before its session.
  std::unique_ptr<MonitorSession> session;
  std::unique_ptr<TestDlg> dlg;
};

inline const uint32_t kA = MakeAddress(10, 0, 0, 1);
inline const uint32_t kB = MakeAddress(192, 168, 0, 1);
inline const uint32_t kC = MakeAddress(9, 9, 9, 9);

}  // namespace main_window_test
