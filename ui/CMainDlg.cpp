#include "ui/CMainDlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QResizeEvent>
#include <QSettings>
#include <QTableView>
#include <QVBoxLayout>

#include "engine/text_format.h"
#include "platform/app_directory.h"
#include "platform/helper_capture.h"
#include "platform/interfaces.h"
#include "storage/traffic_log.h"
#include "platform/net.h"
#include "ui/CAboutDlg.h"
#include "ui/CIconButton.h"
#include "ui/CLogsDlg.h"
#include "ui/COptionsDlg.h"
#include "ui/GraphArea.h"
#include "ui/HelpWindow.h"
#include "ui/SortThread.h"
#include "ui/TrafficModel.h"
#include "ui/TrafficView.h"
#include "ui/dialog_units.h"
#include "ui/open_url.h"

namespace {

enum ButtonIndex { kSaveClear = 0, kShowLog = 1, kDeleteLogs = 2, kOptions = 3, kHelp = 4 };

// Size of the client area in dialog units.
constexpr int kClientWidthDu = 451;
constexpr int kClientHeightDu = 201;

// Keys of the layout file.
const QString kGeometryKey = QStringLiteral("window/geometry");
const QString kColumnsKey = QStringLiteral("window/columns");
const QString kSortColumnKey = QStringLiteral("window/sortColumn");

// The user's guide: beside the executable in a build tree, in the doc
// folder of an installed tree; HelpWindow falls back to the built-in copy.
QString HelpPagePath() {
  const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/cvhelp.html");
  if (QFileInfo::exists(beside)) return beside;
  return QCoreApplication::applicationDirPath() +
         QStringLiteral("/../share/doc/corvane/cvhelp.html");
}

const QString kFeedbackText = QStringLiteral(
    "We would like to hear what you think about Corvane, so please send us your comments, "
    "suggestions or problems you had using the program. Click 'Yes' to visit our Web site.");

}  // namespace

CMainDlg::CMainDlg(corvane::DataFolders folders, QWidget* parent)
    : QDialog(parent),
      folders_(std::move(folders)),
      ownClock_(std::make_unique<corvane::SystemClock>()),
      monitor_(std::make_unique<corvane::Monitor>(*ownClock_, folders_.config)),
      sorts_(std::make_unique<SortThreads>(monitor_->list())) {
  Construct();
}

CMainDlg::CMainDlg(const corvane::Clock& clock, std::string dataDirectory, QWidget* parent)
    : QDialog(parent),
      folders_{dataDirectory, dataDirectory},
      monitor_(std::make_unique<corvane::Monitor>(clock, std::move(dataDirectory))),
      sorts_(std::make_unique<SortThreads>(monitor_->list())) {
  Construct();
}

void CMainDlg::Construct() {
  setWindowTitle(QStringLiteral("Corvane"));
  setWindowIcon(QIcon(QStringLiteral(":/icons/corvane.svg")));
  // Caption, system menu, minimise box and sizing border; no maximise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  BuildMenus();
  BuildControls();
  UseCaptureHelper();
}

// The window holds no capability: capture runs in the capture helper. Why it
// could not start (not installed, not in its group) is told with the box the
// failure shows; a helper that stops while capturing is told once, and the
// capture thread starts a new one.
void CMainDlg::UseCaptureHelper() {
  corvane::HelperCaptureOptions helper;
  helper.onStopped = [this](const std::string& reason) {
    QString text = QString::fromStdString(reason);
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  };
  monitor_->SetCaptureOpener([this, helper](const std::string& name, std::string& error) {
    std::unique_ptr<corvane::CaptureSource> source = corvane::OpenHelperCapture(name, error, helper);
    std::lock_guard lock(captureProblemMutex_);
    captureProblem_ = source ? std::string() : error;
    return source;
  });
}

CMainDlg::~CMainDlg() {
  // No worker may reach the window once it is gone.
  addressWatcher_.Stop();
  monitor_->Stop();
  sorts_->Wait();
  monitor_->list().SetChangeSink(nullptr);
  monitor_->SetErrorHandler(nullptr);
  monitor_->SetTitleHandler(nullptr);
}

// ---------------------------------------------------------------- building

