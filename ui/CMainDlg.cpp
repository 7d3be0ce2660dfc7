#include "ui/CMainDlg.h"

#include <cstring>
#include <QAction>
#include <QCheckBox>
#include <QActionGroup>
#include <QCloseEvent>
#include <QEventLoop>
#include <QPushButton>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <cstdio>

#include "vocabulary/text_format.h"
#include "platform/app_directory.h"
#include "attribution/kernel_owners.h"
#include "platform/helper_capture.h"
#include "platform/host_names.h"
#include "platform/interfaces.h"
#include "storage/history_store.h"
#include "storage/traffic_log.h"
#include "platform/net.h"
#include "ui/CAboutDlg.h"
#include "ui/CHistoryDlg.h"
#include "ui/CIconButton.h"
#include "ui/CLogsDlg.h"
#include "ui/COptionsDlg.h"
#include "ui/GraphArea.h"
#include "ui/HelpWindow.h"
#include "ui/NewProgramNotices.h"
#include "ui/ProgramIcons.h"
#include "ui/ProgramRecording.h"
#include "ui/ProgramsView.h"
#include "ui/ListWorker.h"
#include "ui/colour_scheme.h"
#include "engine/program_totals.h"
#include "engine/wiring.h"
#include "ui/TrafficModel.h"
#include "ui/TrafficView.h"
#include "ui/dialog_units.h"
#include "ui/export_dialog.h"
#include "ui/list_actions.h"
#include "ui/open_url.h"

namespace {

enum ButtonIndex { kSaveClear = 0, kShowLog = 1, kDeleteLogs = 2, kOptions = 3, kHelp = 4 };

// Size of the client area in dialog units.
constexpr int kClientWidthDu = 451;
constexpr int kClientHeightDu = 201;
constexpr int kListTopDu = 32;

// Keys of the layout file.
const QString kGeometryKey = QStringLiteral("window/geometry");
const QString kColumnsKey = QStringLiteral("window/columns");
const QString kSortColumnKey = QStringLiteral("window/sortColumn");
const QString kSortOrderKey = QStringLiteral("window/sortOrder");
const QString kLookUpNamesKey = QStringLiteral("names/lookUp");
const QString kHistoryDaysKey = QStringLiteral("history/days");
const QString kNotifyNewProgramsKey = QStringLiteral("history/notifyNewPrograms");
const QString kFeedbackNotAgainKey = QStringLiteral("window/feedbackNotAgain");
const QString kCloseNoteShownKey = QStringLiteral("window/closeNoteShown");
const QString kButtonTextsKey = QStringLiteral("window/buttonTexts");
const QString kColoursKey = QStringLiteral("window/colours");
const QString kUsageDayKey = QStringLiteral("alerts/usageDayMB");
const QString kUsageHourKey = QStringLiteral("alerts/usageHourMB");
// As the byte counts show them: 1 MB = 1024 KB.
constexpr uint64_t kMegabyte = 1024 * 1024;

corvane::UsageBudget UsageBudgetOf(int dayMegabytes, int hourMegabytes) {
  return {static_cast<uint64_t>(std::max(0, dayMegabytes)) * kMegabyte,
          static_cast<uint64_t>(std::max(0, hourMegabytes)) * kMegabyte};
}

// Each application's bytes since the monitor started, both families together.
std::vector<corvane::UsageCount> UsageTotalsOf(const corvane::Monitor& monitor) {
  std::map<std::string, corvane::UsageCount> byApp;
  for (const corvane::ApplicationBytes& bytes : monitor.ApplicationTotals()) {
    corvane::UsageCount& count = byApp[bytes.app];
    count.app = bytes.app;
    count.name = bytes.name;
    count.bytes += bytes.sentBytes + bytes.receivedBytes;
  }
  std::vector<corvane::UsageCount> totals;
  for (auto& [app, count] : byApp) totals.push_back(std::move(count));
  return totals;
}

// How long a new-program notice stays up, where the desktop lets it choose.
constexpr int kNoticeShownMs = 10000;
// How long the status line names a file just written.
constexpr int kStatusNoteMs = 15000;

// The log that Save & Clear wrote into `folder`: the one not there `before`.
std::string NewLogIn(const std::string& folder, const std::vector<corvane::LogChoice>& before) {
  std::string newest;
  for (const corvane::LogChoice& log : corvane::ListLogs(folder)) {
    const bool known = std::any_of(before.begin(), before.end(), [&](const corvane::LogChoice& old) {
      return old.fileName == log.fileName;
    });
    if (!known) newest = folder + "/" + log.fileName;
  }
  return newest;
}

// The history's days from the preferences. A damaged value must never
// shorten the history (pruning would remove what it keeps): it gives the
// default.
int HistoryDays(const QSettings& preferences) {
  bool ok = false;
  const int days = preferences.value(kHistoryDaysKey).toInt(&ok);
  if (!ok || days < 1) return corvane::kDefaultHistoryDays;
  return std::min(days, COptionsDlg::kMaxHistoryDays);
}

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
    "suggestions or problems you had using the program. Click 'Yes' to open our contact page.");

}  // namespace

CMainDlg::CMainDlg(corvane::DataFolders folders, QWidget* parent)
    : QDialog(parent),
      folders_(std::move(folders)),
      ownClock_(std::make_unique<corvane::SystemClock>()),
      monitor_(std::make_unique<corvane::Monitor>(*ownClock_, folders_.config)),
      listWork_(std::make_unique<ListWorker>()) {
  Construct();
}

CMainDlg::CMainDlg(const corvane::Clock& clock, std::string dataDirectory, QWidget* parent)
    : QDialog(parent),
      folders_{dataDirectory, dataDirectory, dataDirectory + "/" + corvane::kHistoryFileName},
      monitor_(std::make_unique<corvane::Monitor>(clock, std::move(dataDirectory))),
      listWork_(std::make_unique<ListWorker>()) {
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
  notices_ = new NewProgramNotices([this](const QString& title, const QString& text) {
    const QList<NewProgram>& shown = notices_->lastShown();
    if (shown.size() != 1) {
      ShowNotice(title, text, QIcon(QStringLiteral(":/icons/corvane.svg")));
      return;
    }
    // The program's own icon, once its look-up has answered.
    icons_->WithIcon(shown.front().app,
                     [this, title, text](const QIcon& icon) { ShowNotice(title, text, icon); });
  }, this);
}

