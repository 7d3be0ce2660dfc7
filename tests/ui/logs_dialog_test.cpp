// The Logs dialog against real log files in a temporary directory: the
// selector's entries, loading on each choice (bottom-up, "_" back to blanks,
// every log of a display name), sorting by a heading, a large log that loads
// off the window thread, and a picture (logs.png in the build folder).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QIcon>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "support/test_env.h"
#include "dialog_test_files.h"
#include "platform/clock.h"
#include "ui/CIconButton.h"
#include "ui/CLogsDlg.h"
#include "ui/CMainDlg.h"
#include "window_on_session.h"

namespace {

using dialog_test::WriteFile;

std::string Line(const std::string& ip, const std::string& host, const std::string& dl,
                 const std::string& local = "prog.exe:1") {
  return ip + " " + host + " " + dl + " 200_B " + dl + " " + local +
         " 2005-03-01_09:05:07 2005-03-01_09:06:00\n";
}

class LogsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  void Write(const std::string& name, const std::string& content) {
    WriteFile(dir.path().toStdString() + "/" + name, content);
  }
  std::unique_ptr<CLogsDlg> Open() {
    auto dialog = std::make_unique<CLogsDlg>(dir.path().toStdString());
    dialog->show();
    return dialog;
  }
  static QStringList Entries(const CLogsDlg& dialog) {
    QStringList entries;
    for (int i = 0; i < dialog.logSelector()->count(); ++i) entries << dialog.logSelector()->itemText(i);
    return entries;
  }
  static void Choose(CLogsDlg& dialog, const QString& entry) {
    const int index = dialog.logSelector()->findText(entry);
    ASSERT_GE(index, 0) << entry.toStdString();
    dialog.logSelector()->setCurrentIndex(index);
    dialog.WaitForLoad();
  }
  static QStringList Column(const CLogsDlg& dialog, int column) {
    QStringList texts;
    LogRowsModel* model = dialog.logModel();
    for (int row = 0; row < model->rowCount(); ++row) {
      texts << model->data(model->index(row, column)).toString();
    }
    return texts;
  }
  static void ClickHeading(CLogsDlg& dialog, int column) {
    QHeaderView* header = dialog.logView()->horizontalHeader();
    QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
              header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
  }

  QTemporaryDir dir;
};

TEST_F(LogsDialogTest, NoLogsGivesTheOnePlaceholder) {
  Write("notes.txt", "not a log\n");
  auto dialog = Open();
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Logs"));
  EXPECT_EQ(Entries(*dialog), QStringList{QStringLiteral("<No logs available>")});
  EXPECT_EQ(dialog->logSelector()->currentIndex(), 0);
  EXPECT_EQ(dialog->logModel()->rowCount(), 0);
}

TEST_F(LogsDialogTest, OneLogFollowsTheSelectPlaceholderAndNothingShowsYet) {
  Write("2005-03-01_09t05t07.log", Line("10.0.0.1", "a", "1_B"));
  auto dialog = Open();
  EXPECT_EQ(Entries(*dialog), (QStringList{"<Select a log!>", "2005-03-01 09:05:07"}));
  EXPECT_EQ(dialog->logSelector()->currentIndex(), 0);
  dialog->WaitForLoad();
  EXPECT_EQ(dialog->logModel()->rowCount(), 0);
}

TEST_F(LogsDialogTest, SeveralLogsAreSortedWithThePlaceholderFirstAndForeignLogsLeftOut) {
  Write("2005-03-02_18t00t00.log", "");
  Write("2005-03-01_09t05t07.log", "");
  Write("2005-03-01_09t05t07-2.log", "");
  Write("notes.txt.log", "");
  Write("build.log", "");
  auto dialog = Open();
  EXPECT_EQ(Entries(*dialog), (QStringList{"<Select a log!>", "2005-03-01 09:05:07",
                                           "2005-03-01 09:05:07-2", "2005-03-02 18:00:00"}));
}