void CMainDlg::BuildMenus() {
  menuBar_ = new QMenuBar(this);
  QMenu* file = menuBar_->addMenu(QStringLiteral("File"));
  file->addAction(QStringLiteral("Exit"), this, &CMainDlg::OnExit);
  QMenu* traffic = menuBar_->addMenu(QStringLiteral("Traffic"));
  traffic->addAction(QStringLiteral("Show log"), this, &CMainDlg::OnShowLog);
  traffic->addAction(QStringLiteral("Save && Clear"), this, &CMainDlg::OnSaveAndClear);
  traffic->addAction(QStringLiteral("Clear log"), this, &CMainDlg::OnDeleteAllLogs);
  traffic->addAction(QStringLiteral("Options..."), this, &CMainDlg::OnOptions);
  QMenu* help = menuBar_->addMenu(QStringLiteral("Help"));
  help->addAction(QStringLiteral("Help Topics"), this, &CMainDlg::OnHelpTopics);
  help->addAction(QStringLiteral("About..."), this, &CMainDlg::OnAbout);
}

void CMainDlg::BuildControls() {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setMenuBar(menuBar_);
  client_ = new QWidget(this);
  layout->addWidget(client_);
  client_->installEventFilter(this);

  struct ButtonSpec {
    int x;
    const char* tooltip;
    void (CMainDlg::*command)();
  };
  const ButtonSpec specs[5] = {
      {7, "Save && Clear", &CMainDlg::OnSaveAndClear},
      {29, "Show log", &CMainDlg::OnShowLog},
      {51, "Delete all logs", &CMainDlg::OnDeleteAllLogs},
      {73, "Options", &CMainDlg::OnOptions},
      {103, "Show Help Topics", &CMainDlg::OnHelpTopics},
  };
  for (int i = 0; i < 5; ++i) {
    auto* b = new CIconButton(client_);
    b->setGeometry(DialogRect(this, specs[i].x, 7, 21, 21));
    // A tooltip shows "&&" as one ampersand only in menus; here it is plain.
    b->setToolTip(QString::fromLatin1(specs[i].tooltip).replace(QStringLiteral("&&"),
                                                                QStringLiteral("&")));
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, specs[i].command);
    buttons_[i] = b;
  }

  summaryGroup_ = new QGroupBox(QStringLiteral("Summary traffic : "), client_);
  summaryGroup_->setAlignment(Qt::AlignHCenter);
  summaryGroup_->setGeometry(DialogRect(this, 273, 4, 109, 23));
  QPalette captionPalette = summaryGroup_->palette();
  captionPalette.setColor(QPalette::WindowText, QColor(50, 0, 225));
  summaryGroup_->setPalette(captionPalette);

  summaryLabel_ = new QLabel(QStringLiteral("US: 100 MB DS: 200 MB"), client_);
  summaryLabel_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  summaryLabel_->setGeometry(DialogRect(this, 276, 15, 103, 8));

  graph_ = new GraphArea(client_);
  graph_->setGeometry(DialogRect(this, 385, 7, 59, 21));
  graph_->setToolTip(QStringLiteral("DS/US graph"));

  model_ = new TrafficModel(this);
  // Full-row, extended marking; the activity marks are the model's flags.
  auto* view = new TrafficView(model_, client_);
  view_ = view;
  view_->setGeometry(DialogRect(this, 7, 32, 437, 162));
  view_->setShowGrid(false);
  view_->setWordWrap(false);
  view_->setIconSize(QSize(16, 16));
  view_->verticalHeader()->hide();
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 4);
  view_->horizontalHeader()->setHighlightSections(false);
  view_->horizontalHeader()->setSectionsClickable(true);
  // Columns may be dragged into another order, which the layout keeps.
  view_->horizontalHeader()->setSectionsMovable(true);
  view_->horizontalHeader()->setSortIndicatorShown(false);
  view_->horizontalHeader()->setStretchLastSection(false);
  view_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // The activity marks, drawn as selected rows, stay visible without focus.
  QPalette viewPalette = view_->palette();
  for (auto role : {QPalette::Highlight, QPalette::HighlightedText}) {
    viewPalette.setColor(QPalette::Inactive, role, viewPalette.color(QPalette::Active, role));
  }
  view_->setPalette(viewPalette);
  connect(view_->horizontalHeader(), &QHeaderView::sectionClicked, this, &CMainDlg::OnSortColumn);
  connect(view->marks(), &MarkSelectionModel::marksChangedByUser, this, &CMainDlg::OnUserMarks);

  client_->setMinimumSize(0, 0);
  client_->resize(DialogUnitsX(this, kClientWidthDu), DialogUnitsY(this, kClientHeightDu));
  const int clientWidth = client_->width();
  graphRightGap_ = clientWidth - graph_->geometry().right();
  groupRightGap_ = clientWidth - summaryGroup_->geometry().right();
  labelRightGap_ = clientWidth - summaryLabel_->geometry().right();
  resize(client_->width(), client_->height() + menuBar_->sizeHint().height());
}