void CMainDlg::ShowNotice(const QString& title, const QString& text, const QIcon& icon) {
  // Desktop notifications may read their text as markup; program names are not.
  if (tray_ && trayAvailable_) tray_->showMessage(title, text.toHtmlEscaped(), icon, kNoticeShownMs);
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
  // Which programs can be named depends on the helper: the title says which
  // way it names them, behind the interface the title handler put there.
  helper.onReady = [this](corvane::capture::AttributionMode mode) {
    const QString suffix =
        QStringLiteral(" \u2014 attribution: ") + QString::fromUtf8(corvane::AttributionModeText(mode));
    QMetaObject::invokeMethod(this, [this, suffix] {
      QString title = windowTitle();
      if (const qsizetype cut = title.indexOf(QStringLiteral(" \u2014 attribution: ")); cut >= 0) {
        title.truncate(cut);
      }
      setWindowTitle(title + suffix);
      attributionText_ = suffix.mid(3);
      ShowCaptureStatus();
    }, Qt::QueuedConnection);
  };
  corvane::LiveWiring wiring;
  wiring.helper = std::move(helper);
  // Save & Clear and the midnight step write the rows to a new traffic log
  // in the log folder before anything is emptied.
  wiring.logFolder = folders_.logs;
  // The user may turn the lookups off and on while the window runs.
  wiring.namesWanted = lookUpNames_;
  // Nothing is opened now: the window opens capture when it starts.
  (void)corvane::WireLiveMonitor(*monitor_, std::move(wiring));
}

CMainDlg::~CMainDlg() {
  // No worker may reach the window once it is gone.
  addressWatcher_.Stop();
  monitor_->Stop();
  listWork_.reset();
  monitor_->SetRowChangeSink(nullptr);
  monitor_->SetErrorHandler(nullptr);
  monitor_->SetTitleHandler(nullptr);
}

// ---------------------------------------------------------------- building

void CMainDlg::BuildMenus() {
  menuBar_ = new QMenuBar(this);
  QMenu* file = menuBar_->addMenu(QStringLiteral("&File"));
  file->addAction(QStringLiteral("&Export list..."), this, &CMainDlg::OnExportList);
  file->addSeparator();
  // Ctrl+Q itself: not every platform theme binds the standard Quit key.
  file->addAction(QStringLiteral("E&xit"), this, &CMainDlg::OnExit)
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  QMenu* traffic = menuBar_->addMenu(QStringLiteral("&Traffic"));
  traffic->addAction(QStringLiteral("Show &log"), this, &CMainDlg::OnShowLog);
  traffic->addAction(QStringLiteral("&History..."), this, &CMainDlg::OnHistory);
  traffic->addAction(QStringLiteral("&Save && Clear"), this, &CMainDlg::OnSaveAndClear);
  traffic->addAction(QStringLiteral("&Options..."), this, &CMainDlg::OnOptions);
  pauseAction_ = traffic->addAction(QStringLiteral("&Pause capture"));
  pauseAction_->setCheckable(true);
  pauseAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  connect(pauseAction_, &QAction::toggled, this, &CMainDlg::OnPauseCapture);
  // Apart from the rest: it deletes every saved log, after asking.
  traffic->addSeparator();
  traffic->addAction(QStringLiteral("&Delete all saved logs..."), this, &CMainDlg::OnDeleteAllLogs);
  QMenu* view = menuBar_->addMenu(QStringLiteral("&View"));
  // The rows as they are, or the same rows summed per program.
  auto* views = new QActionGroup(this);
  QAction* rows = view->addAction(QStringLiteral("&Rows"), this, [this] { ShowPrograms(false); });
  programsAction_ = view->addAction(QStringLiteral("&Programs"), this, [this] { ShowPrograms(true); });
  for (QAction* action : {rows, programsAction_}) {
    action->setCheckable(true);
    views->addAction(action);
  }
  rows->setChecked(true);
  rows->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
  programsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_2));
  view->addSeparator();
  buttonTextAction_ = view->addAction(QStringLiteral("&Text under toolbar buttons"));
  buttonTextAction_->setCheckable(true);
  connect(buttonTextAction_, &QAction::toggled, this, &CMainDlg::ShowButtonTexts);
  QMenu* help = menuBar_->addMenu(QStringLiteral("&Help"));
  help->addAction(QStringLiteral("Help &Topics"), this, &CMainDlg::OnHelpTopics)
      ->setShortcut(QKeySequence::HelpContents);
  help->addAction(QStringLiteral("&About..."), this, &CMainDlg::OnAbout);
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
    const char* text;  // under the button, when asked for
    void (CMainDlg::*command)();
  };
  const ButtonSpec specs[5] = {
      {7, "Save && Clear", "Save", &CMainDlg::OnSaveAndClear},
      {29, "Show log", "Logs", &CMainDlg::OnShowLog},
      {51, "Delete all saved logs", "Delete", &CMainDlg::OnDeleteAllLogs},
      {73, "Options", "Options", &CMainDlg::OnOptions},
      {103, "Show Help Topics", "Help", &CMainDlg::OnHelpTopics},
  };
  QFont small = font();
  small.setPixelSize(std::max(6, QFontInfo(font()).pixelSize() * 4 / 5));
  for (int i = 0; i < 5; ++i) {
    auto* b = new CIconButton(client_);
    b->setGeometry(DialogRect(this, specs[i].x, 7, 21, 21));
    // A tooltip shows "&&" as one ampersand only in menus; here it is plain.
    b->setToolTip(QString::fromLatin1(specs[i].tooltip).replace(QStringLiteral("&&"),
                                                                QStringLiteral("&")));
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, specs[i].command);
    buttons_[i] = b;
    auto* text = new QLabel(QString::fromLatin1(specs[i].text), client_);
    text->setFont(small);
    text->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    const int width = std::max(b->width(), text->sizeHint().width());
    text->setGeometry(b->geometry().center().x() - width / 2, b->geometry().bottom() + 2, width,
                      text->sizeHint().height());
    text->hide();
    buttonTexts_[i] = text;
  }

  summaryGroup_ = new QGroupBox(QStringLiteral("Summary traffic : "), client_);
  summaryGroup_->setAlignment(Qt::AlignHCenter);
  summaryGroup_->setGeometry(DialogRect(this, 273, 4, 109, 23));
  QPalette captionPalette = summaryGroup_->palette();
  captionPalette.setColor(QPalette::WindowText, CaptionColour(this, QColor(50, 0, 225)));
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
  view_->setGeometry(DialogRect(this, 7, kListTopDu, 437, 162));
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
  view_->horizontalHeader()->setSortIndicatorShown(true);
  view_->horizontalHeader()->setSortIndicator(-1, Qt::DescendingOrder);
  view_->horizontalHeader()->setStretchLastSection(false);
  view_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // The activity marks, drawn as selected rows, stay visible without focus.
  QPalette viewPalette = view_->palette();
  for (auto role : {QPalette::Highlight, QPalette::HighlightedText}) {
    viewPalette.setColor(QPalette::Inactive, role, viewPalette.color(QPalette::Active, role));
  }
  view_->setPalette(viewPalette);
  connect(view_->horizontalHeader(), &QHeaderView::sectionClicked, this, &CMainDlg::OnSortColumn);
  // Each program's icon beside its rows' "Local source", and the view by
  // program in the list's place.
  icons_ = new ProgramIcons({}, this);
  view_->setItemDelegateForColumn(corvane::kColumnLocalSource, new ProgramIconDelegate(icons_, view_));
  programsView_ = new ProgramsView(icons_, client_);
  programsView_->setGeometry(view_->geometry());
  programsView_->hide();
  connect(programsView_, &ProgramsView::hideProgram, this,
          [this](const corvane::RowCells& cells) { AddRules({ProgramRule(cells)}); });
  connect(programsView_, &ProgramsView::hideHost, this,
          [this](const corvane::RowCells& cells) { AddRules({HostRule(cells)}); });
  recording_ = std::make_unique<ProgramRecording>(*monitor_);
  connect(recording_.get(), &ProgramRecording::progress, this, &CMainDlg::ShowStatusNote);
  connect(recording_.get(), &ProgramRecording::failed, this, [this](const QString& text) {
    ShowStatusNote(text);
    ShowMessage(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok);
  });
  programsView_->SetRecording(recording_.get());
  connect(programsView_, &ProgramsView::recordProgram, this, &CMainDlg::OnRecordProgram);

  BuildListCommands();
  statusNoteTimer_.setSingleShot(true);
  statusNoteTimer_.setInterval(kStatusNoteMs);
  connect(&statusNoteTimer_, &QTimer::timeout, this, &CMainDlg::ShowCaptureStatus);
  statusLabel_ = new QLabel(QStringLiteral("Starting capture\u2026"), client_);
  statusLabel_->setTextFormat(Qt::PlainText);
  statusLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // "Undo" for a hide from the list's context menu, at the status line's end.
  undoLabel_ = new QLabel(client_);
  undoLabel_->setTextFormat(Qt::RichText);
  undoLabel_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  undoLabel_->setAutoFillBackground(true);
  undoLabel_->hide();
  connect(undoLabel_, &QLabel::linkActivated, this, [this] { UndoHide(); });

  client_->setMinimumSize(0, 0);
  client_->resize(DialogUnitsX(this, kClientWidthDu), DialogUnitsY(this, kClientHeightDu));
  const int clientWidth = client_->width();
  graphRightGap_ = clientWidth - graph_->geometry().right();
  groupRightGap_ = clientWidth - summaryGroup_->geometry().right();
  labelRightGap_ = clientWidth - summaryLabel_->geometry().right();
  // Nothing overlaps down to this size: the buttons, the quick filter box
  // (which shrinks, but never out of reach), then the summary and the
  // graph, which keep their distance to the right edge; a few rows of the
  // list.
  const int rightPart = clientWidth - summaryGroup_->x();
  client_->setMinimumSize(quickFilter_->x() + QuickFilterMinWidth() + DialogUnitsX(this, 5) + rightPart,
                          view_->y() + DialogUnitsY(this, 48));
  resize(client_->width(), client_->height() + menuBar_->sizeHint().height());
}

