// The Options dialog against real files in a temporary program directory and
// a temporary autostart folder: what it shows on opening, what OK refuses,
// what OK writes to set.dat and hands to the monitor, and "Launch on
// startup". Also the main window's Options command end to end, and a picture
// (options.png in the build folder).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QSettings>
#include <QSpinBox>
#include <QTimer>
#include <filesystem>
#include <mutex>

#include "support/test_env.h"
#include "dialog_test_files.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "platform/interfaces.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "tests/faults/feed_source.h"
#include "ui/CMainDlg.h"
#include "window_on_session.h"
#include "ui/CFiltersDlg.h"
#include "ui/COptionsDlg.h"
#include "ui/GraphArea.h"
#include "ui/NewProgramNotices.h"

namespace {

using corvane::NetworkInterface;
using corvane::MakeAddress;
using dialog_test::ReadFile;
using dialog_test::WriteFile;

struct Message {
  QMessageBox::Icon icon;
  QString caption;
  QString text;
};

class TestOptionsDlg : public COptionsDlg {
 public:
  using COptionsDlg::COptionsDlg;
  std::vector<Message> messages;
  int filtersRuns = 0;

 protected:
  void ShowMessage(QMessageBox::Icon icon, const QString& caption, const QString& text) override {
    messages.push_back({icon, caption, text});
  }
  void RunFiltersDialog() override { ++filtersRuns; }
  // Names resolve without the network: "proxy.test" has an address, every
  // other name none. Addresses go the real way.
  corvane::ResolvedProxy ResolveProxy(const std::string& hostText) override {
    if (corvane::ParseInetAddr(hostText)) return COptionsDlg::ResolveProxy(hostText);
    if (hostText == "proxy.test") return {true, MakeAddress(10, 9, 8, 7), "10.9.8.7"};
    return {};
  }
};

class OptionsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    savedConfigHome = qgetenv("XDG_CONFIG_HOME");
    hadConfigHome = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    SetConfigHome(Path("config"));
  }
  void TearDown() override {
    if (hadConfigHome) {
      qputenv("XDG_CONFIG_HOME", savedConfigHome);
    } else {
      qunsetenv("XDG_CONFIG_HOME");
    }
  }

  std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
  void SetConfigHome(const std::string& path) { qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(path)); }

  COptionsDlg::Context MakeContext() const {
    COptionsDlg::Context context;
    context.settingsFile = Path("set.dat");
    context.filterFile = Path("filters.dat");
    context.monitoredInterface = "eth1";
    context.monitoredAddress = kMonitored;
    context.monitoredMask = MakeAddress(255, 255, 255, 255);
    context.interfaces = interfaces;
    context.executablePath = "/opt/corvane/corvane";
    return context;
  }
  std::unique_ptr<TestOptionsDlg> Open() {
    auto dialog = std::make_unique<TestOptionsDlg>(MakeContext());
    dialog->show();
    return dialog;
  }
  // Fills the proxy part and presses OK.
  void ProxyAndOk(TestOptionsDlg& dialog, const QString& host, const QString& port) {
    if (!dialog.proxyBox()->isChecked()) QTest::mouseClick(dialog.proxyBox(), Qt::LeftButton);
    dialog.hostEdit()->setText(host);
    dialog.portEdit()->setText(port);
    QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
  }

  static constexpr uint32_t kMonitored = MakeAddress(127, 0, 0, 2);
  QTemporaryDir dir;
  QByteArray savedConfigHome;
  bool hadConfigHome = false;
  static NetworkInterface Entry(std::string name, bool up, std::vector<std::string> addresses) {
    NetworkInterface entry;
    entry.name = std::move(name);
    entry.up = entry.running = up;
    for (const std::string& text : addresses) entry.addresses.push_back(*corvane::ParsePrefix(text));
    return entry;
  }
  // In the system's order; sorted they read dummy0, eth0, eth1, Wlan. eth1
  // is watched.
  std::vector<NetworkInterface> interfaces = {
      Entry("eth1", true, {"10.0.0.9/16", "2001:db8::9/64"}),
      Entry("Wlan", true, {"172.16.0.2/12"}),
      Entry("dummy0", false, {}),
      Entry("eth0", true, {"fe80::1/64", "10.0.0.1/24"})};
};

