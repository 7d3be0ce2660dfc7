// The main window's endings and commands: closing behind the tray, Exit
// and the quit signal, Delete all logs, recording a program, usage alerts.
#include "main_window_fixture.h"

namespace {

using namespace main_window_test;

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
  EXPECT_EQ(Run(), QDialog::Accepted);
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
  EXPECT_EQ(Run(), QDialog::Accepted);
  EXPECT_TRUE(visibleAfterKeys);
}

TEST_F(MainWindowTest, ExitStopsEveryThreadRemovesTheTrayIconAndAsksForFeedback) {
  dlg->answer = QMessageBox::Yes;
  QTimer::singleShot(0, dlg.get(), [&] { dlg->trayMenu()->actions().back()->trigger(); });
  EXPECT_EQ(Run(), QDialog::Accepted);
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

}  // namespace