TEST_F(LogsDialogTest, LogShowsBottomUpWithBlanksBack) {
  Write("2005-03-01_09t05t07.log",
        "A a 1_B 2_B 3_B x 2005-03-01_09:05:07 2005-03-01_09:05:08\n"
        "B b 1_B 2_B 3_B y 2005-03-01_09:05:07 2005-03-01_09:05:08\n"
        "10.0.0.5 gate_way 1.50_KB 200_B 1.70_KB Process_ID#_1234 2005-03-01_09:05:07 "
        "2005-03-01_09:06:00\n");
  auto dialog = Open();
  Choose(*dialog, QStringLiteral("2005-03-01 09:05:07"));
  EXPECT_EQ(Column(*dialog, 0), (QStringList{"10.0.0.5", "B", "A"}));
  QStringList first;
  for (int column = 0; column < 8; ++column) first << Column(*dialog, column).value(0);
  EXPECT_EQ(first, (QStringList{"10.0.0.5", "gate_way", "1.50 KB", "200 B", "1.70 KB",
                                "Process ID# 1234", "2005-03-01 09:05:07", "2005-03-01 09:06:00"}))
      << "tokens 1 and 2 as read, the others with blanks";
  EXPECT_FALSE(dialog->IsLoading());
  EXPECT_FALSE(dialog->progressBar()->isVisible());
}

TEST_F(LogsDialogTest, ChoosingThePlaceholderEmptiesTheList) {
  Write("2005-03-01_09t05t07.log", Line("10.0.0.1", "a", "1_B"));
  auto dialog = Open();
  Choose(*dialog, QStringLiteral("2005-03-01 09:05:07"));
  ASSERT_EQ(dialog->logModel()->rowCount(), 1);
  Choose(*dialog, QStringLiteral("<Select a log!>"));
  EXPECT_EQ(dialog->logModel()->rowCount(), 0);
}

TEST_F(LogsDialogTest, ForeignLogFilesAreNotOfferedEvenWhenTheirDisplayNamesClash) {
  // Other programs' "*.log" files in the folder would show as "a" twice.
  Write("a.log", Line("1.1.1.1", "first", "1_B"));
  Write("a.b.log", Line("2.2.2.2", "second", "1_B"));
  auto dialog = Open();
  EXPECT_EQ(Entries(*dialog), (QStringList{"<No logs available>"}));
}

TEST_F(LogsDialogTest, SortingByDlComparesSizesGreatestFirstThenTurnsRound) {
  Write("2005-03-03_00t00t00.log", Line("1.1.1.1", "h1", "900_B") + Line("2.2.2.2", "h2", "1023.99_KB") +
                     Line("3.3.3.3", "h3", "2.00_KB") + Line("4.4.4.4", "h4", "1.00_MB"));
  auto dialog = Open();
  Choose(*dialog, QStringLiteral("2005-03-03 00:00:00"));
  ClickHeading(*dialog, 2);
  EXPECT_EQ(Column(*dialog, 2), (QStringList{"1.00 MB", "1023.99 KB", "2.00 KB", "900 B"}));
  ClickHeading(*dialog, 2);
  EXPECT_EQ(Column(*dialog, 2), (QStringList{"900 B", "2.00 KB", "1023.99 KB", "1.00 MB"}))
      << "a second click turns the order round";
  EXPECT_EQ(dialog->logView()->horizontalHeader()->sortIndicatorOrder(),
            Qt::AscendingOrder);
}

TEST_F(LogsDialogTest, SortingByRemoteHostIsByteWiseDescending) {
  Write("2005-03-03_00t00t00.log", Line("1.1.1.1", "Alpha", "1_B") + Line("2.2.2.2", "zeta", "1_B") +
                     Line("3.3.3.3", "alpha", "1_B"));
  auto dialog = Open();
  Choose(*dialog, QStringLiteral("2005-03-03 00:00:00"));
  ClickHeading(*dialog, 1);
  EXPECT_EQ(Column(*dialog, 1), (QStringList{"zeta", "alpha", "Alpha"}));
  ClickHeading(*dialog, 0);
  EXPECT_EQ(Column(*dialog, 0), (QStringList{"3.3.3.3", "2.2.2.2", "1.1.1.1"}));
}