void CMainDlg::BuildTray() {
  trayMenu_ = new QMenu(QStringLiteral("TB"), this);
  QAction* show = trayMenu_->addAction(QStringLiteral("Show main dialog"), this,
                                       &CMainDlg::OnShowMainDialog);
  QFont bold = show->font();
  bold.setBold(true);
  show->setFont(bold);
  trayMenu_->setDefaultAction(show);
  trayMenu_->addAction(QStringLiteral("Show log"), this, &CMainDlg::OnShowLog);
  trayMenu_->addAction(QStringLiteral("Delete all logs"), this, &CMainDlg::OnDeleteAllLogs);
  trayMenu_->addSeparator();
  trayMenu_->addAction(QStringLiteral("Exit"), this, &CMainDlg::OnExit);

  tray_ = new QSystemTrayIcon(windowIcon(), this);
  tray_->setToolTip(QStringLiteral("Corvane"));
  tray_->setContextMenu(trayMenu_);
  connect(tray_, &QSystemTrayIcon::activated, this, &CMainDlg::OnTrayActivated);
  tray_->show();
}

// ---------------------------------------------------------------- start-up

int CMainDlg::exec() {
  Initialise();
  return QDialog::exec();
}

void CMainDlg::Initialise() {
  if (initialised_) return;
  initialised_ = true;
  corvane::Monitor& m = *monitor_;

  // Controls bound; the template's placeholder readout is emptied.
  summaryLabel_->clear();

  // Workers talk to the window only through queued calls.
  m.SetErrorHandler([this](const std::string& message) {
    QString text = QString::fromStdString(message);
    if (message == corvane::kPromiscuousModeError) {
      std::lock_guard lock(captureProblemMutex_);
      if (!captureProblem_.empty()) text += QStringLiteral("\n\n") + QString::fromStdString(captureProblem_);
    }
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  });
  m.SetTitleHandler([this](const std::string& title) {
    QString text = QString::fromStdString(title);
    QMetaObject::invokeMethod(this, [this, text] { setWindowTitle(text); }, Qt::QueuedConnection);
  });
  m.list().SetChangeSink(model_->ChangeSink());
  // Save & Clear and the midnight step write the rows to a new traffic log
  // in the log folder before anything is emptied.
  m.SetLogWriter(corvane::TrafficLogWriter(folders_.logs, m.clock()));
  // set.dat: the options, the mask and the proxy (resolved once here).
  m.LoadSettingsFile();
  // Remote hosts are named by reverse lookups on the resolver pool.
  m.EnableHostNames(corvane::ReverseLookup);

  m.counters().ClearTotals();
  windowShown_ = true;

  trayAvailable_ = trayOverride_.value_or(QSystemTrayIcon::isSystemTrayAvailable());
  BuildTray();

  const char* icons[5] = {":/icons/save_clear.svg", ":/icons/show_log.svg",
                          ":/icons/delete_logs.svg", ":/icons/options.svg", ":/icons/help.svg"};
  for (int i : {kHelp, kOptions, kSaveClear, kShowLog, kDeleteLogs}) {
    buttons_[i]->AssignIcon(QString::fromLatin1(icons[i]));
  }

  graph_->InitialiseSeries();
  graph_->SetFrozen(m.settings().freezeGraph.load());
  graph_->SetWindowShown(true);
  m.counters().tickDownloadBytes.store(0);
  m.counters().tickUploadBytes.store(0);

  tick_.setInterval(1000);
  connect(&tick_, &QTimer::timeout, this, &CMainDlg::OnTick, Qt::UniqueConnection);
  tick_.start();

  for (int column = 0; column < corvane::kColumnCount; ++column) {
    view_->setColumnWidth(column, TrafficModel::ColumnWidth(column));
  }
  RestoreLayout();

  // The interface saved by Options, while it exists; else the one of the
  // default route, and the user hears why.
  std::string name;
  if (interfaceOverride_) {
    name = *interfaceOverride_;
  } else {
    const auto saved =
        corvane::ReadSettingsFile(folders_.config + "/" + corvane::kSettingsFileName);
    std::string notice;
    name = corvane::ChooseWatchedInterface(saved ? saved->interfaceName : std::string(), notice);
    if (!notice.empty()) {
      const QString text = QString::fromStdString(notice);
      QMetaObject::invokeMethod(
          this,
          [this, text] {
            ShowMessage(QMessageBox::Information, QStringLiteral("Corvane"), text, QMessageBox::Ok);
          },
          Qt::QueuedConnection);
    }
  }
  WatchAddressesOf(name);
  m.Start(name);
}

