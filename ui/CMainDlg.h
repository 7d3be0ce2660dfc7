// The program's one top-level window: the traffic list, the speed graph
// and readouts, the toolbar, the menus, the tray icon and every command.
//
// The window works on a MonitorSession it does not own (CorvaneApp's, or a
// test's): the session owns the Monitor, which owns the run-time state and
// the worker threads, and runs the start-up steps that are not about
// widgets; the window shows what they report and forwards its commands to
// the monitor. Workers reach the window only through queued calls (titles,
// errors, list change records), so the window thread never waits for them,
// apart from short holds of listMutex for its own commands (Save & Clear,
// Export list, a sort). The user's choice of rows stays in the window's
// model.
//
// Life cycle: the constructor builds the controls; StartUp() runs the
// session's and the window's start-up in order (Initialise() is the
// window's part); exec() shows the window and runs its loop; closing the
// window hides it behind the tray icon (or minimises it where there is no
// tray); only Exit, SIGTERM/SIGINT and the end of the session end the
// program, and each writes the rows to a traffic log first, so no count is
// lost. Esc and Enter do nothing. The destructor stops the session's
// threads, so that none reaches the window once it is gone.
//
// Files: traffic logs in the log folder (platform/data_folders.h). The
// layout (geometry, column widths and order, sort column) is kept with
// QSettings in the session's preferences file ("corvane.conf" of the
// configuration folder): read at the end of Initialise(), written by Exit;
// an unreadable or foreign file leaves the built-in layout. The same file
// keeps the window's own preferences (host names, the history's days, the
// new-program notice, the colours), written by Options, the texts under the
// toolbar buttons (View), and the "Don't ask again" of the "Write us" box
// and the note given once at the first close. A history that cannot be
// opened is reported once and capture runs without it.
//
// Sources: CMainDlg.cpp builds the window, lays it out and shows and hides
// it; MainWindowControls.cpp the menus, toolbar, list, status line and tray;
// MainWindowList.cpp the list's commands and sorting; MainWindowStartup.cpp
// StartUp(), Initialise(), the layout file and the usage alerts' notices;
// MainWindowCommands.cpp the commands and the endings. The program around
// the window (command line, folders, single instance, signals) is
// CorvaneApp's; the monitor and its files are MonitorSession's.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/monitor.h"
#include "engine/row_order.h"
#include "platform/clock.h"
#include "platform/data_folders.h"
#include "platform/mutex.h"
#include "storage/export_format.h"
#include "storage/usage_alerts.h"
#include "ui/MonitorSession.h"
#include "ui/TrafficModel.h"
#include "ui/colour_scheme.h"

class CHistoryDlg;
class CIconButton;
class GraphArea;
class HelpWindow;
class NewProgramNotices;
class QAction;
class ProgramIcons;
class ProgramRecording;
class ProgramsView;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QTableView;
class ListWorker;

class CMainDlg : public QDialog {
  Q_OBJECT

 public:
  // The window of `session`, which must outlive it.
  explicit CMainDlg(MonitorSession& session, QWidget* parent = nullptr);
  ~CMainDlg() override;

  corvane::Monitor& monitor() { return *monitor_; }
  const corvane::DataFolders& folders() const { return folders_; }
  // The QSettings file of the layout (the session's preferences file).
  QString LayoutFile() const { return session_.PreferencesFile(); }

  // Before Initialise(): whether a system tray exists (by default, as Qt
  // reports it).
  void SetTrayAvailable(bool available) { trayOverride_ = available; }

  // The window's start-up, after the session's Open() (whose failures it
  // reports): the monitor's handlers, the tray, the graph, the tick and the
  // saved layout. Runs once.
  void Initialise(const MonitorSession::Opened& opened);
  // Tells what the session's StartCapture() reported, once the window is up.
  void ShowCaptureStart(const MonitorSession::Started& started);
  // Shows the window and runs it until Exit (after StartUp()).
  int exec() override;