TEST_F(OptionsDialogTest, OpensWithTheWatchedInterfaceSelectedAndTheStoredValues) {
  WriteFile(Path("set.dat"), "1 0 1 10.0.0.5 8080 16777215 eth0\r\n");
  auto dialog = Open();
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Options"));
  QComboBox* combo = dialog->interfaceCombo();
  ASSERT_EQ(combo->count(), 4);
  EXPECT_EQ(combo->itemText(0), QStringLiteral("dummy0  (down, no address)"));
  EXPECT_EQ(combo->itemText(1), QStringLiteral("eth0  fe80::1/64, 10.0.0.1/24"));
  EXPECT_EQ(combo->itemText(2), QStringLiteral("eth1  10.0.0.9/16, 2001:db8::9/64"));
  EXPECT_EQ(combo->itemText(3), QStringLiteral("Wlan  172.16.0.2/12"));
  EXPECT_EQ(combo->currentIndex(), 2) << "the watched interface, not the saved or the first one";
  EXPECT_FALSE(combo->isEditable()) << "a list to choose from; nothing can be typed";
  EXPECT_TRUE(dialog->hideLanBox()->isChecked());
  EXPECT_FALSE(dialog->freezeGraphBox()->isChecked());
  EXPECT_TRUE(dialog->proxyBox()->isChecked());
  EXPECT_EQ(dialog->hostEdit()->text(), QStringLiteral("10.0.0.5"));
  EXPECT_EQ(dialog->portEdit()->text(), QStringLiteral("8080"));
  EXPECT_TRUE(dialog->launchOnStartupBox()->isEnabled());
  EXPECT_FALSE(dialog->launchOnStartupBox()->isChecked());
  EXPECT_EQ(dialog->proxyGroup()->palette().color(QPalette::WindowText), QColor(50, 0, 225));
  EXPECT_EQ(dialog->hostEdit()->maxLength(), std::numeric_limits<int>::max());
}

TEST_F(OptionsDialogTest, StoredHostQuestionMarkEmptiesHostAndPort) {
  WriteFile(Path("set.dat"), "0 0 0 ? 8080 4294967295\r\n");
  auto dialog = Open();
  EXPECT_TRUE(dialog->hostEdit()->text().isEmpty());
  EXPECT_TRUE(dialog->portEdit()->text().isEmpty());
}

TEST_F(OptionsDialogTest, ProxyGroupFollowsItsCheckBox) {
  auto dialog = Open();  // no set.dat: everything clear
  EXPECT_FALSE(dialog->proxyBox()->isChecked());
  EXPECT_FALSE(dialog->proxyGroup()->isEnabled());
  EXPECT_FALSE(dialog->hostEdit()->isEnabled());
  EXPECT_FALSE(dialog->portEdit()->isEnabled());
  QTest::mouseClick(dialog->proxyBox(), Qt::LeftButton);
  EXPECT_TRUE(dialog->proxyGroup()->isEnabled());
  EXPECT_TRUE(dialog->hostEdit()->isEnabled());
  EXPECT_TRUE(dialog->portEdit()->isEnabled());
  QTest::mouseClick(dialog->proxyBox(), Qt::LeftButton);
  EXPECT_FALSE(dialog->proxyGroup()->isEnabled());
  EXPECT_FALSE(dialog->hostEdit()->isEnabled());
}