void CMainDlg::WatchAddressesOf(const std::string& name) {
  if (fixedNetworks_) {
    monitor_->SetLocalNetworks(*fixedNetworks_);
    return;
  }
  corvane::Monitor* monitor = monitor_.get();
  std::string error;
  if (!addressWatcher_.Start(
          name,
          [monitor](const corvane::LocalNetworks& networks) { monitor->SetLocalNetworks(networks); },
          error)) {
    const QString text = QString::fromStdString(error);
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  }
}

// ---------------------------------------------------------------- layout

bool CMainDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == client_ && event->type() == QEvent::Resize) Relayout();
  return QDialog::eventFilter(watched, event);
}

void CMainDlg::Relayout() {
  if (!view_ || !graph_) return;
  const int cw = client_->width();
  const int ch = client_->height();
  view_->resize(std::max(0, cw - 20), std::max(0, ch - 65));
  auto keepRightGap = [cw](QWidget* w, int gap) { w->move(cw - gap - w->width() + 1, w->y()); };
  keepRightGap(graph_, graphRightGap_);
  keepRightGap(summaryGroup_, groupRightGap_);
  keepRightGap(summaryLabel_, labelRightGap_);
  update();
}

// ---------------------------------------------------------------- the tick

void CMainDlg::OnTick() {
  auto [down, up] = monitor_->counters().Tick();
  graph_->AddTick(down, up);
  const uint64_t totalDown = monitor_->counters().totalDownloadBytes.load();
  const uint64_t totalUp = monitor_->counters().totalUploadBytes.load();
  summaryLabel_->setText(QStringLiteral("DL: %1  UL: %2")
                             .arg(QString::fromStdString(corvane::FormatByteCount(totalDown)),
                                  QString::fromStdString(corvane::FormatByteCount(totalUp))));
}

// ---------------------------------------------------------------- the list

void CMainDlg::OnSortColumn(int column) {
  sortColumn_ = column;
  sorts_->Start(column);
}

void CMainDlg::WaitForSorts() { sorts_->Wait(); }

void CMainDlg::OnUserMarks(const std::vector<TrafficModel::MarkChange>& changes) {
  // The core list's selected flag is what the idle-row pass clears; the
  // user's marks must be there too. The hold is short: one flag per row.
  corvane::TrafficList& list = monitor_->list();
  corvane::TrafficList::Lock lock(list);
  for (const TrafficModel::MarkChange& change : changes) {
    const int coreRow = model_->CoreRowOf(change.row);
    if (coreRow >= 0 && coreRow < list.Count()) list.SetSelected(coreRow, change.marked);
  }
}

// ---------------------------------------------------------------- commands

void CMainDlg::OnSaveAndClear() {
  if (auto failedPath = monitor_->SaveAndClear()) {
    ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                QStringLiteral("Can't write to %1").arg(QString::fromStdString(*failedPath)),
                QMessageBox::Ok);
    return;
  }
  // The records of the clear are queued; show the empty list at once.
  model_->ApplyPending();
}

void CMainDlg::OnShowLog() {
  // Modal, without owner; its result is not used.
  CLogsDlg dialog(folders_.logs);
  dialog.exec();
}

void CMainDlg::OnOptions() {
  COptionsDlg::Context context;
  context.settingsFile = folders_.config + "/" + corvane::kSettingsFileName;
  context.filterFile = monitor_->filterFile();
  context.monitoredInterface = monitor_->interfaceName();
  context.monitoredAddress = monitor_->settings().interfaceAddress.load();
  context.monitoredMask = monitor_->settings().interfaceMask.load();
  COptionsDlg dialog(std::move(context));
  if (dialog.exec() != QDialog::Accepted) return;
  // Capture restarts only when the interface changed; the filters reload.
  // The new interface's addresses are known before its first datagram.
  const corvane::OptionsResult& result = dialog.optionsResult();
  if (!result.interfaceName.empty() && result.interfaceName != monitor_->interfaceName()) {
    WatchAddressesOf(result.interfaceName);
  }
  monitor_->ApplyOptions(result);
  graph_->SetFrozen(monitor_->settings().freezeGraph.load());
}