  // --- parts, for tests ---
  TrafficModel* trafficModel() const { return model_; }
  QTableView* trafficView() const { return view_; }
  GraphArea* graphArea() const { return graph_; }
  QLabel* summaryLabel() const { return summaryLabel_; }
  QGroupBox* summaryGroup() const { return summaryGroup_; }
  QMenu* trayMenu() const { return trayMenu_; }
  QSystemTrayIcon* trayIcon() const { return tray_; }
  bool trayAvailable() const { return trayAvailable_; }
  bool windowShown() const { return windowShown_; }
  CIconButton* button(int index) const { return buttons_[index]; }
  // The text under toolbar button `index` (shown when View asks for it).
  QLabel* buttonText(int index) const { return buttonTexts_[index]; }
  // Shows or hides the texts under the toolbar buttons, and remembers it.
  void ShowButtonTexts(bool shown);
  QWidget* clientArea() const { return client_; }
  // The column of the last sort, -1 before the first.
  int sortColumn() const { return sortColumn_; }
  // Waits for the work posted to the list's worker: sorts, marks, Save &
  // Clear, Export list (tests; their answers then wait in the event queue).
  void WaitForListWork();
  QLineEdit* quickFilterBox() const { return quickFilter_; }
  QLabel* captureStatus() const { return statusLabel_; }
  // Tests: the status line's "Undo" of a hide from the context menu.
  QLabel* undoHideLink() const { return undoLabel_; }
  CHistoryDlg* historyDialog() const;
  NewProgramNotices* newProgramNotices() const { return notices_; }
  ProgramsView* programsView() const { return programsView_; }
  ProgramIcons* programIcons() const { return icons_; }
  ProgramRecording* recording() const { return recording_.get(); }
  // The list's and the Programs view's "Record this program's traffic...":
  // asks for the file and starts recording `program`, or stops the
  // recording that runs.
  void OnRecordProgram(const std::string& program);
  // View > Programs (true) or View > Rows: which of the two list views shows.
  void ShowPrograms(bool programs);
  // The usage alerts shown so far, title and text (tests).
  const QStringList& usageAlertsShown() const { return usageAlertsShown_; }
  // Tests: the list's context menu goes to `hook` instead of the screen.
  void SetListMenuHook(std::function<void(QMenu&)> hook) { listMenuHook_ = std::move(hook); }
  void OpenListMenuAt(const QPoint& viewportPosition) { OnListMenu(viewportPosition); }

  // Writes every row of the traffic list, top to bottom, to `path` in
  // `format` (File > "Export list..." after its save dialog), on the list's
  // worker. On failure an error box names the path and the reason.
  void ExportList(const std::string& path, corvane::ExportFormat format);

 public slots:
  // The commands.
  void OnSaveAndClear();
  void OnExportList();
  void OnShowLog();
  // Opens the History view, or brings it to the front.
  void OnHistory();
  void OnDeleteAllLogs();
  void OnOptions();
  // Closes the capture while `paused`, opens it again on the same interface
  // when not; the rows and totals stay.
  void OnPauseCapture(bool paused);
  void OnHelpTopics();
  void OnAbout();
  void OnExit();
  // SIGTERM or SIGINT: the rows are saved and the program ends, asking
  // nothing.
  void OnQuitSignal();
  // The session manager asks for the program's data before logout.
  void OnCommitData();
  void OnShowMainDialog();
  // The one-second tick.
  void OnTick();
  // A click on a column heading.
  void OnSortColumn(int column);

 protected:
  // Every message box of the window goes through here (tests override it).
  virtual QMessageBox::StandardButton ShowMessage(QMessageBox::Icon icon, const QString& caption,
                                                  const QString& text,
                                                  QMessageBox::StandardButtons buttons);
  // Opens a web page or mail link; false with a reason text when it fails.
  virtual bool OpenLink(const QString& url, QString* reason);
  // The "Write us" question at Exit (No is the default); `dontAskAgain`
  // receives the state of its "Don't ask again" box (tests override it).
  virtual QMessageBox::StandardButton AskWriteUs(const QString& text, bool* dontAskAgain);

  void setVisible(bool visible) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void reject() override;
  void accept() override;