TEST_F(OptionsDialogTest, EachRefusalKeepsTheDialogOpenAndWritesNothing) {
  struct Case {
    QString host, port, message;
  };
  const Case cases[] = {
      {QString(), QStringLiteral("8080"), QStringLiteral("Enter the proxy server's host name or address.")},
      {QStringLiteral("nowhere.test"), QStringLiteral("8080"),
       QStringLiteral("Can't find the proxy server's address: check its host name.")},
      {QStringLiteral("10.0.0.5"), QString(), QStringLiteral("Enter the proxy server's port (a number from 1 to 65535).")},
      {QStringLiteral("10.0.0.5"), QStringLiteral("abc99999-1"),
       QStringLiteral("The proxy server port must be a number from 1 to 65535.")},
      {QStringLiteral("10.0.0.5"), QStringLiteral("65536"),
       QStringLiteral("The proxy server port must be a number from 1 to 65535.")},
  };
  const std::string stored = "1 0 0 ? ? 4294967295\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.toStdString());
    WriteFile(Path("set.dat"), stored);
    auto dialog = Open();
    QTest::mouseClick(dialog->launchOnStartupBox(), Qt::LeftButton);
    ProxyAndOk(*dialog, c.host, c.port);
    ASSERT_EQ(dialog->messages.size(), 1u);
    EXPECT_EQ(dialog->messages[0].text, c.message);
    EXPECT_EQ(dialog->messages[0].caption, QStringLiteral("Error"));
    EXPECT_EQ(dialog->messages[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(dialog->isVisible()) << "the dialog stays open";
    EXPECT_EQ(ReadFile(Path("set.dat")), stored);
    EXPECT_FALSE(corvane::IsAutostartEnabled()) << "a refused OK must not touch the autostart entry";
  }
}

TEST_F(OptionsDialogTest, OkWritesTheSettingsLineExactlyAndHandsBackTheResult) {
  auto dialog = Open();
  QTest::mouseClick(dialog->freezeGraphBox(), Qt::LeftButton);
  ProxyAndOk(*dialog, QStringLiteral("10.0.0.5"), QStringLiteral("8080"));
  EXPECT_TRUE(dialog->messages.empty());
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_EQ(ReadFile(Path("set.dat")), "0 1 1 10.0.0.5 8080 65535 eth1\r\n");

  const corvane::OptionsResult& result = dialog->optionsResult();
  EXPECT_EQ(result.interfaceName, "eth1") << "the watched interface, unchanged";
  EXPECT_EQ(result.interfaceAddress, MakeAddress(10, 0, 0, 9));
  EXPECT_EQ(result.interfaceMask, MakeAddress(255, 255, 0, 0));
  EXPECT_FALSE(result.hideLanFlows);
  EXPECT_TRUE(result.freezeGraph);
  EXPECT_TRUE(result.proxyEnabled);
  EXPECT_EQ(result.proxyHostText, "10.0.0.5");
  EXPECT_EQ(result.proxyPortText, "8080");
}

TEST_F(OptionsDialogTest, ProxyNameIsKeptInTheFileAndHandedBackAsItsAddress) {
  auto dialog = Open();
  ProxyAndOk(*dialog, QStringLiteral("proxy.test"), QStringLiteral("3128"));
  EXPECT_EQ(ReadFile(Path("set.dat")), "0 0 1 proxy.test 3128 65535 eth1\r\n");
  EXPECT_EQ(dialog->optionsResult().proxyHostText, "10.9.8.7");
}

TEST_F(OptionsDialogTest, ProxyOffHandsBackNoProxyHost) {
  auto dialog = Open();
  dialog->hostEdit()->setText(QStringLiteral("10.0.0.5"));
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_EQ(ReadFile(Path("set.dat")), "0 0 0 ? ? 65535 eth1\r\n");
  EXPECT_TRUE(dialog->optionsResult().proxyHostText.empty());
  EXPECT_FALSE(dialog->optionsResult().proxyEnabled);
}

TEST_F(OptionsDialogTest, ChosenEntryGivesItsNameFirstIpv4AddressAndMask) {
  auto dialog = Open();
  dialog->interfaceCombo()->setCurrentIndex(3);  // Wlan
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_EQ(dialog->optionsResult().interfaceName, "Wlan");
  EXPECT_EQ(dialog->optionsResult().interfaceAddress, MakeAddress(172, 16, 0, 2));
  EXPECT_EQ(dialog->optionsResult().interfaceMask, MakeAddress(255, 240, 0, 0));
}

TEST_F(OptionsDialogTest, WatchedInterfaceMissingFromTheListIsKeptNotSwitched) {
  interfaces.erase(interfaces.begin());  // eth1 is gone
  auto dialog = Open();
  EXPECT_EQ(dialog->interfaceCombo()->currentText(), QStringLiteral("eth1  (not present now)"));
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->optionsResult().interfaceName, "eth1");
  EXPECT_EQ(dialog->optionsResult().interfaceAddress, kMonitored);
  EXPECT_EQ(ReadFile(Path("set.dat")), "0 0 0 ? ? 4294967295 eth1\r\n");
}