void CMainDlg::OnDeleteAllLogs() {
  const auto answer =
      ShowMessage(QMessageBox::Question, QStringLiteral("Delete all logs"),
                  QStringLiteral("Delete every traffic log in %1?")
                      .arg(QString::fromStdString(folders_.logs)),
                  QMessageBox::Yes | QMessageBox::No);
  if (answer != QMessageBox::Yes) return;
  const corvane::DeleteLogsResult result = corvane::DeleteAllLogs(folders_.logs);
  if (!result.failures.empty()) {
    QStringList failed;
    for (const auto& failure : result.failures) failed.push_back(QString::fromStdString(failure));
    ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                QStringLiteral("Can't delete %1").arg(failed.join(QStringLiteral("\n"))),
                QMessageBox::Ok);
  }
}

void CMainDlg::OnHelpTopics() {
  if (!help_) help_ = new HelpWindow(this);
  help_->ShowHelp(HelpPagePath());
}

void CMainDlg::OnAbout() {
  CAboutDlg about(folders_, this);
  about.exec();
}

void CMainDlg::OnExit() {
  if (exiting_) return;
  exiting_ = true;
  // Attribution, processing and capture end; their threads are joined,
  // which is prompt (every loop polls its flag at least every 100 ms).
  monitor_->Stop();
  sorts_->Wait();
  tick_.stop();
  if (tray_) tray_->hide();
  SaveLayout();
  const auto answer = ShowMessage(QMessageBox::Warning, QStringLiteral("Write us"), kFeedbackText,
                                  QMessageBox::Yes | QMessageBox::No);
  if (answer == QMessageBox::Yes) {
    QString reason;
    if (!OpenLink(QStringLiteral(CORVANE_CONTACT_PAGE), &reason)) {
      ShowMessage(QMessageBox::Warning, QStringLiteral("Error"), reason, QMessageBox::Ok);
    }
  }
  done(QDialog::Accepted);
}

void CMainDlg::OnShowMainDialog() {
  show();
  raise();
  activateWindow();
  SetWindowShown(true);
}

void CMainDlg::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::Trigger) return;  // the context menu opens by itself
  OnShowMainDialog();
  if (windowState() & Qt::WindowMinimized) showNormal();
}

QString CMainDlg::LayoutFile() const {
  return QString::fromStdString(folders_.config) + QStringLiteral("/corvane.conf");
}

void CMainDlg::RestoreLayout() {
  QSettings layout(LayoutFile(), QSettings::IniFormat);
  // Values of the wrong shape (a damaged or foreign file) are refused by
  // the restore calls and leave the built-in layout.
  restoreGeometry(layout.value(kGeometryKey).toByteArray());
  view_->horizontalHeader()->restoreState(layout.value(kColumnsKey).toByteArray());
  bool ok = false;
  const int column = layout.value(kSortColumnKey).toInt(&ok);
  if (ok && column >= 0 && column < corvane::kColumnCount) OnSortColumn(column);
}

void CMainDlg::SaveLayout() {
  QSettings layout(LayoutFile(), QSettings::IniFormat);
  layout.setValue(kGeometryKey, saveGeometry());
  layout.setValue(kColumnsKey, view_->horizontalHeader()->saveState());
  if (sortColumn_ >= 0) layout.setValue(kSortColumnKey, sortColumn_);
  layout.sync();
}

void CMainDlg::SetWindowShown(bool shown) {
  windowShown_ = shown;
  graph_->SetWindowShown(shown);
}

void CMainDlg::ReportError(const QString& text) {
  ShowMessage(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok);
}

QMessageBox::StandardButton CMainDlg::ShowMessage(QMessageBox::Icon icon, const QString& caption,
                                                  const QString& text,
                                                  QMessageBox::StandardButtons buttons) {
  // Shown without owner, so the box appears even while the window is hidden.
  QMessageBox box(icon, caption, text, buttons);
  box.setWindowIcon(windowIcon());
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool CMainDlg::OpenLink(const QString& url, QString* reason) { return OpenUrl(url, reason); }

// ---------------------------------------------------------------- showing and hiding

void CMainDlg::setVisible(bool visible) {
  if (!visible && !exiting_) {
    // Hiding a dialog would end its exec(); the program lives on behind the
    // tray icon, so only the window goes.
    QWidget::setVisible(false);
    return;
  }
  QDialog::setVisible(visible);
}

void CMainDlg::closeEvent(QCloseEvent* event) {
  if (exiting_) {
    QDialog::closeEvent(event);
    return;
  }
  event->ignore();
  if (trayAvailable_) {
    hide();
    SetWindowShown(false);
  } else {
    // Without a tray a hidden window could never come back.
    showMinimized();
  }
}

void CMainDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Enter:
    case Qt::Key_Return:
      event->accept();  // never ends the program
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void CMainDlg::reject() {}  // Esc and the dialog's own close do not end it
void CMainDlg::accept() {}