// Columns as wide as the texts they usually hold in the list's font (a full
// IPv6 address, a byte count, a program name, a time); the host column takes
// what is left. The window opens wide enough for all of them, but never
// wider than the screen.
void CMainDlg::FitColumns() {
  static const char* const kSamples[corvane::kColumnCount + 1] = {
      "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "", "1023.99 MB", "1023.99 MB", "1023.99 MB",
      "firefox-esr:4194304", "2026-12-31 23:59:59", "2026-12-31 23:59:59", "1023.99 KB/s"};
  const QFontMetrics metrics(view_->font());
  const QFontMetrics headingMetrics(view_->horizontalHeader()->font());
  const int iconRoom = view_->iconSize().width() + 12;  // the row and heading images, padding
  int fixedWidth = 0;
  for (int column = 0; column <= TrafficModel::kColumnSpeed; ++column) {
    const QString heading = model_->headerData(column, Qt::Horizontal).toString();
    const int width =
        std::max(metrics.horizontalAdvance(QString::fromLatin1(kSamples[column])) + iconRoom,
                 headingMetrics.horizontalAdvance(heading) + 2 * iconRoom);
    view_->setColumnWidth(column, width);
    if (column != corvane::kColumnRemoteHost) fixedWidth += width;
  }
  const int hostWidth = std::max(TrafficModel::ColumnWidth(corvane::kColumnRemoteHost),
                                 headingMetrics.horizontalAdvance(QStringLiteral("Remote host")) +
                                     2 * iconRoom);
  view_->horizontalHeader()->setSectionResizeMode(corvane::kColumnRemoteHost, QHeaderView::Stretch);
  // The host column, which gives way when the window is narrow, keeps its
  // heading whole.
  view_->horizontalHeader()->setMinimumSectionSize(
      headingMetrics.horizontalAdvance(QStringLiteral("Remote host")) + iconRoom);

  const int wanted = fixedWidth + hostWidth + view_->verticalScrollBar()->sizeHint().width() +
                     2 * view_->frameWidth() + (client_->width() - view_->width());
  int limit = wanted;
  if (const QScreen* screen = this->screen()) limit = screen->availableGeometry().width() * 9 / 10;
  const int clientWidth = std::max(client_->minimumWidth(), std::min(std::max(wanted, client_->width()), limit));
  resize(clientWidth, height());
}

// The list's own commands: the quick filter box, copying rows, hiding a host
// or a program through a new filter rule, looking a host up again.
void CMainDlg::BuildListCommands() {
  quickFilter_ = new QLineEdit(client_);
  quickFilter_->setPlaceholderText(QStringLiteral("Filter rows (Ctrl+F)"));
  quickFilter_->setClearButtonEnabled(true);
  quickFilter_->setGeometry(DialogRect(this, 130, 10, 138, 14));
  connect(quickFilter_, &QLineEdit::textChanged, this, &CMainDlg::ApplyQuickFilter);
  // Rows come and change all the time; the filter catches up a few times a
  // second rather than on every record.
  quickFilterTimer_.setSingleShot(true);
  quickFilterTimer_.setInterval(200);
  connect(&quickFilterTimer_, &QTimer::timeout, this, &CMainDlg::ApplyQuickFilter);
  auto later = [this] {
    if (!quickFilter_->text().isEmpty() && !quickFilterTimer_.isActive()) quickFilterTimer_.start();
  };
  connect(model_, &QAbstractItemModel::rowsInserted, this, later);
  connect(model_, &QAbstractItemModel::rowsRemoved, this, later);
  connect(model_, &QAbstractItemModel::modelReset, this, later);
  connect(model_, &QAbstractItemModel::layoutChanged, this, later);
  connect(model_, &QAbstractItemModel::dataChanged, this, later);

  auto shortcut = [this](const QKeySequence& keys, auto slot) {
    auto* action = new QAction(this);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    connect(action, &QAction::triggered, this, slot);
    addAction(action);
  };
  shortcut(QKeySequence::Find, [this] {
    quickFilter_->setFocus(Qt::ShortcutFocusReason);
    quickFilter_->selectAll();
  });
  shortcut(QKeySequence::Copy, [this] {
    programsAction_->isChecked() ? programsView_->CopySelection() : CopyRows(CellsOf(ChosenRows(-1)));
  });
  shortcut(QKeySequence::Delete, [this] {
    if (!programsAction_->isChecked()) HideHostsOf(CellsOf(ChosenRows(-1)), /*ask=*/true);
  });

  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(view_, &QWidget::customContextMenuRequested, this, &CMainDlg::OnListMenu);
}

