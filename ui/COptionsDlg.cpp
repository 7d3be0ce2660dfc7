#include "ui/COptionsDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <algorithm>
#include <limits>

#include "platform/autostart.h"
#include "platform/net.h"
#include "ui/CFiltersDlg.h"
#include "ui/dialog_units.h"

using corvane::InterfaceEntry;

namespace {

// Digits only, 1..65535: what a TCP port can be.
bool IsPortText(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

const QColor kCaptionColour(50, 0, 225);

QGroupBox* CaptionedGroup(const QString& title, QWidget* parent) {
  auto* group = new QGroupBox(title, parent);
  QPalette palette = group->palette();
  palette.setColor(QPalette::WindowText, CaptionColour(parent, kCaptionColour));
  group->setPalette(palette);
  return group;
}

// The order of a sorted combo box: without regard to case, then by the
// texts' own order.
bool SortsBefore(const QString& a, const QString& b) {
  const int folded = a.compare(b, Qt::CaseInsensitive);
  return folded != 0 ? folded < 0 : a < b;
}

}  // namespace

COptionsDlg::COptionsDlg(Context context, QWidget* parent)
    : QDialog(parent), context_(std::move(context)) {
  setWindowTitle(QStringLiteral("Options"));
  if (context_.executablePath.empty()) {
    context_.executablePath = QCoreApplication::applicationFilePath().toStdString();
  }

  // The layout in dialog units, 256 x 195. The group boxes are frames drawn
  // behind their controls, not their parents, so their caption colour stays
  // their own.
  interfaceGroup_ = CaptionedGroup(QStringLiteral("Network interface to monitor:"), this);
  interfaceGroup_->setGeometry(DialogRect(this, 7, 7, 242, 32));
  generalGroup_ = CaptionedGroup(QStringLiteral("General options:"), this);
  generalGroup_->setGeometry(DialogRect(this, 7, 44, 242, 66));
  proxyGroup_ = CaptionedGroup(QStringLiteral("Proxy Server:"), this);
  proxyGroup_->setGeometry(DialogRect(this, 7, 115, 242, 52));

  interfaceCombo_ = new QComboBox(this);
  interfaceCombo_->setEditable(true);
  // Typed text chooses nothing and is never added to the list.
  interfaceCombo_->setInsertPolicy(QComboBox::NoInsert);
  const QRect comboRect = DialogRect(this, 11, 19, 234, 12);
  interfaceCombo_->setGeometry(comboRect.x(), comboRect.y(), comboRect.width(),
                               std::max(comboRect.height(), interfaceCombo_->sizeHint().height()));

  launchBox_ = new QCheckBox(QStringLiteral("Launch on startup"), this);
  launchBox_->setGeometry(DialogRect(this, 15, 56, 150, 10));
  hideLanBox_ = new QCheckBox(QStringLiteral("Do not show local area network flows"), this);
  hideLanBox_->setGeometry(DialogRect(this, 15, 69, 170, 10));
  freezeBox_ = new QCheckBox(QStringLiteral("Freeze the graph"), this);
  freezeBox_->setGeometry(DialogRect(this, 15, 82, 150, 10));
  proxyBox_ = new QCheckBox(QStringLiteral("I use proxy server"), this);
  proxyBox_->setGeometry(DialogRect(this, 15, 95, 100, 10));
  filtersButton_ = new QPushButton(QStringLiteral("Setup filters..."), this);
  filtersButton_->setGeometry(DialogRect(this, 176, 92, 64, 14));
  filtersButton_->setAutoDefault(false);
  // A click anywhere in a box's rectangle toggles it, so each box is only
  // as wide as its text.
  for (QCheckBox* box : {launchBox_, hideLanBox_, freezeBox_, proxyBox_}) {
    box->resize(std::min(box->width(), box->sizeHint().width()), box->height());
  }
  connect(proxyBox_, &QCheckBox::clicked, this, &COptionsDlg::OnProxyClicked);
  connect(filtersButton_, &QPushButton::clicked, this, &COptionsDlg::OnSetupFilters);

  hostLabel_ = new QLabel(QStringLiteral("Host:"), this);
  hostLabel_->setGeometry(DialogRect(this, 15, 130, 24, 8));
  hostEdit_ = new QLineEdit(this);
  hostEdit_->setGeometry(DialogRect(this, 42, 128, 198, 12));
  portLabel_ = new QLabel(QStringLiteral("Port:"), this);
  portLabel_->setGeometry(DialogRect(this, 15, 148, 24, 8));
  portEdit_ = new QLineEdit(this);
  portEdit_->setGeometry(DialogRect(this, 42, 146, 50, 12));
  hostLabel_->setBuddy(hostEdit_);
  portLabel_->setBuddy(portEdit_);
  for (QLineEdit* edit : {hostEdit_, portEdit_}) edit->setMaxLength(std::numeric_limits<int>::max());

  AddOkCancelButtons(this, 71, 135, 174, okButton_, cancelButton_);

  setFixedSize(DialogRect(this, 0, 0, 256, 195).size());

  // Opening: the interfaces, the autostart state, then set.dat.
  FillInterfaces();
  launchAtOpening_ = corvane::IsAutostartEnabled();
  corvane::SettingsFields fields;
  corvane::LoadSettings(context_.settingsFile, fields);
  launchBox_->setChecked(launchAtOpening_);
  hideLanBox_->setChecked(fields.hideLanFlows);
  freezeBox_->setChecked(fields.freezeGraph);
  proxyBox_->setChecked(fields.proxyEnabled);
  hostEdit_->setText(QString::fromStdString(fields.hostText));
  portEdit_->setText(QString::fromStdString(fields.portText));
  EnableProxyGroup(fields.proxyEnabled);
}

void COptionsDlg::FillInterfaces() {
  if (context_.interfaces) {
    entries_ = *context_.interfaces;
  } else {
    std::string error;
    // A list that cannot be fetched stays empty; OK then keeps the
    // monitored interface.
    if (!corvane::ListInterfaces(entries_, error)) entries_.clear();
  }
  QStringList names;
  for (const InterfaceEntry& entry : entries_) names.push_back(QString::fromStdString(entry.description));
  std::stable_sort(names.begin(), names.end(), SortsBefore);
  interfaceCombo_->addItems(names);
  // The first of the sorted list, whatever is monitored.
  interfaceCombo_->setCurrentIndex(names.isEmpty() ? -1 : 0);
}

void COptionsDlg::EnableProxyGroup(bool enabled) {
  for (QWidget* widget : std::initializer_list<QWidget*>{proxyGroup_, hostLabel_, hostEdit_,
                                                          portLabel_, portEdit_}) {
    widget->setEnabled(enabled);
  }
}

void COptionsDlg::OnProxyClicked() { EnableProxyGroup(proxyBox_->isChecked()); }

void COptionsDlg::OnSetupFilters() { RunFiltersDialog(); }

void COptionsDlg::RunFiltersDialog() {
  CFiltersDlg dialog(context_.filterFile, this);
  if (dialog.exec() == QDialog::Accepted && context_.filtersConfirmed) context_.filtersConfirmed();
}

corvane::ResolvedProxy COptionsDlg::ResolveProxy(const std::string& hostText) {
  return corvane::ResolveProxyHost(hostText);
}

void COptionsDlg::ShowMessage(QMessageBox::Icon icon, const QString& caption,
                              const QString& text) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
  box.exec();
}