TEST_F(LogsDialogTest, ColumnsHaveTheirHeadingsWidthsAlignmentsAndImages) {
  auto dialog = Open();
  LogRowsModel* model = dialog->logModel();
  const char* headings[8] = {"Remote IP",    "Remote host",    "DL",           "UL",
                             "DL & UL",      "Local source",   "First activity", "Last activity"};
  const int widths[8] = {100, 170, 80, 80, 80, 120, 120, 120};
  for (int column = 0; column < 8; ++column) {
    SCOPED_TRACE(column);
    EXPECT_EQ(model->headerData(column, Qt::Horizontal).toString(), QString::fromLatin1(headings[column]));
    // At least the built-in width, and as wide as the column's usual texts.
    EXPECT_GE(dialog->logView()->columnWidth(column), widths[column]);
    const bool size = column >= 2 && column <= 4;
    const auto alignment = model->headerData(column, Qt::Horizontal, Qt::TextAlignmentRole)
                               .value<Qt::Alignment>();
    EXPECT_EQ(bool(alignment & Qt::AlignRight), size);
    const QIcon icon = model->headerData(column, Qt::Horizontal, Qt::DecorationRole).value<QIcon>();
    EXPECT_EQ(!icon.isNull(), size);
  }
  EXPECT_EQ(dialog->logView()->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(dialog->logView()->selectionBehavior(), QAbstractItemView::SelectRows);
  // The dialog opens wide enough for every column, dates and times whole.
  const QFontMetrics metrics(dialog->logView()->font());
  for (int column : {6, 7}) {
    EXPECT_GT(dialog->logView()->columnWidth(column),
              metrics.horizontalAdvance(QStringLiteral("2026-12-31 23:59:59")));
  }
  int total = 0;
  for (int column = 0; column < 8; ++column) total += dialog->logView()->columnWidth(column);
  const int screenLimit = dialog->screen()->availableGeometry().width() * 9 / 10;
  EXPECT_TRUE(total <= dialog->logView()->viewport()->width() || dialog->width() >= screenLimit)
      << total << " for a list of " << dialog->logView()->viewport()->width();
}

TEST_F(LogsDialogTest, EveryRowShowsTheRowImageInItsFirstCell) {
  Write("2005-03-03_00t00t00.log", Line("1.1.1.1", "h", "1_B"));
  auto dialog = Open();
  Choose(*dialog, QStringLiteral("2005-03-03 00:00:00"));
  LogRowsModel* model = dialog->logModel();
  EXPECT_FALSE(model->data(model->index(0, 0), Qt::DecorationRole).value<QIcon>().isNull());
  EXPECT_TRUE(model->data(model->index(0, 1), Qt::DecorationRole).isNull());
}

// A large log is read on a worker: the window is back in its event loop
// with the busy bar showing before the rows arrive in one piece.
TEST_F(LogsDialogTest, LargeLogLoadsOffTheWindowThreadWithProgress) {
  std::string text;
  text.reserve(100000 * 90);
  for (int i = 0; i < 100000; ++i) {
    text += Line("10.0." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256),
                 "host" + std::to_string(i), std::to_string(i) + "_B");
  }
  Write("2005-03-04_00t00t00.log", text);
  auto dialog = Open();
  QSignalSpy loaded(dialog.get(), &CLogsDlg::logLoaded);
  dialog->logSelector()->setCurrentIndex(dialog->logSelector()->findText(QStringLiteral("2005-03-04 00:00:00")));
  // The choice returned at once: the rows are not there yet, the bar is.
  EXPECT_TRUE(dialog->IsLoading());
  EXPECT_TRUE(dialog->progressBar()->isVisible());
  EXPECT_EQ(dialog->logModel()->rowCount(), 0);
  ASSERT_TRUE(loaded.wait(60000));
  EXPECT_EQ(dialog->logModel()->rowCount(), 100000);
  EXPECT_FALSE(dialog->progressBar()->isVisible());
  EXPECT_EQ(Column(*dialog, 1).value(0), QStringLiteral("host99999"));
}