// Capture restarts only for another interface: an OK that changed nothing
// leaves the capture that runs alone.
TEST_F(OptionsDialogTest, OkWithoutAChangeKeepsCaptureRunning) {
  corvane::ManualClock clock(0);
  corvane::testing::TestEnv env(clock);
  corvane::Monitor monitor(env, dir.path().toStdString());
  std::mutex mutex;
  std::vector<std::string> opened;
  env.SetCaptureOpener([&](const std::string& name, corvane::Status&) {
    std::lock_guard lock(mutex);
    opened.push_back(name);
    return std::unique_ptr<corvane::CaptureSource>(
        std::make_unique<corvane::faults::FeedSource>(std::make_shared<corvane::faults::Feed>()));
  });
  auto openedNames = [&] {
    std::lock_guard lock(mutex);
    return opened;
  };
  monitor.Start("eth1");
  QTRY_COMPARE_WITH_TIMEOUT(openedNames().size(), size_t{1}, 5000);

  auto confirm = [&](int index) {
    COptionsDlg::Context context = MakeContext();
    context.monitoredInterface = monitor.interfaceName();
    TestOptionsDlg dialog(std::move(context));
    if (index >= 0) dialog.interfaceCombo()->setCurrentIndex(index);
    dialog.accept();
    monitor.ApplyOptions(dialog.optionsResult());
  };
  confirm(-1);
  EXPECT_EQ(monitor.interfaceName(), "eth1");
  confirm(1);  // eth0
  EXPECT_EQ(monitor.interfaceName(), "eth0");
  QTRY_COMPARE_WITH_TIMEOUT(openedNames().size(), size_t{2}, 5000);
  monitor.Stop();
  EXPECT_EQ(openedNames(), (std::vector<std::string>{"eth1", "eth0"}));
}

TEST_F(OptionsDialogTest, EmptyInterfaceListKeepsTheMonitoredInterface) {
  interfaces.clear();
  auto dialog = Open();
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->optionsResult().interfaceName, "eth1");
  EXPECT_EQ(dialog->optionsResult().interfaceAddress, kMonitored);
}

TEST_F(OptionsDialogTest, CancelWritesNothing) {
  WriteFile(Path("set.dat"), "1 1 0 ? ? 4294967295\r\n");
  auto dialog = Open();
  QTest::mouseClick(dialog->hideLanBox(), Qt::LeftButton);
  QTest::mouseClick(dialog->launchOnStartupBox(), Qt::LeftButton);
  ProxyAndOk(*dialog, QString(), QString());  // refused: host missing
  QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  EXPECT_EQ(ReadFile(Path("set.dat")), "1 1 0 ? ? 4294967295\r\n");
  EXPECT_FALSE(corvane::IsAutostartEnabled());
}

TEST_F(OptionsDialogTest, SetupFiltersRunsTheFiltersDialog) {
  auto dialog = Open();
  QTest::mouseClick(dialog->setupFiltersButton(), Qt::LeftButton);
  EXPECT_EQ(dialog->filtersRuns, 1);
  EXPECT_TRUE(dialog->isVisible());
}

TEST_F(OptionsDialogTest, LaunchOnStartupAddsAndRemovesTheAutostartEntry) {
  const std::string entry = Path("config") + "/autostart/corvaneapp.desktop";
  {
    auto dialog = Open();
    QTest::mouseClick(dialog->launchOnStartupBox(), Qt::LeftButton);
    QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    EXPECT_TRUE(dialog->messages.empty());
  }
  auto text = ReadFile(entry);
  ASSERT_TRUE(text) << "checking the box creates " << entry;
  EXPECT_NE(text->find("Exec=\"/opt/corvane/corvane\""), std::string::npos) << *text;
  {
    auto dialog = Open();
    EXPECT_TRUE(dialog->launchOnStartupBox()->isChecked());
    QTest::mouseClick(dialog->launchOnStartupBox(), Qt::LeftButton);
    QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  }
  EXPECT_FALSE(std::filesystem::exists(entry)) << "clearing the box removes it";
}

