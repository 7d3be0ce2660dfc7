// The "Options" dialog: the monitored interface, the general options, the
// proxy server, the traffic history, the usage alerts, and the door to the
// Filters dialog.
//
// Opening: the interface list (sorted by name, each with its addresses; down
// or address-less ones marked; the watched one selected), whether the desktop starts the program at log-in (the
// autostart entry), then set.dat. OK: takes the values, finds the chosen
// interface, checks the proxy (a host, an address for it, a port: else the
// dialog says what is missing, stays open and
// nothing is written), adds or removes the autostart entry when
// "Launch on startup" changed, writes set.dat and closes; optionsResult()
// then holds what the main window hands to Monitor::ApplyOptions (the
// interface name too, so OK without a change keeps capture running). Cancel
// writes and applies nothing (what the Filters dialog wrote stays written).
//
// Window thread only. The proxy host is resolved on OK, which may wait for
// the system's resolver.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/interfaces.h"
#include "storage/history_store.h"
#include "storage/settings.h"
#include "ui/colour_scheme.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

class COptionsDlg : public QDialog {
  Q_OBJECT

 public:
  struct Context {
    std::string settingsFile;  // full path of set.dat
    std::string filterFile;    // full path of filters.dat
    // What is watched now; kept when OK finds no chosen interface.
    std::string monitoredInterface;
    uint32_t monitoredAddress = 0;
    uint32_t monitoredMask = 0xffffffffu;
    // The interfaces to offer; by default the system's.
    std::optional<std::vector<corvane::NetworkInterface>> interfaces;
    // The program the autostart entry starts; by default this executable.
    std::string executablePath;
    // Called when the Filters dialog closed with OK, so that the rules it
    // wrote take effect at once, whatever becomes of this dialog.
    std::function<void()> filtersConfirmed;
    // Whether remote addresses are named by reverse lookups (the window's
    // own preference, not in set.dat).
    bool lookUpNames = true;
    // How many days the traffic history keeps, and whether a program's first
    // bytes on the network are told (the window's own preferences too).
    int historyDays = corvane::kDefaultHistoryDays;
    bool notifyNewPrograms = true;
    // Light, dark or as the desktop prefers (the window's own preference).
    ColourChoice colours = ColourChoice::kSystem;
    // Tell when one program sends plus receives more than this many MB in a
    // day, in an hour; 0 for never (the window's own preferences).
    int usageDayMegabytes = 0;
    int usageHourMegabytes = 0;
  };

  static constexpr int kMaxHistoryDays = 3650;

  explicit COptionsDlg(Context context, QWidget* parent = nullptr);

  // After OK: the values for the main window's Options command.
  const corvane::OptionsResult& optionsResult() const { return result_; }
  // After OK: whether remote addresses are to be named.
  bool lookUpNames() const;
  int historyDays() const;
  bool notifyNewPrograms() const;
  ColourChoice colours() const;
  int usageDayMegabytes() const;
  int usageHourMegabytes() const;

  // --- parts, for tests ---
  QComboBox* interfaceCombo() const { return interfaceCombo_; }
  QCheckBox* launchOnStartupBox() const { return launchBox_; }
  QCheckBox* hideLanBox() const { return hideLanBox_; }
  QCheckBox* freezeGraphBox() const { return freezeBox_; }
  QCheckBox* lookUpNamesBox() const { return namesBox_; }
  QSpinBox* historyDaysBox() const { return historyDaysBox_; }
  QCheckBox* notifyBox() const { return notifyBox_; }
  QComboBox* coloursCombo() const { return coloursCombo_; }
  QSpinBox* usageDayBox() const { return usageDayBox_; }
  QSpinBox* usageHourBox() const { return usageHourBox_; }
  QCheckBox* proxyBox() const { return proxyBox_; }
  QPushButton* setupFiltersButton() const { return filtersButton_; }
  QGroupBox* proxyGroup() const { return proxyGroup_; }
  QLineEdit* hostEdit() const { return hostEdit_; }
  QLineEdit* portEdit() const { return portEdit_; }
  QPushButton* okButton() const { return okButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }

 public slots:
  void OnProxyClicked();
  void OnSetupFilters();
  void accept() override;

 protected:
  // Every message box of the dialog goes through here (tests override it).
  virtual void ShowMessage(QMessageBox::Icon icon, const QString& caption, const QString& text);
  // Runs the Filters dialog modally; its result does not concern Options.
  virtual void RunFiltersDialog();
  // The proxy host's address (the text itself when it is one).
  virtual corvane::ResolvedProxy ResolveProxy(const std::string& hostText);

 private:
  void FillInterfaces();
  void EnableProxyGroup(bool enabled);
  void ApplyAutostart();

  Context context_;
  // The entry the combo box names: its current item, or typed text equal
  // to an interface's name; null for anything else.
  const corvane::NetworkInterface* ChosenEntry() const;

  std::vector<corvane::NetworkInterface> entries_;  // in the system's order
  bool launchAtOpening_ = false;
  corvane::OptionsResult result_;

  QGroupBox* interfaceGroup_ = nullptr;
  QComboBox* interfaceCombo_ = nullptr;
  QGroupBox* generalGroup_ = nullptr;
  QCheckBox* launchBox_ = nullptr;
  QCheckBox* hideLanBox_ = nullptr;
  QCheckBox* freezeBox_ = nullptr;
  QCheckBox* namesBox_ = nullptr;
  QCheckBox* proxyBox_ = nullptr;
  QPushButton* filtersButton_ = nullptr;
  QGroupBox* proxyGroup_ = nullptr;
  QLabel* hostLabel_ = nullptr;
  QLineEdit* hostEdit_ = nullptr;
  QLabel* portLabel_ = nullptr;
  QLineEdit* portEdit_ = nullptr;
  QGroupBox* historyGroup_ = nullptr;
  QGroupBox* usageGroup_ = nullptr;
  QSpinBox* usageDayBox_ = nullptr;
  QSpinBox* usageHourBox_ = nullptr;
  QLabel* historyLabel_ = nullptr;
  QSpinBox* historyDaysBox_ = nullptr;
  QLabel* daysLabel_ = nullptr;
  QCheckBox* notifyBox_ = nullptr;
  QLabel* coloursLabel_ = nullptr;
  QComboBox* coloursCombo_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};