TEST_F(LogsDialogTest, ANewerChoiceSupersedesALoadStillRunning) {
  std::string big;
  for (int i = 0; i < 20000; ++i) big += Line("9.9.9.9", "old" + std::to_string(i), "1_B");
  Write("2005-03-04_00t00t00.log", big);
  Write("2005-03-05_00t00t00.log", Line("1.1.1.1", "new", "1_B"));
  auto dialog = Open();
  dialog->logSelector()->setCurrentIndex(dialog->logSelector()->findText(QStringLiteral("2005-03-04 00:00:00")));
  dialog->logSelector()->setCurrentIndex(dialog->logSelector()->findText(QStringLiteral("2005-03-05 00:00:00")));
  dialog->WaitForLoad();
  EXPECT_EQ(Column(*dialog, 1), QStringList{QStringLiteral("new")});
}

TEST_F(LogsDialogTest, ClosingWhileALoadRunsIsSafe) {
  std::string big;
  for (int i = 0; i < 20000; ++i) big += Line("9.9.9.9", "h" + std::to_string(i), "1_B");
  Write("2005-03-04_00t00t00.log", big);
  auto dialog = Open();
  dialog->logSelector()->setCurrentIndex(1);
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  dialog.reset();  // joins the worker; its queued result is dropped
  QCoreApplication::processEvents();
}

TEST_F(LogsDialogTest, RendersAPictureForPeople) {
  Write("2005-03-01_09t05t07.log",
        Line("10.0.0.5", "gateway", "1.50_KB", "Process_ID#_1234") +
            Line("192.168.0.1", "router.lan", "900_B", "firefox:4242") +
            Line("9.9.9.9", "dns.quad9.net", "2.00_MB", "UDP_protocol"));
  auto dialog = Open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
  Choose(*dialog, QStringLiteral("2005-03-01 09:05:07"));
  dialog->logView()->selectRow(1);
  for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->isVisible()) {
      EXPECT_TRUE(dialog->rect().contains(child->geometry())) << child->metaObject()->className();
    }
  }
  EXPECT_TRUE(dialog_test::SavePicture(*dialog, QStringLiteral("logs.png")));
}

// "Export..." writes the rows as the dialog shows them, sorted, with the
// numbers their texts show; with no log shown there is nothing to export.
TEST_F(LogsDialogTest, ExportWritesTheShownRowsInTheirShownOrder) {
  Write("2005-03-01_09t05t07.log", Line("1.1.1.1", "h1", "900_B") + Line("2.2.2.2", "h2", "1.50_KB"));
  auto dialog = Open();
  EXPECT_FALSE(dialog->exportButton()->isEnabled());
  Choose(*dialog, QStringLiteral("2005-03-01 09:05:07"));
  EXPECT_TRUE(dialog->exportButton()->isEnabled());
  ClickHeading(*dialog, corvane::kColumnDownload);
  const std::string path = dir.filePath(QStringLiteral("log.csv")).toStdString();
  ASSERT_TRUE(dialog->ExportShownRows(path, corvane::ExportFormat::kCsv));
  const std::string csv = dialog_test::ReadFile(path).value_or("");
  const size_t first = csv.find("\r\n2.2.2.2,h2,1536,200,1736,prog.exe:1,");
  EXPECT_NE(first, std::string::npos) << csv;
  EXPECT_GT(csv.find("\r\n1.1.1.1,h1,900,200,1100,prog.exe:1,"), first) << csv;
}

// The main window's Show log button runs the dialog on its own directory.
TEST_F(LogsDialogTest, ShowLogButtonOfTheMainWindowOpensTheLogs) {
  Write("2005-03-01_09t05t07.log", Line("10.0.0.1", "a", "1_B"));
  window_test::WindowOnSession onSession(dir.path().toStdString());
  CMainDlg& window = onSession.window;
  QStringList shown;
  QTimer::singleShot(0, &window, [&] {
    auto* logs = qobject_cast<CLogsDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(logs, nullptr) << "Show log runs the Logs dialog modally";
    shown = Entries(*logs);
    logs->okButton()->click();
  });
  window.button(1)->click();
  EXPECT_EQ(shown, (QStringList{"<Select a log!>", "2005-03-01 09:05:07"}));
}

}  // namespace