TEST_F(OptionsDialogTest, AutostartFailureShowsTheSystemsReasonAndOkGoesOn) {
  // The configuration folder is a plain file, so no folder can be made in it.
  WriteFile(Path("config"), "not a folder");
  auto dialog = Open();
  QTest::mouseClick(dialog->launchOnStartupBox(), Qt::LeftButton);
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  ASSERT_EQ(dialog->messages.size(), 1u);
  EXPECT_EQ(dialog->messages[0].caption, QStringLiteral("Error"));
  EXPECT_TRUE(dialog->messages[0].text.contains(QStringLiteral("Not a directory")))
      << dialog->messages[0].text.toStdString();
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_TRUE(ReadFile(Path("set.dat"))) << "the settings are still written";
}

TEST_F(OptionsDialogTest, SettingsThatCannotBeSavedAreToldAndStillTakeEffect) {
  COptionsDlg::Context context = MakeContext();
  context.settingsFile = Path("gone/set.dat");
  TestOptionsDlg dialog(context);
  QTest::mouseClick(dialog.freezeGraphBox(), Qt::LeftButton);
  QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
  ASSERT_EQ(dialog.messages.size(), 1u);
  EXPECT_TRUE(dialog.messages[0].text.contains(QStringLiteral("No such file or directory")))
      << dialog.messages[0].text.toStdString();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_TRUE(dialog.optionsResult().freezeGraph);
}

TEST_F(OptionsDialogTest, RendersAPictureForPeople) {
  WriteFile(Path("set.dat"), "0 1 1 10.0.0.5 8080 16777215\r\n");
  auto dialog = Open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
  for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    EXPECT_TRUE(dialog->rect().contains(child->geometry())) << child->metaObject()->className();
  }
  EXPECT_TRUE(dialog_test::SavePicture(*dialog, QStringLiteral("options.png")));
}

// The main window's Options command: the dialog it runs writes set.dat and
// its result reaches the monitor, whose filters are reloaded.
class OptionsCommandTest : public OptionsDialogTest {
 protected:
  // Runs the command; `drive` acts on the modal dialog once it is shown.
  void RunOptions(CMainDlg& window, std::function<void(COptionsDlg&)> drive) {
    bool driven = false;
    QTimer::singleShot(0, &window, [&] {
      auto* dialog = qobject_cast<COptionsDlg*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr) << "Options runs the Options dialog modally";
      driven = true;
      drive(*dialog);
    });
    window.OnOptions();
    EXPECT_TRUE(driven);
  }
};

TEST_F(OptionsCommandTest, OkReachesTheMonitorAndReloadsTheFilters) {
  corvane::Status why;
  const std::vector<NetworkInterface> system = corvane::ListInterfaces(why);
  if (!why) GTEST_SKIP() << "no interface list: " << why.reason;
  const NetworkInterface* lo = corvane::FindInterfaceNamed(system, "lo");
  if (lo == nullptr || lo->addresses.empty() || corvane::FormatIp(lo->addresses[0].address) != "127.0.0.1") {
    GTEST_SKIP() << "no lo with 127.0.0.1 first";
  }

  window_test::WindowOnSession onSession(dir.path().toStdString());
  CMainDlg& window = onSession.window;
  StateOf(window.monitor()).settings.interfaceAddress.store(MakeAddress(127, 0, 0, 2));
  WriteFile(Path("filters.dat"), "1\r\nhidden.test <ANY>\r\n");

  RunOptions(window, [](COptionsDlg& dialog) {
    dialog.interfaceCombo()->setCurrentIndex(dialog.interfaceCombo()->findData(QStringLiteral("lo")));
    dialog.freezeGraphBox()->setChecked(true);
    dialog.proxyBox()->click();
    dialog.hostEdit()->setText(QStringLiteral("10.0.0.5"));
    dialog.portEdit()->setText(QStringLiteral("8080"));
    dialog.okButton()->click();
  });

  EXPECT_EQ(ReadFile(Path("set.dat")), "0 1 1 10.0.0.5 8080 255 lo\r\n");
  EXPECT_EQ(window.monitor().interfaceName(), "lo");
  // The watcher hands lo's addresses to the monitor.
  corvane::LiveSettings& live = StateOf(window.monitor()).settings;
  EXPECT_EQ(live.interfaceAddress.load(), MakeAddress(127, 0, 0, 1));
  EXPECT_EQ(live.interfaceMask.load(), MakeAddress(255, 0, 0, 0));
  EXPECT_TRUE(live.freezeGraph.load());
  EXPECT_TRUE(live.proxyEnabled.load());
  EXPECT_EQ(live.ProxyHost(), "10.0.0.5");
  EXPECT_EQ(live.proxyAddress.load(), MakeAddress(10, 0, 0, 5));
  EXPECT_EQ(live.proxyPort.load(), 8080);
  EXPECT_TRUE(window.graphArea()->frozen());
  EXPECT_TRUE(window.monitor().IsHidden("1.2.3.4", "hidden.test", "x")) << "filters reloaded";
}

