// The "Logs" dialog: lists the traffic logs beside the program, shows the
// chosen one and sorts it by any column.
//
// Opening lists every "*.log" file; the selector holds "<No logs available>"
// alone, or "<Select a log!>" followed by the logs' display names, sorted
// (the placeholder first). Every change of the selector's selection loads
// afresh: the list empties, and unless a placeholder was chosen, every log
// with that display name is read with each line going to the top (so a log
// shows bottom-up, a later log above an earlier one). Reading and parsing
// run on a worker thread; meanwhile a busy bar shows over the list and the
// window keeps answering, and the rows arrive in one piece through a queued
// call. A newer choice supersedes a load still running. A click on a
// heading sorts by that column, greatest first, with the traffic list's
// comparison. "Export..." writes the shown rows, in their shown order, to a
// CSV or JSON file with the numbers their texts show.
//
// Window thread only; the worker touches nothing but the files and its own
// result. Closing the dialog waits for a load still running.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QIcon>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/row_order.h"
#include "platform/mutex.h"
#include "storage/export_format.h"
#include "storage/traffic_log.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;

// The rows of the shown log, top to bottom.
class LogRowsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit LogRowsModel(QObject* parent = nullptr);

  static QString Heading(int column);
  static int ColumnWidth(int column);
  static Qt::Alignment ColumnAlignment(int column);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Replaces every row in one reset.
  void SetRows(std::vector<corvane::RowCells> rows);
  // Sorts by `column`, greatest first unless told otherwise (equal keys
  // keep their order).
  void SortByColumn(int column,
                    corvane::SortDirection direction = corvane::SortDirection::kGreatestFirst);
  const std::vector<corvane::RowCells>& rows() const { return rows_; }

 private:
  std::vector<corvane::RowCells> rows_;
  QIcon rowIcon_;
  QIcon headerIcons_[3];  // "DL", "UL", "DL & UL"
};

class CLogsDlg : public QDialog {
  Q_OBJECT

 public:
  // `directory` is where the logs lie (the program's directory).
  explicit CLogsDlg(std::string directory, QWidget* parent = nullptr);
  ~CLogsDlg() override;

  // The logs found at opening, in the directory's order.
  const std::vector<corvane::LogChoice>& choices() const { return choices_; }
  bool IsLoading() const { return loading_; }
  // Tests: waits for the loads started so far and delivers their rows.
  void WaitForLoad();

  // --- parts, for tests ---
  QComboBox* logSelector() const { return selector_; }
  QTableView* logView() const { return view_; }
  LogRowsModel* logModel() const { return model_; }
  QProgressBar* progressBar() const { return progress_; }
  QPushButton* okButton() const { return okButton_; }
  QPushButton* exportButton() const { return exportButton_; }

  // Writes the shown rows to `path` in `format` ("Export..." after its save
  // dialog). On failure an error box names the path and the reason; false
  // then.
  bool ExportShownRows(const std::string& path, corvane::ExportFormat format);

 signals:
  // A load finished and its rows are shown.
  void logLoaded();

 public slots:
  void OnSelectionChanged(int index);
  void OnSortColumn(int column);
  void OnExport();

 private:
  int sortColumn_ = -1;
  corvane::SortDirection sortDirection_ = corvane::SortDirection::kGreatestFirst;
  struct Load {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> cancelled;
    std::shared_ptr<std::atomic<bool>> done;  // the thread has nothing left to do
  };

  void StartLoad(const std::string& displayName);
  // Shows the rows the loads have left in the mailbox (window thread).
  void TakeLoaded();
  void OnRowsLoaded(uint64_t generation, std::vector<corvane::RowCells> rows);
  void CancelLoads();
  void JoinFinished();
  void PlaceProgress();
  void FitColumns();

  const std::string directory_;
  std::vector<corvane::LogChoice> choices_;
  std::vector<Load> loads_;
  // A load leaves its rows here and posts a call that carries nothing, so
  // the rows pass between the threads under this lock alone.
  struct Loaded {
    uint64_t generation;
    std::vector<corvane::RowCells> rows;
  };
  corvane::Mutex loadedMutex_;
  std::vector<Loaded> loaded_ GUARDED_BY(loadedMutex_);
  // Only the newest load's rows are shown.
  uint64_t generation_ = 0;
  bool loading_ = false;

  QLabel* selectLabel_ = nullptr;
  QComboBox* selector_ = nullptr;
  QTableView* view_ = nullptr;
  LogRowsModel* model_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* exportButton_ = nullptr;
};