void COptionsDlg::ApplyAutostart() {
  const bool wanted = launchBox_->isChecked();
  if (wanted == launchAtOpening_) return;
  const std::string error = wanted ? corvane::EnableAutostart(context_.executablePath)
                                   : corvane::DisableAutostart();
  if (!error.empty()) {
    ShowMessage(QMessageBox::Information, QStringLiteral("Error"), QString::fromStdString(error));
    return;
  }
  // Done once: a second OK after a refused one does not repeat it.
  launchAtOpening_ = wanted;
}

void COptionsDlg::accept() {
  corvane::SettingsFields fields;
  fields.hideLanFlows = hideLanBox_->isChecked();
  fields.freezeGraph = freezeBox_->isChecked();
  fields.proxyEnabled = proxyBox_->isChecked();
  fields.hostText = hostEdit_->text().toStdString();
  fields.portText = portEdit_->text().toStdString();

  corvane::OptionsResult result;
  // The interface: the first entry whose description is the combo's text.
  // Text that names no entry (or an empty list) keeps what is monitored.
  result.interfaceAddress = context_.monitoredAddress;
  result.interfaceMask = context_.monitoredMask;
  const std::string chosen = interfaceCombo_->currentText().toStdString();
  for (const InterfaceEntry& entry : entries_) {
    if (entry.description != chosen) continue;
    auto address = corvane::ParseInetAddr(entry.addressText);
    auto mask = corvane::ParseInetAddr(entry.maskText);
    if (address && mask) {
      result.interfaceAddress = *address;
      result.interfaceMask = *mask;
    }
    break;
  }
  fields.interfaceMask = result.interfaceMask;

  if (fields.proxyEnabled) {
    if (fields.hostText.empty()) {
      ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                  QStringLiteral("Input Proxy Server host!"));
      return;
    }
    corvane::ResolvedProxy proxy = ResolveProxy(fields.hostText);
    if (!proxy.found) {
      ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                  QStringLiteral("Can't resolve proxy IP address!"));
      return;
    }
    if (fields.portText.empty()) {
      ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                  QStringLiteral("Input Proxy Server port!"));
      return;
    }
    if (!IsPortText(fields.portText)) {
      ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                  QStringLiteral("The proxy server port must be a number from 1 to 65535."));
      return;
    }
    result.proxyHostText = proxy.dottedText;
  }
  result.hideLanFlows = fields.hideLanFlows;
  result.freezeGraph = fields.freezeGraph;
  result.proxyEnabled = fields.proxyEnabled;
  result.proxyPortText = fields.portText;

  // Only an accepted dialog changes anything outside itself.
  ApplyAutostart();
  corvane::SaveSettings(context_.settingsFile, fields);
  result_ = std::move(result);
  QDialog::accept();
}
