// The main window: start-up, captured rows and sorting, the readout and
// Save & Clear, Export list, reported failures, the layout and its pictures.
#include "main_window_fixture.h"

namespace {

using namespace main_window_test;

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

// The program's session outlives its window: once the window is gone, the
// monitor's workers (capture news, new rows, the stop) reach nothing of it.
TEST_F(MainWindowTest, SessionRunsOnWithoutReachingItsWindowOnceTheWindowIsGone) {
  Start();
  dlg.reset();
  session->monitor().Start("test0");
  feed->Push(Udp(kA, kLocal, 53, 4000, 1536));
  QTRY_VERIFY_WITH_TIMEOUT(FeedDrained(), 5000);
  clock.Advance(4);
  session->Stop();
  QCoreApplication::processEvents();
  EXPECT_GT(session->monitor().DatagramCount(), 0u);
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