std::vector<int> CMainDlg::ChosenRows(int clickedRow) const {
  // The rows the user chose; rows tinted for recent activity are not.
  std::vector<int> marked = model_->ChosenRows();
  // A right-click on an unmarked row means that row alone.
  if (clickedRow >= 0 && std::find(marked.begin(), marked.end(), clickedRow) == marked.end()) {
    return {clickedRow};
  }
  if (marked.empty() && view_->currentIndex().isValid()) return {view_->currentIndex().row()};
  std::vector<int> shown;
  for (int row : marked) {
    if (!view_->isRowHidden(row)) shown.push_back(row);
  }
  return shown;
}

std::vector<corvane::RowCells> CMainDlg::CellsOf(const std::vector<int>& rows) const {
  std::vector<corvane::RowCells> cells;
  for (int row : rows) {
    if (row >= 0 && row < model_->rowCount()) cells.push_back(model_->Cells(row));
  }
  return cells;
}

void CMainDlg::CopyRows(const std::vector<corvane::RowCells>& rows) {
  if (rows.empty()) return;
  QGuiApplication::clipboard()->setText(RowsAsText(rows));
}

void CMainDlg::HideHostsOf(const std::vector<corvane::RowCells>& rows, bool ask) {
  std::vector<corvane::FilterRule> rules;
  QStringList hosts;
  for (const corvane::RowCells& cells : rows) {
    rules.push_back(HostRule(cells));
    hosts << QString::fromStdString(rules.back().remoteHost);
  }
  if (rules.empty()) return;
  hosts.removeDuplicates();
  if (ask && ShowMessage(QMessageBox::Question, QStringLiteral("Hide hosts"),
                         QStringLiteral("Add a filter rule that hides every flow of %1?")
                             .arg(hosts.join(QStringLiteral(", "))),
                         QMessageBox::Yes | QMessageBox::No | QMessageBox::Default) !=
                 QMessageBox::Yes) {
    return;
  }
  // Asked first, or undone at once from the status line.
  AddRules(rules, /*offerUndo=*/!ask);
}

void CMainDlg::AddRules(const std::vector<corvane::FilterRule>& rules, bool offerUndo) {
  std::vector<corvane::FilterRule> added;
  if (auto problem = AddHideRules(monitor_->filterFile(), rules, &added)) {
    ShowMessage(QMessageBox::Warning, QStringLiteral("Filters"), *problem, QMessageBox::Ok);
    return;
  }
  monitor_->ReloadFilters();
  if (!offerUndo || added.empty()) return;
  undoRules_ = std::move(added);
  QStringList what;
  for (const corvane::FilterRule& rule : undoRules_) {
    what << QString::fromStdString(rule.remoteHost == corvane::kAnyText ? rule.localSource
                                                                        : rule.remoteHost);
  }
  // Host and program names come from the network and other users.
  undoLabel_->setText(QStringLiteral("Hidden: %1 <a href=\"undo\">Undo</a>")
                          .arg(what.join(QStringLiteral(", ")).toHtmlEscaped()));
  undoLabel_->show();
  undoLabel_->raise();
  Relayout();
}

void CMainDlg::UndoHide() {
  undoLabel_->hide();
  if (undoRules_.empty()) return;
  const std::vector<corvane::FilterRule> rules = std::move(undoRules_);
  undoRules_.clear();
  if (auto problem = RemoveHideRules(monitor_->filterFile(), rules)) {
    ShowMessage(QMessageBox::Warning, QStringLiteral("Filters"), *problem, QMessageBox::Ok);
    return;
  }
  monitor_->ReloadFilters();
}

void CMainDlg::OnListMenu(const QPoint& position) {
  const QModelIndex index = view_->indexAt(position);
  const std::vector<int> rows = ChosenRows(index.isValid() ? index.row() : -1);
  if (rows.empty()) return;
  // The rows as they are now: the commands act on these, whatever comes
  // meanwhile; and nothing moves under the pointer while the menu is open.
  const std::vector<corvane::RowCells> cells = CellsOf(rows);
  const corvane::RowCells first = cells.front();
  std::vector<corvane::RowKey> keys;
  for (int row : rows) keys.push_back(model_->Key(row));
  model_->HoldPositions();
  QMenu menu(this);
  menu.addAction(rows.size() == 1 ? QStringLiteral("Copy row") : QStringLiteral("Copy rows"), this,
                 [this, cells] { CopyRows(cells); });
  menu.addAction(QStringLiteral("Copy address"), this, [first] {
    QGuiApplication::clipboard()->setText(QString::fromStdString(first[corvane::kColumnRemoteIp]));
  });
  menu.addSeparator();
  menu.addAction(QStringLiteral("Hide this host"), this, [this, cells] { HideHostsOf(cells, false); });
  menu.addAction(QStringLiteral("Hide this program"), this,
                 [this, first] { AddRules({ProgramRule(first)}, /*offerUndo=*/true); });
  menu.addSeparator();
  // The program of the row clicked, even among marked rows.
  const std::string program(corvane::ProgramOfSource(
      (index.isValid() ? model_->Cells(index.row()) : first)[corvane::kColumnLocalSource]));
  menu.addAction(recording_->EntryText(), this, [this, program] { OnRecordProgram(program); });
  menu.addSeparator();
  menu.addAction(QStringLiteral("Look up again"), this, [this, keys] {
    corvane::Monitor* monitor = monitor_.get();
    listWork_->Post([monitor, keys] {
      for (const corvane::RowKey& key : keys) monitor->LookUpHostAgain(key);
    });
  });
  listMenuHook_ ? listMenuHook_(menu) : (void)menu.exec(view_->viewport()->mapToGlobal(position));
  model_->ReleasePositions();
}

// What capture does now, always in view: the watched interface and how
// programs are named, or why nothing is captured and what to do about it
// (the helper's reasons name the command or the group).
void CMainDlg::ShowCaptureStatus() {
  const QString name = QString::fromStdString(captureState_.interfaceName);
  QPalette palette = statusLabel_->palette();
  palette.setColor(QPalette::WindowText, this->palette().color(QPalette::WindowText));
  if (monitor_->IsPaused()) {
    // Options may have chosen another interface meanwhile; Resume opens that.
    statusLabel_->setText(QStringLiteral("Paused: nothing is captured on %1")
                              .arg(QString::fromStdString(monitor_->interfaceName())));
  } else if (captureState_.capturing) {
    QString text = QStringLiteral("Watching %1").arg(name);
    if (!attributionText_.isEmpty()) text += QStringLiteral(" \u2014 ") + attributionText_;
    statusLabel_->setText(text);
  } else {
    statusLabel_->setText(QStringLiteral("Not capturing on %1: %2")
                              .arg(name, QString::fromStdString(captureState_.reason)));
    palette.setColor(QPalette::WindowText, QColor(200, 30, 30));
  }
  statusLabel_->setToolTip(statusLabel_->text());
  statusLabel_->setPalette(palette);
}

