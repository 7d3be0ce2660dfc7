#include "ui/COptionsDlg.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QSpinBox>
#include <algorithm>
#include <limits>
#include <tuple>

#include "platform/autostart.h"
#include "platform/net.h"
#include "ui/CFiltersDlg.h"
#include "ui/dialog_units.h"

using corvane::NetworkInterface;

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

// The order of the list: by name without regard to case, then by the
// names' own order.
bool SortsBefore(const QString& a, const QString& b) {
  const int folded = a.compare(b, Qt::CaseInsensitive);
  return folded != 0 ? folded < 0 : a < b;
}

// "eth0  192.168.1.5/24, fe80::1/64", "wlan0  (down, no address)".
QString EntryText(const NetworkInterface& entry) {
  QStringList marks;
  if (!entry.up) marks.push_back(QStringLiteral("down"));
  if (entry.addresses.empty()) marks.push_back(QStringLiteral("no address"));
  QStringList addresses;
  for (const corvane::IpPrefix& own : entry.addresses) {
    addresses.push_back(QStringLiteral("%1/%2")
                            .arg(QString::fromStdString(corvane::FormatIp(own.address)))
                            .arg(own.length));
  }
  QString text = QString::fromStdString(entry.name);
  if (!addresses.isEmpty()) text += QStringLiteral("  ") + addresses.join(QStringLiteral(", "));
  if (!marks.isEmpty()) text += QStringLiteral("  (") + marks.join(QStringLiteral(", ")) + ')';
  return text;
}

// The mask of an IPv4 prefix length, in network byte order.
uint32_t MaskOfLength(unsigned length) {
  const uint32_t host = length == 0 ? 0 : ~uint32_t{0} << (32 - std::min(length, 32u));
  return corvane::MakeAddress(static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                              static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host));
}

}  // namespace

