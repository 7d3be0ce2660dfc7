// The main window's list: the user's choice of rows, the list commands and
// the Programs view.
#include "main_window_fixture.h"

namespace {

using namespace main_window_test;

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

}  // namespace