void CMainDlg::OnPauseCapture(bool paused) {
  if (paused == monitor_->IsPaused()) return;
  const QString name = QString::fromStdString(monitor_->interfaceName());
  if (paused) {
    monitor_->Pause();
    setWindowTitle(QStringLiteral("Corvane [%1] \u2014 Paused").arg(name));
  } else {
    // The capture thread names the interface in the title once it runs.
    monitor_->Resume();
  }
  ShowCaptureStatus();
}

// A note on the status line (a file written) for a while; then capture's
// state again.
void CMainDlg::ShowStatusNote(const QString& text) {
  statusLabel_->setText(text);
  statusLabel_->setToolTip(text);
  QPalette palette = statusLabel_->palette();
  palette.setColor(QPalette::WindowText, this->palette().color(QPalette::WindowText));
  statusLabel_->setPalette(palette);
  statusNoteTimer_.start();
}

// The quick filter box is never narrower than its hint ("Filter rows
// (Ctrl+F)") with the clear button beside it.
int CMainDlg::QuickFilterMinWidth() const {
  const QFontMetrics metrics(quickFilter_->font());
  return metrics.horizontalAdvance(quickFilter_->placeholderText()) + 2 * metrics.height() +
         DialogUnitsX(this, 4);
}

void CMainDlg::ShowButtonTexts(bool shown) {
  for (QLabel* text : buttonTexts_) text->setVisible(shown);
  // The list makes room for the texts.
  const int listTop = shown ? buttonTexts_[0]->geometry().bottom() + DialogUnitsY(this, 2)
                            : DialogUnitsY(this, kListTopDu);
  view_->move(view_->x(), listTop);
  Relayout();
  if (buttonTextAction_->isChecked() != shown) buttonTextAction_->setChecked(shown);
  if (initialised_) {
    QSettings preferences(LayoutFile(), QSettings::IniFormat);
    preferences.setValue(kButtonTextsKey, shown);
  }
}

// The application's colours, and the summary's caption made to read on them.
void CMainDlg::UseColours(ColourChoice choice) {
  ApplyColourChoice(choice);
  QPalette captionPalette = summaryGroup_->palette();
  captionPalette.setColor(QPalette::WindowText,
                          CaptionColour(nullptr, QColor(50, 0, 225)));
  summaryGroup_->setPalette(captionPalette);
}

void CMainDlg::ShowPrograms(bool programs) {
  programsAction_->setChecked(programs);
  if (programs) programsView_->Refresh(*model_, quickFilter_->text());
  programsView_->setVisible(programs);
  view_->setVisible(!programs);
  (programs ? static_cast<QWidget*>(programsView_) : view_)->setFocus();
}

void CMainDlg::ApplyQuickFilter() {
  if (programsAction_->isChecked()) programsView_->Refresh(*model_, quickFilter_->text());
  const QString needle = quickFilter_->text().trimmed();
  const int count = model_->rowCount();
  for (int row = 0; row < count; ++row) {
    const bool hide = !RowMatchesQuickFilter(model_->Cells(row), needle);
    if (view_->isRowHidden(row) != hide) view_->setRowHidden(row, hide);
  }
}

void CMainDlg::BuildTray() {
  trayMenu_ = new QMenu(QStringLiteral("TB"), this);
  QAction* show = trayMenu_->addAction(QStringLiteral("&Show Corvane"), this,
                                       &CMainDlg::OnShowMainDialog);
  QFont bold = show->font();
  bold.setBold(true);
  show->setFont(bold);
  trayMenu_->setDefaultAction(show);
  trayMenu_->addAction(QStringLiteral("Show &log"), this, &CMainDlg::OnShowLog);
  trayMenu_->addAction(QStringLiteral("&History..."), this, &CMainDlg::OnHistory);
  trayMenu_->addAction(QStringLiteral("&Options..."), this, &CMainDlg::OnOptions);
  trayMenu_->addAction(pauseAction_);
  trayMenu_->addSeparator();
  trayMenu_->addAction(QStringLiteral("&Delete all saved logs..."), this, &CMainDlg::OnDeleteAllLogs);
  trayMenu_->addSeparator();
  trayMenu_->addAction(QStringLiteral("E&xit"), this, &CMainDlg::OnExit);

  tray_ = new QSystemTrayIcon(windowIcon(), this);
  tray_->setToolTip(QStringLiteral("Corvane"));
  tray_->setContextMenu(trayMenu_);
  connect(tray_, &QSystemTrayIcon::activated, this, &CMainDlg::OnTrayActivated);
  tray_->show();
}

// ---------------------------------------------------------------- start-up

int CMainDlg::exec() {
  Initialise();
  // The window runs its own loop rather than QDialog's: a modal dialog
  // blocks the tray icon's menu while it is shown, and a dialog hidden
  // behind its tray never leaves QDialog's loop when done() hides it again.
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, &QEventLoop::exit);
  show();
  return loop.exec();
}