COptionsDlg::COptionsDlg(Context context, QWidget* parent)
    : QDialog(parent), context_(std::move(context)) {
  setWindowTitle(QStringLiteral("Options"));
  if (context_.executablePath.empty()) {
    context_.executablePath = QCoreApplication::applicationFilePath().toStdString();
  }

  // The layout in dialog units, 256 x 286. The group boxes are frames drawn
  // behind their controls, not their parents, so their caption colour stays
  // their own.
  interfaceGroup_ = CaptionedGroup(QStringLiteral("Network interface to monitor:"), this);
  interfaceGroup_->setGeometry(DialogRect(this, 7, 7, 242, 32));
  generalGroup_ = CaptionedGroup(QStringLiteral("General options:"), this);
  generalGroup_->setGeometry(DialogRect(this, 7, 44, 242, 66));
  proxyGroup_ = CaptionedGroup(QStringLiteral("Proxy Server:"), this);
  proxyGroup_->setGeometry(DialogRect(this, 7, 115, 242, 52));
  historyGroup_ = CaptionedGroup(QStringLiteral("Traffic history:"), this);
  historyGroup_->setGeometry(DialogRect(this, 7, 172, 242, 42));

  // A list to choose from, not a text field: nothing can be typed in.
  interfaceCombo_ = new QComboBox(this);
  interfaceCombo_->setEditable(false);
  // The name leads every entry; long address lists are cut at their end.
  interfaceCombo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  interfaceCombo_->setMinimumContentsLength(12);
  const QRect comboRect = DialogRect(this, 11, 19, 234, 12);
  interfaceCombo_->setGeometry(comboRect.x(), comboRect.y(), comboRect.width(),
                               std::max(comboRect.height(), interfaceCombo_->sizeHint().height()));

  launchBox_ = new QCheckBox(QStringLiteral("&Launch on startup"), this);
  launchBox_->setGeometry(DialogRect(this, 15, 56, 150, 10));
  hideLanBox_ = new QCheckBox(QStringLiteral("Do &not show local area network flows"), this);
  hideLanBox_->setGeometry(DialogRect(this, 15, 69, 170, 10));
  freezeBox_ = new QCheckBox(QStringLiteral("&Freeze the graph"), this);
  freezeBox_->setGeometry(DialogRect(this, 15, 82, 150, 10));
  proxyBox_ = new QCheckBox(QStringLiteral("I use &proxy server"), this);
  proxyBox_->setGeometry(DialogRect(this, 15, 95, 100, 10));
  namesBox_ = new QCheckBox(QStringLiteral("Look up host na&mes"), this);
  namesBox_->setGeometry(DialogRect(this, 120, 82, 120, 10));
  namesBox_->setToolTip(QStringLiteral(
      "Name remote addresses by reverse lookups. Addresses of private and local networks are "
      "named only from /etc/hosts or a resolver on this machine."));
  namesBox_->setChecked(context_.lookUpNames);
  filtersButton_ = new QPushButton(QStringLiteral("Setup f&ilters..."), this);
  filtersButton_->setGeometry(DialogRect(this, 176, 92, 64, 14));
  filtersButton_->setAutoDefault(false);
  // A click anywhere in a box's rectangle toggles it, so each box is only
  // as wide as its text.
  for (QCheckBox* box : {launchBox_, hideLanBox_, freezeBox_, proxyBox_, namesBox_}) {
    box->resize(std::min(box->width(), box->sizeHint().width()), box->height());
  }
  connect(proxyBox_, &QCheckBox::clicked, this, &COptionsDlg::OnProxyClicked);
  connect(filtersButton_, &QPushButton::clicked, this, &COptionsDlg::OnSetupFilters);

  hostLabel_ = new QLabel(QStringLiteral("H&ost:"), this);
  hostLabel_->setGeometry(DialogRect(this, 15, 130, 24, 8));
  hostEdit_ = new QLineEdit(this);
  hostEdit_->setGeometry(DialogRect(this, 42, 128, 198, 12));
  portLabel_ = new QLabel(QStringLiteral("Po&rt:"), this);
  portLabel_->setGeometry(DialogRect(this, 15, 148, 24, 8));
  portEdit_ = new QLineEdit(this);
  portEdit_->setGeometry(DialogRect(this, 42, 146, 50, 12));
  hostLabel_->setBuddy(hostEdit_);
  portLabel_->setBuddy(portEdit_);
  for (QLineEdit* edit : {hostEdit_, portEdit_}) edit->setMaxLength(std::numeric_limits<int>::max());

  // "Keep traffic history for [N] days", and the notice of new programs.
  historyLabel_ = new QLabel(QStringLiteral("&Keep traffic history for"), this);
  historyLabel_->setGeometry(DialogRect(this, 15, 185, 80, 8));
  historyLabel_->resize(historyLabel_->sizeHint().width(), historyLabel_->height());
  historyDaysBox_ = new QSpinBox(this);
  historyDaysBox_->setRange(1, kMaxHistoryDays);
  historyDaysBox_->setValue(std::clamp(context_.historyDays, 1, kMaxHistoryDays));
  const QRect spinRect = DialogRect(this, 0, 183, 40, 12);
  historyDaysBox_->setGeometry(historyLabel_->geometry().right() + DialogUnitsX(this, 4),
                               spinRect.y(), spinRect.width(),
                               std::max(spinRect.height(), historyDaysBox_->sizeHint().height()));
  historyDaysBox_->move(historyDaysBox_->x(),
                        historyLabel_->geometry().center().y() - historyDaysBox_->height() / 2);
  historyLabel_->setBuddy(historyDaysBox_);
  historyDaysBox_->setToolTip(
      QStringLiteral("Older traffic is removed once a day. A change applies from the next start."));
  daysLabel_ = new QLabel(QStringLiteral("days"), this);
  daysLabel_->setGeometry(historyDaysBox_->geometry().right() + DialogUnitsX(this, 4),
                          historyLabel_->y(), DialogUnitsX(this, 30), historyLabel_->height());
  notifyBox_ = new QCheckBox(QStringLiteral("No&tify when a program uses the network for the first time"), this);
  notifyBox_->setGeometry(DialogRect(this, 15, 199, 226, 10));
  notifyBox_->resize(std::min(notifyBox_->width(), notifyBox_->sizeHint().width()), notifyBox_->height());
  notifyBox_->setChecked(context_.notifyNewPrograms);

  // The look: as the desktop prefers, or always light or dark.
  coloursLabel_ = new QLabel(QStringLiteral("&Colours:"), this);
  coloursLabel_->setGeometry(DialogRect(this, 15, 222, 40, 8));
  coloursLabel_->resize(coloursLabel_->sizeHint().width(), coloursLabel_->height());
  coloursCombo_ = new QComboBox(this);
  coloursCombo_->addItem(QStringLiteral("As the desktop prefers"), ColourChoiceName(ColourChoice::kSystem));
  coloursCombo_->addItem(QStringLiteral("Light"), ColourChoiceName(ColourChoice::kLight));
  coloursCombo_->addItem(QStringLiteral("Dark"), ColourChoiceName(ColourChoice::kDark));
  coloursCombo_->setCurrentIndex(std::max(0, coloursCombo_->findData(ColourChoiceName(context_.colours))));
  coloursCombo_->adjustSize();
  coloursCombo_->move(coloursLabel_->geometry().right() + DialogUnitsX(this, 4),
                      coloursLabel_->geometry().center().y() - coloursCombo_->height() / 2);
  coloursLabel_->setBuddy(coloursCombo_);


  // "Tell me when one program sends plus receives more than [N] MB in a
  // day / [M] MB in an hour"; 0 shows "never".
  usageGroup_ = CaptionedGroup(QStringLiteral("Usage alerts:"), this);
  usageGroup_->setGeometry(DialogRect(this, 7, 236, 242, 42));
  auto* usageLabel = new QLabel(
      QStringLiteral("Tell me when one program sends plus receives more than"), this);
  usageLabel->setGeometry(DialogRect(this, 15, 248, 226, 8));
  int usageX = DialogUnitsX(this, 15);
  for (auto [box, value, unit] : {std::tuple{&usageDayBox_, context_.usageDayMegabytes, "MB in a &day,"},
                                  std::tuple{&usageHourBox_, context_.usageHourMegabytes, "MB in an &hour"}}) {
    *box = new QSpinBox(this);
    (*box)->setRange(0, 10'000'000);
    (*box)->setSpecialValueText(QStringLiteral("never"));
    (*box)->setValue(std::clamp(value, 0, 10'000'000));
    const QRect spin = DialogRect(this, 0, 260, 50, 12);
    (*box)->setGeometry(usageX, spin.y(), spin.width(),
                        std::max(spin.height(), (*box)->sizeHint().height()));
    auto* label = new QLabel(QString::fromLatin1(unit), this);
    label->setGeometry((*box)->geometry().right() + DialogUnitsX(this, 4), spin.y(),
                       DialogUnitsX(this, 60), (*box)->height());
    label->setBuddy(*box);
    usageX = label->geometry().right() + DialogUnitsX(this, 4);
  }

  AddOkCancelButtons(this, 71, 135, 283, okButton_, cancelButton_);

  setFixedSize(DialogRect(this, 0, 0, 256, 303).size());

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
    corvane::Status listed;
    // A list that cannot be fetched stays empty and says why; OK then keeps
    // the monitored interface.
    entries_ = corvane::ListInterfaces(listed);
    if (!listed) interfaceCombo_->setPlaceholderText(QString::fromStdString(listed.reason));
  }
  std::vector<const NetworkInterface*> sorted;
  for (const NetworkInterface& entry : entries_) sorted.push_back(&entry);
  std::stable_sort(sorted.begin(), sorted.end(), [](const NetworkInterface* a, const NetworkInterface* b) {
    return SortsBefore(QString::fromStdString(a->name), QString::fromStdString(b->name));
  });
  int watched = -1;
  for (const NetworkInterface* entry : sorted) {
    if (entry->name == context_.monitoredInterface) watched = interfaceCombo_->count();
    interfaceCombo_->addItem(EntryText(*entry), QString::fromStdString(entry->name));
  }
  // An interface may hold many addresses (IPv6 temporary ones rotate in):
  // the open list is as wide as its longest entry.
  interfaceCombo_->view()->setMinimumWidth(interfaceCombo_->view()->sizeHintForColumn(0));
  if (watched >= 0 || context_.monitoredInterface.empty()) {
    interfaceCombo_->setCurrentIndex(watched >= 0 ? watched : (sorted.empty() ? -1 : 0));
    return;
  }
  // Watched but gone from the list: it is offered as it is, so that OK
  // keeps it rather than switching to another interface.
  const QString gone = QString::fromStdString(context_.monitoredInterface);
  interfaceCombo_->addItem(gone + QStringLiteral("  (not present now)"), gone);
  interfaceCombo_->setCurrentIndex(interfaceCombo_->count() - 1);
}

