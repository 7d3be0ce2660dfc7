// The main window's controls: the menus, the toolbar, the list and the
// graph, the status line, the tray icon and the colours.
#include "ui/CMainDlg.h"

#include <QAction>
#include <QActionGroup>
#include <QPushButton>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "storage/history_store.h"
#include "storage/traffic_log.h"
#include "ui/CIconButton.h"
#include "ui/GraphArea.h"
#include "ui/ProgramIcons.h"
#include "ui/ProgramRecording.h"
#include "ui/ProgramsView.h"
#include "ui/colour_scheme.h"
#include "ui/TrafficModel.h"
#include "ui/TrafficView.h"
#include "ui/dialog_units.h"
#include "ui/list_actions.h"
#include "ui/main_window_parts.h"

using namespace main_window;

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