void CMainDlg::Initialise() {
  if (initialised_) return;
  initialised_ = true;
  corvane::Monitor& m = *monitor_;

  // Controls bound; the template's placeholder readout is emptied.
  summaryLabel_->clear();
  {
    const QSettings preferences(LayoutFile(), QSettings::IniFormat);
    UseColours(ColourChoiceOfName(preferences.value(kColoursKey).toString()));
  }

  // Workers talk to the window only through queued calls.
  m.SetErrorHandler([this](const std::string& message) {
    QString text = QString::fromStdString(message);
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  });
  m.SetTitleHandler([this](const std::string& title) {
    QString text = QString::fromStdString(title);
    QMetaObject::invokeMethod(this, [this, text] { setWindowTitle(text); }, Qt::QueuedConnection);
  });
  m.SetCaptureStateHandler([this](const corvane::Monitor::CaptureState& state) {
    QMetaObject::invokeMethod(this, [this, state] {
      captureState_ = state;
      ShowCaptureStatus();
    }, Qt::QueuedConnection);
  });
  m.SetRowChangeSink(model_->ChangeSink());
  // set.dat: the options, the mask and the proxy (resolved once here).
  m.LoadSettingsFile();
  // Remote hosts are named by reverse lookups unless the user said no.
  QSettings preferences(LayoutFile(), QSettings::IniFormat);
  lookUpNames_->store(preferences.value(kLookUpNamesKey, true).toBool());

  // The traffic history, and the news of programs it has never seen.
  notices_->SetEnabled(preferences.value(kNotifyNewProgramsKey, true).toBool());
  m.SetNewApplicationHandler([this](const std::string& app, const std::string& name) {
    const QString key = QString::fromStdString(app), text = QString::fromStdString(name);
    QMetaObject::invokeMethod(this, [this, key, text] { notices_->Add(key, text); },
                              Qt::QueuedConnection);
  });
  if (corvane::HistoryStatus history = m.EnableHistory(folders_.history, HistoryDays(preferences));
      !history) {
    const QString text =
        QStringLiteral("The traffic history is not kept: %1").arg(QString::fromStdString(history.reason));
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  }
  StartUsageAlerts(UsageBudgetOf(preferences.value(kUsageDayKey, 0).toInt(),
                                 preferences.value(kUsageHourKey, 0).toInt()));

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
  m.DiscardTick();

  tick_.setInterval(1000);
  connect(&tick_, &QTimer::timeout, this, &CMainDlg::OnTick, Qt::UniqueConnection);
  tick_.start();

  FitColumns();
  RestoreLayout();
  ShowButtonTexts(preferences.value(kButtonTextsKey, false).toBool());

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
  if (corvane::Status watching = addressWatcher_.Start(
          name,
          [monitor](const corvane::LocalNetworks& networks) { monitor->SetLocalNetworks(networks); });
      !watching) {
    const QString text = QString::fromStdString(watching.reason);
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
  // The capture status line sits under the list, across its width.
  const int statusHeight = statusLabel_->sizeHint().height();
  const int statusTop = ch - statusHeight - DialogUnitsY(this, 2);
  statusLabel_->setGeometry(view_->x(), statusTop, std::max(0, cw - 20), statusHeight);
  if (undoLabel_ && undoLabel_->isVisible()) {
    const int undoWidth = std::min(undoLabel_->sizeHint().width(), std::max(0, cw - 20) / 2);
    undoLabel_->setGeometry(view_->x() + std::max(0, cw - 20) - undoWidth, statusTop, undoWidth,
                            statusHeight);
  }
  view_->resize(std::max(0, cw - 20), std::max(0, statusTop - view_->y() - DialogUnitsY(this, 2)));
  if (programsView_) programsView_->setGeometry(view_->geometry());
  auto keepRightGap = [cw](QWidget* w, int gap) { w->move(cw - gap - w->width() + 1, w->y()); };
  keepRightGap(graph_, graphRightGap_);
  keepRightGap(summaryGroup_, groupRightGap_);
  keepRightGap(summaryLabel_, labelRightGap_);
  if (quickFilter_) {
    const int room = summaryGroup_->x() - DialogUnitsX(this, 5) - quickFilter_->x();
    quickFilter_->resize(std::max(QuickFilterMinWidth(), room), quickFilter_->height());
  }
  update();
}

// ---------------------------------------------------------------- the tick

void CMainDlg::OnTick() {
  auto [down, up] = monitor_->TakeTick();
  graph_->AddTick(down, up);
  model_->TickSpeeds();
  if (programsAction_->isChecked()) programsView_->Refresh(*model_, quickFilter_->text());
  CheckUsage();
  const QString speeds = QStringLiteral("Download %1/s, upload %2/s")
                             .arg(QString::fromStdString(corvane::FormatByteCount(down)),
                                  QString::fromStdString(corvane::FormatByteCount(up)));
  summaryLabel_->setToolTip(speeds);
  summaryGroup_->setToolTip(speeds);
  if (tray_) tray_->setToolTip(QStringLiteral("Corvane\n") + speeds);
  const auto [totalDown, totalUp] = monitor_->Totals();
  summaryLabel_->setText(QStringLiteral("DL: %1  UL: %2")
                             .arg(QString::fromStdString(corvane::FormatByteCount(totalDown)),
                                  QString::fromStdString(corvane::FormatByteCount(totalUp))));
}

// ---------------------------------------------------------------- the list

void CMainDlg::OnSortColumn(int column) {
  // The speed column lives only in the window; the list cannot sort by it.
  if (column >= corvane::kColumnCount) {
    view_->horizontalHeader()->setSortIndicator(
        sortColumn_, sortDirection_ == corvane::SortDirection::kGreatestFirst ? Qt::DescendingOrder
                                                                              : Qt::AscendingOrder);
    return;
  }
  // A new column sorts greatest first; clicking it again turns it round.
  if (column == sortColumn_) {
    sortDirection_ = sortDirection_ == corvane::SortDirection::kGreatestFirst
                         ? corvane::SortDirection::kSmallestFirst
                         : corvane::SortDirection::kGreatestFirst;
  } else {
    sortDirection_ = corvane::SortDirection::kGreatestFirst;
  }
  SortBy(column, sortDirection_);
}

void CMainDlg::SortBy(int column, corvane::SortDirection direction) {
  sortColumn_ = column;
  sortDirection_ = direction;
  view_->horizontalHeader()->setSortIndicator(
      column, direction == corvane::SortDirection::kGreatestFirst ? Qt::DescendingOrder
                                                                 : Qt::AscendingOrder);
  // The window orders its own rows; the core's order is the one logs and
  // exports are written in.
  model_->SortBy(column, direction);
  corvane::Monitor* monitor = monitor_.get();
  listWork_->Post([monitor, column, direction] { monitor->SortRows(column, direction); });
}

void CMainDlg::WaitForListWork() { listWork_->Wait(); }

// ---------------------------------------------------------------- commands

void CMainDlg::OnSaveAndClear() {
  // The log is written on the list's worker; the answer comes back here.
  corvane::Monitor* monitor = monitor_.get();
  const std::string logFolder = folders_.logs;
  listWork_->Post([this, monitor, logFolder] {
    const std::vector<corvane::LogChoice> before = corvane::ListLogs(logFolder);
    const corvane::Status saved = monitor->SaveAndClear();
    const std::string written = saved ? NewLogIn(logFolder, before) : std::string();
    QMetaObject::invokeMethod(this, [this, saved, written] {
      if (!saved) {
        ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                    QString::fromStdString(saved.reason), QMessageBox::Ok);
        return;
      }
      // The records of the clear are queued; show the empty list at once.
      model_->ApplyPending();
      if (!written.empty()) {
        ShowStatusNote(QStringLiteral("Saved the list to %1").arg(QString::fromStdString(written)));
      }
    }, Qt::QueuedConnection);
  });
}

void CMainDlg::OnRecordProgram(const std::string& program) {
  if (recording_->running()) {
    ShowStatusNote(recording_->Stop());
    return;
  }
  const std::optional<std::string> path = ProgramRecording::AskTarget(this, program);
  if (!path) return;
  if (corvane::Status started = recording_->Start(program, *path); !started) {
    ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                QStringLiteral("Can't record %1: %2")
                    .arg(QString::fromStdString(program), QString::fromStdString(started.reason)),
                QMessageBox::Ok);
  }
}

void CMainDlg::OnExportList() {
  if (auto target = AskExportTarget(this, QStringLiteral("Export list"))) {
    ExportList(target->path, target->format);
  }
}