const NetworkInterface* COptionsDlg::ChosenEntry() const {
  const int index = interfaceCombo_->currentIndex();
  if (index < 0) return nullptr;
  return corvane::FindInterfaceNamed(entries_,
                                     interfaceCombo_->itemData(index).toString().toStdString());
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
  // Paths and reasons are shown as they are, never as markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void COptionsDlg::ApplyAutostart() {
  const bool wanted = launchBox_->isChecked();
  if (wanted == launchAtOpening_) return;
  const corvane::Status changed = wanted ? corvane::EnableAutostart(context_.executablePath)
                                         : corvane::DisableAutostart();
  if (!changed) {
    ShowMessage(QMessageBox::Information, QStringLiteral("Error"),
                QString::fromStdString(changed.reason));
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
  // The interface: the chosen entry, with its first IPv4 address and that
  // address's mask (what older builds read from set.dat). Text that names
  // no entry (or an empty list) keeps what is watched.
  result.interfaceName = context_.monitoredInterface;
  result.interfaceAddress = context_.monitoredAddress;
  result.interfaceMask = context_.monitoredMask;
  if (const NetworkInterface* entry = ChosenEntry()) {
    result.interfaceName = entry->name;
    for (const corvane::IpPrefix& own : entry->addresses) {
      if (!own.address.IsV4()) continue;
      result.interfaceAddress = own.address.V4Value();
      result.interfaceMask = MaskOfLength(own.length);
      break;
    }
  }
  fields.interfaceMask = result.interfaceMask;
  fields.interfaceName = result.interfaceName;

  if (fields.proxyEnabled) {
    if (fields.hostText.empty()) {
      ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                  QStringLiteral("Enter the proxy server's host name or address."));
      return;
    }
    corvane::ResolvedProxy proxy = ResolveProxy(fields.hostText);
    if (!proxy.found) {
      ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                  QStringLiteral("Can't find the proxy server's address: check its host name."));
      return;
    }
    if (fields.portText.empty()) {
      ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                  QStringLiteral("Enter the proxy server's port (a number from 1 to 65535)."));
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
  // The options still take effect for this run; the user hears that they
  // will not be there at the next start.
  if (corvane::Status saved = corvane::SaveSettings(context_.settingsFile, fields); !saved) {
    ShowMessage(QMessageBox::Information, QStringLiteral("Error"), QString::fromStdString(saved.reason));
  }
  result_ = std::move(result);
  QDialog::accept();
}

bool COptionsDlg::lookUpNames() const { return namesBox_->isChecked(); }

int COptionsDlg::historyDays() const { return historyDaysBox_->value(); }

bool COptionsDlg::notifyNewPrograms() const { return notifyBox_->isChecked(); }

ColourChoice COptionsDlg::colours() const {
  return ColourChoiceOfName(coloursCombo_->currentData().toString());
}

int COptionsDlg::usageDayMegabytes() const { return usageDayBox_->value(); }

int COptionsDlg::usageHourMegabytes() const { return usageHourBox_->value(); }