TEST_F(OptionsCommandTest, CancelLeavesTheMonitorAlone) {
  window_test::WindowOnSession onSession(dir.path().toStdString());
  CMainDlg& window = onSession.window;
  StateOf(window.monitor()).settings.interfaceAddress.store(MakeAddress(127, 0, 0, 2));
  WriteFile(Path("filters.dat"), "1\r\nhidden.test <ANY>\r\n");
  RunOptions(window, [](COptionsDlg& dialog) {
    dialog.freezeGraphBox()->setChecked(true);
    dialog.cancelButton()->click();
  });
  EXPECT_FALSE(ReadFile(Path("set.dat")));
  EXPECT_EQ(StateOf(window.monitor()).settings.interfaceAddress.load(), MakeAddress(127, 0, 0, 2));
  EXPECT_FALSE(StateOf(window.monitor()).settings.freezeGraph.load());
  EXPECT_FALSE(window.monitor().IsHidden("1.2.3.4", "hidden.test", "x")) << "nothing reloaded";
}

// The window's own preferences: host-name lookups, the history's days and
// the new-program notice.
TEST_F(OptionsCommandTest, WindowPreferencesCanBeChangedAndStayChanged) {
  window_test::WindowOnSession onSession(dir.path().toStdString());
  CMainDlg& window = onSession.window;
  // A damaged value must not shorten the history: it reads as the default.
  QSettings(window.LayoutFile(), QSettings::IniFormat).setValue("history/days", "many");
  RunOptions(window, [](COptionsDlg& dialog) {
    EXPECT_TRUE(dialog.lookUpNamesBox()->isChecked()) << "on by default";
    EXPECT_EQ(dialog.historyDaysBox()->value(), 400);
    EXPECT_TRUE(dialog.notifyBox()->isChecked());
    dialog.lookUpNamesBox()->setChecked(false);
    dialog.historyDaysBox()->setValue(30);
    dialog.notifyBox()->setChecked(false);
    dialog.okButton()->click();
  });
  const QSettings preferences(window.LayoutFile(), QSettings::IniFormat);
  EXPECT_FALSE(preferences.value("names/lookUp").toBool());
  EXPECT_EQ(preferences.value("history/days").toInt(), 30);
  EXPECT_FALSE(preferences.value("history/notifyNewPrograms").toBool());
  EXPECT_FALSE(window.newProgramNotices()->enabled()) << "at once, not from the next start";
  RunOptions(window, [](COptionsDlg& dialog) {
    EXPECT_FALSE(dialog.lookUpNamesBox()->isChecked());
    EXPECT_EQ(dialog.historyDaysBox()->value(), 30);
    EXPECT_FALSE(dialog.notifyBox()->isChecked());
    dialog.cancelButton()->click();
  });
}

TEST_F(OptionsCommandTest, ConfirmedFiltersTakeEffectAtOnceEvenWhenOptionsIsCancelled) {
  window_test::WindowOnSession onSession(dir.path().toStdString());
  CMainDlg& window = onSession.window;
  WriteFile(Path("filters.dat"), "1\r\nhidden.test <ANY>\r\n");
  RunOptions(window, [](COptionsDlg& dialog) {
    QTimer::singleShot(0, [] {
      auto* filters = qobject_cast<CFiltersDlg*>(QApplication::activeModalWidget());
      ASSERT_NE(filters, nullptr);
      filters->okButton()->click();
    });
    dialog.setupFiltersButton()->click();
    dialog.cancelButton()->click();
  });
  EXPECT_TRUE(window.monitor().IsHidden("1.2.3.4", "hidden.test", "x"));
}

}  // namespace