void CMainDlg::ExportList(const std::string& path, corvane::ExportFormat format) {
  // Copied and written on the list's worker; a failure comes back here.
  const corvane::Monitor* monitor = monitor_.get();
  listWork_->Post([this, monitor, path, format] {
    std::vector<corvane::ExportRow> rows;
    {
      // Only the copy is made under the lock; the file is written after it.
      const corvane::TrafficList& list = monitor->list();
      corvane::TrafficList::ReadLock lock(list);
      rows.reserve(static_cast<size_t>(list.Count()));
      for (int row = 0; row < list.Count(); ++row) {
        rows.push_back(corvane::ExportRowOf(list.Cells(row), list.Values(row)));
      }
    }
    if (corvane::Status written = corvane::WriteExportFile(path, rows, format); !written) {
      const QString text = ExportFailureText(path, std::strerror(written.code));
      QMetaObject::invokeMethod(this, [this, text] {
        ShowMessage(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok);
      }, Qt::QueuedConnection);
    } else {
      const QString note = QStringLiteral("Exported %1 rows to %2")
                               .arg(rows.size())
                               .arg(QString::fromStdString(path));
      QMetaObject::invokeMethod(this, [this, note] { ShowStatusNote(note); }, Qt::QueuedConnection);
    }
  });
}

void CMainDlg::OnShowLog() {
  // Modal, without owner; its result is not used.
  CLogsDlg dialog(folders_.logs);
  dialog.exec();
}

CHistoryDlg* CMainDlg::historyDialog() const { return history_; }

// The alerts start with the first budget set (at start or in Options): the
// alerts already fired and the history's counts of this day and hour are
// read then.
void CMainDlg::StartUsageAlerts(corvane::UsageBudget budget) {
  if (usageAlerts_) {
    usageAlerts_->SetBudget(budget);
    return;
  }
  if (budget.dayBytes == 0 && budget.hourBytes == 0) return;
  const std::string folder = QFileInfo(QString::fromStdString(folders_.history)).path().toStdString();
  usageAlerts_ = std::make_unique<corvane::UsageAlerts>(folder + "/usage-alerts");
  usageAlerts_->SetBudget(budget);
  if (corvane::Status loaded = usageAlerts_->Load(); !loaded) {
    ReportError(QStringLiteral("Usage alerts: %1").arg(QString::fromStdString(loaded.reason)));
  }
  corvane::HistoryStore store;
  const int64_t now = monitor_->clock().Now();
  if (QFileInfo::exists(QString::fromStdString(folders_.history)) &&
      store.Open(folders_.history, corvane::HistoryStore::Mode::kReadOnly)) {
    for (auto [period, start] : {std::pair{corvane::UsagePeriod::kDay, corvane::LocalDayStart(now)},
                                 std::pair{corvane::UsagePeriod::kHour, corvane::LocalHourStart(now)}}) {
      std::vector<corvane::HistoryTotal> totals;
      if (!store.Totals(corvane::HistoryGrouping::kApp, start, now + 1, totals)) continue;
      std::vector<corvane::UsageCount> counts;
      for (const corvane::HistoryTotal& total : totals) {
        counts.push_back({total.key, total.key, total.sentBytes + total.receivedBytes});
      }
      usageAlerts_->Seed(period, start, counts);
    }
  }
  // What this run counted before now is in the history's counts, apart from
  // the last minute's.
  usageAlerts_->Baseline(UsageTotalsOf(*monitor_));
}

void CMainDlg::CheckUsage() {
  if (!usageAlerts_) return;
  const std::vector<corvane::UsageCount> totals = UsageTotalsOf(*monitor_);
  const int64_t now = monitor_->clock().Now();
  std::vector<corvane::UsageAlert> alerts;
  if (corvane::Status kept = usageAlerts_->Observe(corvane::LocalDayStart(now),
                                                   corvane::LocalHourStart(now), totals, alerts);
      !kept) {
    ReportError(QStringLiteral("Usage alerts: %1").arg(QString::fromStdString(kept.reason)));
  }
  for (const corvane::UsageAlert& alert : alerts) {
    const QString name = QString::fromStdString(alert.name);
    const QString text =
        QStringLiteral("%1 sent and received %2 %3")
            .arg(name, QString::fromStdString(corvane::FormatByteCount(alert.bytes)),
                 alert.period == corvane::UsagePeriod::kDay ? QStringLiteral("today")
                                                            : QStringLiteral("in this hour"));
    const QString title = QStringLiteral("Usage alert");
    usageAlertsShown_ << title + QStringLiteral(": ") + text;
    icons_->WithIcon(QString::fromStdString(alert.app),
                     [this, title, text](const QIcon& icon) { ShowNotice(title, text, icon); });
  }
}

void CMainDlg::OnHistory() {
  if (!history_) {
    history_ = new CHistoryDlg(folders_.history, monitor_->clock(), this);
    history_->setAttribute(Qt::WA_DeleteOnClose);
    history_->SetProgramIcons(icons_);
  } else {
    history_->Refresh();
  }
  history_->show();
  history_->raise();
  history_->activateWindow();
}

void CMainDlg::OnOptions() {
  COptionsDlg::Context context;
  context.settingsFile = folders_.config + "/" + corvane::kSettingsFileName;
  context.filterFile = monitor_->filterFile();
  context.monitoredInterface = monitor_->interfaceName();
  context.monitoredAddress = monitor_->settings().interfaceAddress.load();
  context.monitoredMask = monitor_->settings().interfaceMask.load();
  context.filtersConfirmed = [this] { monitor_->ReloadFilters(); };
  context.lookUpNames = lookUpNames_->load();
  QSettings preferences(LayoutFile(), QSettings::IniFormat);
  context.historyDays = HistoryDays(preferences);
  context.notifyNewPrograms = notices_->enabled();
  const ColourChoice colours = ColourChoiceOfName(preferences.value(kColoursKey).toString());
  context.colours = colours;
  context.usageDayMegabytes = preferences.value(kUsageDayKey, 0).toInt();
  context.usageHourMegabytes = preferences.value(kUsageHourKey, 0).toInt();
  COptionsDlg dialog(std::move(context));
  if (dialog.exec() != QDialog::Accepted) return;
  // Capture restarts only when the interface changed; the filters reload.
  // The new interface's addresses are known before its first datagram.
  const corvane::OptionsResult& result = dialog.optionsResult();
  if (!result.interfaceName.empty() && result.interfaceName != monitor_->interfaceName()) {
    // A recording names its interface: it ends with the capture there.
    if (recording_->running()) ShowStatusNote(recording_->Stop());
    WatchAddressesOf(result.interfaceName);
  }
  monitor_->ApplyOptions(result);
  lookUpNames_->store(dialog.lookUpNames());
  notices_->SetEnabled(dialog.notifyNewPrograms());
  // The history's days apply from the next start, when the history opens.
  preferences.setValue(kLookUpNamesKey, dialog.lookUpNames());
  preferences.setValue(kHistoryDaysKey, dialog.historyDays());
  preferences.setValue(kNotifyNewProgramsKey, dialog.notifyNewPrograms());
  if (dialog.colours() != colours) {
    UseColours(dialog.colours());
    ShowCaptureStatus();
  }
  preferences.setValue(kColoursKey, ColourChoiceName(dialog.colours()));
  preferences.setValue(kUsageDayKey, dialog.usageDayMegabytes());
  preferences.setValue(kUsageHourKey, dialog.usageHourMegabytes());
  StartUsageAlerts(UsageBudgetOf(dialog.usageDayMegabytes(), dialog.usageHourMegabytes()));
  graph_->SetFrozen(monitor_->settings().freezeGraph.load());
}