 private:
  void BuildControls();
  void BuildMenus();
  void BuildTray();
  void Relayout();
  void ReportError(const QString& text);
  void SetWindowShown(bool shown);
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
  void RestoreLayout();
  void SaveLayout();
  void BuildListCommands();
  void FitColumns();
  // The model rows a list command acts on: the clicked row when it is not
  // marked, else the marked rows the quick filter shows.
  std::vector<int> ChosenRows(int clickedRow) const;
  std::vector<corvane::RowCells> CellsOf(const std::vector<int>& rows) const;
  void CopyRows(const std::vector<corvane::RowCells>& rows);
  void HideHostsOf(const std::vector<corvane::RowCells>& rows, bool ask);
  // Adds hide rules; with `offerUndo` the status line offers to take the
  // rules added out again.
  void AddRules(const std::vector<corvane::FilterRule>& rules, bool offerUndo = false);
  void UndoHide();
  void OnListMenu(const QPoint& position);
  void ApplyQuickFilter();
  void ShowCaptureStatus();
  void ShowStatusNote(const QString& text);
  int QuickFilterMinWidth() const;
  void UseColours(ColourChoice choice);
  QMessageBox::StandardButton AskForFeedback();
  void TellOnceStillRunning();
  // Stops the workers and keeps the layout; the first step of every ending.
  void Finish();
  // Writes the rows to a new traffic log as Save & Clear does; nothing when
  // the list is empty. False when the log could not be written.
  bool SaveRowsToLog();

  MonitorSession& session_;
  const corvane::DataFolders folders_;
  corvane::Monitor* const monitor_;

  // What the capture helper tells goes to the window.
  void UseCaptureHelper();

  std::unique_ptr<ListWorker> listWork_;
  // Ends before the monitor goes.
  std::unique_ptr<ProgramRecording> recording_;

  QMenuBar* menuBar_ = nullptr;
  QWidget* client_ = nullptr;
  CIconButton* buttons_[5] = {};  // Save & Clear, Show log, Delete all logs, Options, Help
  QLabel* buttonTexts_[5] = {};
  QAction* buttonTextAction_ = nullptr;
  QAction* pauseAction_ = nullptr;  // Traffic menu and tray menu
  QTimer statusNoteTimer_;
  QGroupBox* summaryGroup_ = nullptr;
  QLabel* summaryLabel_ = nullptr;
  GraphArea* graph_ = nullptr;
  QTableView* view_ = nullptr;
  TrafficModel* model_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QPointer<HelpWindow> help_;
  QPointer<CHistoryDlg> history_;
  // Tells of programs new on the network through the tray icon.
  NewProgramNotices* notices_ = nullptr;
  // The list by program, beside the rows; hidden until View > Programs.
  ProgramsView* programsView_ = nullptr;
  QAction* programsAction_ = nullptr;
  ProgramIcons* icons_ = nullptr;
  // Usage alerts: the session checks the budgets every tick, the window
  // shows what they say.
  QStringList usageAlertsShown_;
  // Hands the budget to the session; a failure is reported.
  void StartUsageAlerts(corvane::UsageBudget budget);
  void CheckUsage();
  void ReportUsageAlertsFailure(const corvane::Status& failure);
  // Reports, queued, that the watched interface's addresses are not followed.
  void ReportWatchFailure(const corvane::Status& watching);
  void ShowNotice(const QString& title, const QString& text, const QIcon& icon);
  QTimer tick_;

  std::optional<bool> trayOverride_;
  bool trayAvailable_ = false;
  bool initialised_ = false;
  bool exiting_ = false;
  bool windowShown_ = true;
  QLineEdit* quickFilter_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QLabel* undoLabel_ = nullptr;  // "Undo" of the last hide from the context menu
  std::vector<corvane::FilterRule> undoRules_;
  corvane::Monitor::CaptureState captureState_;
  QString attributionText_;  // "attribution: kernel events" once the helper said
  // The session's look-up flag, read by the resolver threads; set by Options.
  const std::shared_ptr<std::atomic<bool>> lookUpNames_;
  QTimer quickFilterTimer_;
  std::function<void(QMenu&)> listMenuHook_;  // tests: act on the menu instead of showing it
  int sortColumn_ = -1;
  corvane::SortDirection sortDirection_ = corvane::SortDirection::kGreatestFirst;
  void SortBy(int column, corvane::SortDirection direction);
  // Distances of the graph, the summary group and its label from the right
  // edge of the client area, as laid out at start.
  int graphRightGap_ = 0;
  int groupRightGap_ = 0;
  int labelRightGap_ = 0;
};

// The start-up of `session` and its `window`, in this order: the session's
// files and history, the window's controls and layout, then capture on the
// watched interface. Runs once, before the window is shown.
void StartUp(MonitorSession& session, CMainDlg& window);
