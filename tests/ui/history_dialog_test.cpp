// The History view on a history database written by the test, and the
// notice of programs new on the network.
#include <gtest/gtest.h>

#include <QAbstractAxis>
#include <QBarSet>
#include <QChart>
#include <QCoreApplication>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QLabel>
#include <QPushButton>
#include <QStackedBarSeries>
#include <QTableView>
#include <QTemporaryDir>

#include "dialog_test_files.h"
#include "platform/clock.h"
#include "storage/history_store.h"
#include "ui/CHistoryDlg.h"
#include "ui/NewProgramNotices.h"

namespace {

constexpr int kSent = 1;
constexpr int kReceived = 2;
// 2026-12-07T12:00:00Z.
constexpr int64_t kNow = 1796644800;

TEST(NewProgramNoticeTest, NoticesNameTheProgramGatherABurstAndStaySilentWhenOff) {
  QStringList shown;
  NewProgramNotices notices([&shown](const QString& title, const QString& text) {
    EXPECT_EQ(title, QStringLiteral("New program on the network"));
    shown << text;
  });
  notices.Add(QStringLiteral("TCP protocol"), QStringLiteral("TCP protocol"));
  EXPECT_TRUE(shown.isEmpty()) << "traffic of no known program is no news";
  notices.Add(QStringLiteral("/usr/bin/curl"), QStringLiteral("curl"));
  EXPECT_EQ(shown,
            QStringList{QStringLiteral("curl (/usr/bin/curl) sent or received its first bytes")});
  // Within the quiet interval: gathered into one notice at its end.
  notices.Add(QStringLiteral("/usr/bin/ssh"), QStringLiteral("ssh"));
  notices.Add(QStringLiteral("flatpak:org.example.App"), QStringLiteral("app"));
  notices.Add(QStringLiteral("/usr/bin/git"), QStringLiteral("git"));
  EXPECT_EQ(shown.size(), 1);
  notices.ShowPending();
  ASSERT_EQ(shown.size(), 2);
  EXPECT_EQ(shown.back(), QStringLiteral("3 new programs: ssh, app, git"));
  // An interval that ends quietly lets the next one through at once.
  notices.ShowPending();
  notices.Add(QStringLiteral("sshd"), QStringLiteral("sshd"));
  ASSERT_EQ(shown.size(), 3);
  EXPECT_EQ(shown.back(), QStringLiteral("sshd sent or received its first bytes"));

  notices.SetEnabled(false);
  notices.ShowPending();
  notices.Add(QStringLiteral("/usr/bin/nc"), QStringLiteral("nc"));
  notices.ShowPending();
  EXPECT_EQ(shown.size(), 3) << "turned off, nothing is shown";
  EXPECT_EQ(notices.pendingCount(), 0);
}

QStringList Column(const HistoryTableModel& model, int column) {
  QStringList texts;
  for (int row = 0; row < model.rowCount(); ++row) {
    texts << model.data(model.index(row, column), Qt::DisplayRole).toString();
  }
  return texts;
}

TEST(HistoryDialogTest, ShowsTheStoredApplicationsChartsTheTopOnesAndDrillsDownToTheirHosts) {
  QTemporaryDir dir;
  const std::string path = dir.filePath(corvane::kHistoryFileName).toStdString();
  corvane::ManualClock clock(kNow);
  CHistoryDlg dialog(path, clock);
  dialog.show();
  dialog.WaitForLoad();
  EXPECT_FALSE(dialog.showingChart());
  EXPECT_EQ(dialog.emptyLabel()->text(), QStringLiteral("No traffic recorded yet"));
  EXPECT_TRUE(dialog.statusLabel()->isHidden()) << "a missing history is an empty one";

  {
    corvane::HistoryStore store;
    ASSERT_TRUE(store.Open(path).ok);
    const corvane::IpAddress a = *corvane::ParseIp("198.18.0.1");
    const corvane::IpAddress b = *corvane::ParseIp("2001:db8::2");
    // Yesterday and today; a minute 40 days ago is outside the 30 days.
    ASSERT_TRUE(store
                    .WriteMinute(kNow - corvane::kSecondsPerDay,
                                 {{{"/usr/bin/curl", a, "a.test", kSent, 1000},
                                   {"/usr/bin/curl", b, "", kReceived, 5000}}})
                    .ok);
    std::vector<corvane::HistoryRow> today = {{"/usr/bin/curl", a, "", kReceived, 2000}};
    // Nine more applications, smaller than curl and each other.
    for (int i = 0; i < 9; ++i) {
      today.push_back(
          {"/opt/app" + std::to_string(i), b, "", kSent, static_cast<uint64_t>(900 - i)});
    }
    ASSERT_TRUE(store.WriteMinute(kNow, today).ok);
    ASSERT_TRUE(store
                    .WriteMinute(kNow - 40 * corvane::kSecondsPerDay,
                                 {{{"/usr/bin/old", a, "", kSent, 1 << 30}}})
                    .ok);
  }
  dialog.Refresh();
  dialog.WaitForLoad();
  ASSERT_TRUE(dialog.showingChart());
  const HistoryTableModel& model = *dialog.tableModel();
  ASSERT_EQ(model.rowCount(), 10) << "only the last 30 days";
  EXPECT_EQ(Column(model, HistoryTableModel::kColumnName).front(), QStringLiteral("curl"));
  EXPECT_EQ(model.RowAt(0).sentBytes, 1000u);
  EXPECT_EQ(model.RowAt(0).receivedBytes, 7000u);
  EXPECT_EQ(model.data(model.index(0, HistoryTableModel::kColumnTotal), Qt::DisplayRole).toString(),
            QStringLiteral("7.81 KB"));
  EXPECT_EQ(model.data(model.index(0, HistoryTableModel::kColumnTotal), Qt::ToolTipRole).toString(),
            QStringLiteral("8,000 bytes"));

  // Eight applications of their own, the ninth and tenth as "Other", whose
  // bar today holds both.
  const auto series = dialog.chart()->series();
  ASSERT_EQ(series.size(), 1);
  const QList<QBarSet*> sets = static_cast<QStackedBarSeries*>(series.front())->barSets();
  ASSERT_EQ(sets.size(), 9);
  EXPECT_EQ(sets.front()->label(), QStringLiteral("curl"));
  EXPECT_EQ(sets.back()->label(), QStringLiteral("Other"));
  ASSERT_EQ(sets.back()->count(), CHistoryDlg::kDaysShown);
  // The bars are in the unit of the highest one (curl's 6000 bytes yesterday).
  const QList<QAbstractAxis*> axes = dialog.chart()->axes(Qt::Vertical);
  ASSERT_EQ(axes.size(), 1);
  EXPECT_EQ(axes.front()->titleText(), QStringLiteral("KB"));
  EXPECT_DOUBLE_EQ(sets.back()->at(CHistoryDlg::kDaysShown - 1) * 1024, 893 + 892);
  EXPECT_DOUBLE_EQ(sets.front()->at(CHistoryDlg::kDaysShown - 2) * 1024, 6000) << "yesterday's bar";

  QCoreApplication::processEvents();  // the chart lays out its axes and legend
  EXPECT_TRUE(dialog_test::SavePicture(dialog, QStringLiteral("history.png")));

  dialog.ShowHostsOf(0);
  dialog.WaitForLoad();
  // Stored under its path by an older build, asked for by its name.
  EXPECT_EQ(dialog.drilledApp(), QStringLiteral("curl"));
  EXPECT_EQ(Column(model, HistoryTableModel::kColumnName),
            (QStringList{QStringLiteral("2001:db8::2"), QStringLiteral("a.test")}));
  EXPECT_EQ(model.RowAt(1).sentBytes, 1000u);
  EXPECT_EQ(model.RowAt(1).receivedBytes, 2000u);

  // Back, and the months: the application 40 days ago is in them.
  dialog.backButton()->click();
  dialog.SetSpan(CHistoryDlg::Span::kMonths);
  dialog.WaitForLoad();
  EXPECT_TRUE(dialog.drilledApp().isEmpty());
  EXPECT_EQ(Column(model, HistoryTableModel::kColumnName).front(), QStringLiteral("old"));
  EXPECT_EQ(model.rowCount(), 11);
}

// A name stored by another writer, with markup, a control sequence and a
// right-to-left override: the window shows it cleaned and as text, in the
// table, the chart's legend (which draws HTML) and the caption.
TEST(HistoryDialogTest, HostileNamesShowAsPlainTextNeverAsMarkupOrControls) {
  QTemporaryDir dir;
  const std::string path = dir.filePath(corvane::kHistoryFileName).toStdString();
  {
    corvane::HistoryStore store;
    ASSERT_TRUE(store.Open(path).ok);
    const corvane::IpAddress a = *corvane::ParseIp("198.18.0.1");
    ASSERT_TRUE(store
                    .WriteMinute(kNow, {{{"<img src=x>evil\x1b[2J\xe2\x80\xae" "fdp", a,
                                          "<b>host</b>", kSent, 1000}}})
                    .ok);
  }
  corvane::ManualClock clock(kNow);
  CHistoryDlg dialog(path, clock);
  dialog.show();
  dialog.WaitForLoad();
  ASSERT_TRUE(dialog.showingChart());
  const QString shown = QStringLiteral("<img src=x>evil_[2J_fdp");
  EXPECT_EQ(Column(*dialog.tableModel(), HistoryTableModel::kColumnName), QStringList{shown});
  QCoreApplication::processEvents();  // the legend lays out its labels
  QStringList legend;
  for (QGraphicsItem* item : dialog.chart()->scene()->items()) {
    if (auto* text = dynamic_cast<QGraphicsTextItem*>(item)) legend << text->toPlainText();
  }
  EXPECT_TRUE(legend.contains(shown)) << legend.join(QStringLiteral(" | ")).toStdString();

  dialog.ShowHostsOf(0);
  dialog.WaitForLoad();
  EXPECT_EQ(dialog.captionLabel()->textFormat(), Qt::PlainText);
  EXPECT_TRUE(dialog.captionLabel()->text().contains(shown));
  EXPECT_EQ(Column(*dialog.tableModel(), HistoryTableModel::kColumnName),
            QStringList{QStringLiteral("<b>host</b>")});
}

}  // namespace