void CMainDlg::OnDeleteAllLogs() {
  const size_t count = corvane::ListLogs(folders_.logs).size();
  const QString folder = QString::fromStdString(folders_.logs);
  if (count == 0) {
    ShowMessage(QMessageBox::Information, QStringLiteral("Delete all logs"),
                QStringLiteral("There are no traffic logs in %1.").arg(folder), QMessageBox::Ok);
    return;
  }
  const QString what = count == 1 ? QStringLiteral("the traffic log")
                                   : QStringLiteral("all %1 traffic logs").arg(count);
  // No is the default: Enter must never delete a history.
  const auto answer = ShowMessage(
      QMessageBox::Question, QStringLiteral("Delete all logs"),
      QStringLiteral("Delete %1 in %2? This cannot be undone.").arg(what, folder),
      QMessageBox::Yes | QMessageBox::No | QMessageBox::Default);
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

bool CMainDlg::SaveRowsToLog() {
  {
    corvane::TrafficList::ReadLock lock(monitor_->list());
    if (monitor_->list().Count() == 0) return true;
  }
  return monitor_->SaveAndClear().ok;
}

void CMainDlg::Finish() {
  exiting_ = true;
  // Attribution, processing and capture end; their threads are joined,
  // which is prompt (every loop polls its flag at least every 100 ms).
  monitor_->Stop();
  if (recording_->running()) ShowStatusNote(recording_->Stop());
  listWork_->Wait();
  tick_.stop();
  if (tray_) tray_->hide();
  SaveLayout();
}

void CMainDlg::OnQuitSignal() {
  if (exiting_) return;
  Finish();
  // No one may be at the screen (a service stop, a shutdown): no boxes.
  if (!SaveRowsToLog()) std::fprintf(stderr, "corvane: could not save the rows to a traffic log\n");
  done(QDialog::Accepted);
}

void CMainDlg::OnCommitData() {
  // The session ends: the day's rows go to a log as Save & Clear writes
  // them, in case the session manager ends the program without Exit.
  if (exiting_) return;
  SaveRowsToLog();
  model_->ApplyPending();
}

void CMainDlg::OnExit() {
  if (exiting_) return;
  Finish();
  // The rows go to a traffic log, as Save & Clear writes them, so that no
  // count is lost; the next start begins a new list.
  while (!SaveRowsToLog()) {
    const auto retry = ShowMessage(
        QMessageBox::Critical, QStringLiteral("Error"),
        QStringLiteral("Can't write the traffic list to a log in %1. Try again?")
            .arg(QString::fromStdString(folders_.logs)),
        QMessageBox::Retry | QMessageBox::Discard);
    if (retry != QMessageBox::Retry) break;
  }
  if (AskForFeedback() == QMessageBox::Yes) {
    QString reason;
    if (!OpenLink(QStringLiteral(CORVANE_CONTACT_PAGE), &reason)) {
      ShowMessage(QMessageBox::Warning, QStringLiteral("Error"), reason, QMessageBox::Ok);
    }
  }
  done(QDialog::Accepted);
}

// The "Write us" question at Exit, unless the user said not to ask again.
QMessageBox::StandardButton CMainDlg::AskForFeedback() {
  QSettings preferences(LayoutFile(), QSettings::IniFormat);
  if (preferences.value(kFeedbackNotAgainKey, false).toBool()) return QMessageBox::No;
  bool notAgain = false;
  const QMessageBox::StandardButton answer = AskWriteUs(kFeedbackText, &notAgain);
  if (notAgain) {
    preferences.setValue(kFeedbackNotAgainKey, true);
    preferences.sync();
  }
  return answer;
}

QMessageBox::StandardButton CMainDlg::AskWriteUs(const QString& text, bool* dontAskAgain) {
  QMessageBox box(QMessageBox::Information, QStringLiteral("Write us"), text,
                  QMessageBox::Yes | QMessageBox::No);
  box.setTextFormat(Qt::PlainText);
  box.setWindowIcon(windowIcon());
  box.setDefaultButton(QMessageBox::No);
  auto* notAgain = new QCheckBox(QStringLiteral("&Don't ask again"), &box);
  box.setCheckBox(notAgain);
  const auto answer = static_cast<QMessageBox::StandardButton>(box.exec());
  *dontAskAgain = notAgain->isChecked();
  return answer;
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
  const bool smallestFirst = layout.value(kSortOrderKey).toString() == QStringLiteral("ascending");
  if (ok && column >= 0 && column < corvane::kColumnCount) {
    SortBy(column, smallestFirst ? corvane::SortDirection::kSmallestFirst
                                 : corvane::SortDirection::kGreatestFirst);
  }
}

void CMainDlg::SaveLayout() {
  QSettings layout(LayoutFile(), QSettings::IniFormat);
  layout.setValue(kGeometryKey, saveGeometry());
  layout.setValue(kColumnsKey, view_->horizontalHeader()->saveState());
  if (sortColumn_ >= 0) {
    layout.setValue(kSortColumnKey, sortColumn_);
    layout.setValue(kSortOrderKey, sortDirection_ == corvane::SortDirection::kSmallestFirst
                                       ? QStringLiteral("ascending")
                                       : QStringLiteral("descending"));
  }
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
  QMessageBox box(icon, caption, text, buttons & ~QMessageBox::Default);
  // Host names, paths and the system's reasons are shown as they are, never
  // as markup.
  box.setTextFormat(Qt::PlainText);
  box.setWindowIcon(windowIcon());
  // Asked with Default, the box's last button (No) is the default one.
  if (buttons & QMessageBox::Default) {
    const QList<QAbstractButton*> choices = box.buttons();
    for (QAbstractButton* button : choices) {
      if (box.standardButton(button) == QMessageBox::No) {
        box.setDefaultButton(static_cast<QPushButton*>(button));
      }
    }
  }
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
    TellOnceStillRunning();
  } else {
    // Without a tray a hidden window could never come back.
    showMinimized();
  }
}

// The first time the window goes behind the tray, the tray says so.
void CMainDlg::TellOnceStillRunning() {
  QSettings preferences(LayoutFile(), QSettings::IniFormat);
  if (preferences.value(kCloseNoteShownKey, false).toBool() || !tray_) return;
  preferences.setValue(kCloseNoteShownKey, true);
  preferences.sync();
  tray_->showMessage(QStringLiteral("Corvane"),
                     QStringLiteral("Corvane is still running in the tray and keeps counting. "
                                    "Click its icon to bring the window back; Exit in its menu "
                                    "ends it."),
                     QSystemTrayIcon::Information, kNoticeShownMs);
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
