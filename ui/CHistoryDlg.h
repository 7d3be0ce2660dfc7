// The History view: the traffic history of the last 30 days (per day) or
// the last 12 months (per month) as stacked bars of bytes per application,
// the eight largest applications on their own and the rest as "Other",
// with a table of the applications below; choosing an application shows
// the remote hosts it talked to in that time, and Back returns.
//
// Non-modal, window thread. Every read of the history runs on a reading
// thread of its own, which the dialog owns, with its own read-only
// connection, so the window never waits for the disk; a reader gets copies
// of what it reads and leaves its answer in a mailbox the window thread
// takes it from, and a newer request supersedes an older one. Closing the
// dialog drops the answers still to come and joins the readers (a read
// takes as long as one query of the history). A history that does not
// exist yet is an empty one ("No traffic recorded yet"); one that cannot be
// read shows the reason below the table.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QIcon>
#include <QList>
#include <QPointer>
#include <condition_variable>
#include <memory>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "storage/history_store.h"

class ProgramIcons;
class QChart;
class QChartView;
class QLabel;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTableView;

// The rows of the History table: an application or a remote host with its
// sent, received and total bytes, shown as the traffic list shows counts
// and exactly in a tooltip.
class HistoryTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kColumnName, kColumnSent, kColumnReceived, kColumnTotal, kColumnCount };
  struct Row {
    QString key;    // the application's key, or the host
    QString label;  // what the first column shows
    uint64_t sentBytes = 0;
    uint64_t receivedBytes = 0;
    bool program = false;  // an application's row, shown with its icon
  };

  using QAbstractTableModel::QAbstractTableModel;
  // Where the programs' rows take their icons (by their label); none by default.
  void SetIconSource(std::function<QIcon(const QString& label)> iconOf) { iconOf_ = std::move(iconOf); }
  // The rows, in the order last asked for (largest total first at the
  // start), under the first heading `nameHeading`.
  void SetRows(std::vector<Row> rows, QString nameHeading);
  const Row& RowAt(int row) const { return rows_[static_cast<size_t>(row)]; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  void sort(int column, Qt::SortOrder order) override;

 private:
  void SortRows();

  std::vector<Row> rows_;
  std::function<QIcon(const QString&)> iconOf_;
  QString nameHeading_;
  int sortColumn_ = kColumnTotal;
  Qt::SortOrder sortOrder_ = Qt::DescendingOrder;
};

// What one read of the history brought back.
struct HistoryData {
  uint64_t generation = 0;
  corvane::HistoryStatus status;  // ok also when there is no history file yet
  QString app;                    // the application whose hosts were read; empty for the overview
  std::vector<corvane::HistoryPeriodTotal> periods;  // the overview
  std::vector<corvane::HistoryTotal> hosts;          // an application's hosts
};

class CHistoryDlg : public QDialog {
  Q_OBJECT

 public:
  enum class Span { kDays, kMonths };
  static constexpr int kDaysShown = 30;
  static constexpr int kMonthsShown = 12;
  static constexpr int kApplicationsCharted = 8;

  // The history database at `historyPath`; `clock` (which must outlive the
  // dialog) tells which days are the last ones.
  CHistoryDlg(std::string historyPath, const corvane::Clock& clock, QWidget* parent = nullptr);
  ~CHistoryDlg() override;

  // The application a process key names in the view: an executable path by
  // its file name, a sandbox or a protocol label as it is.
  static QString ApplicationLabel(const QString& key);

  // The programs' rows show their icons from `icons`, which must outlive
  // the dialog.
  void SetProgramIcons(ProgramIcons* icons);

  // --- parts and steps, for tests ---
  void SetSpan(Span span);
  // Shows the hosts of the application in table row `row` (the overview's).
  void ShowHostsOf(int row);
  void ShowApplications();
  // Waits until the reads in flight have answered and shows their results.
  void WaitForLoad();
  HistoryTableModel* tableModel() const { return model_; }
  QTableView* tableView() const { return table_; }
  QChart* chart() const { return chart_; }
  QLabel* emptyLabel() const { return emptyLabel_; }
  QLabel* statusLabel() const { return statusLabel_; }
  QLabel* captionLabel() const { return caption_; }
  QPushButton* backButton() const { return back_; }
  bool showingChart() const;
  // The application whose hosts are shown; empty in the overview.
  const QString& drilledApp() const { return app_; }

 public slots:
  void Refresh();

 protected:
  // A new palette (a dark theme) redraws the chart in its colours.
  void changeEvent(QEvent* event) override;

 private:
  void StartLoad(const QString& app);
  void OnLoaded(const HistoryData& data);
  void ShowOverview(const std::vector<corvane::HistoryPeriodTotal>& periods);
  void ShowHosts(const std::vector<corvane::HistoryTotal>& hosts);
  void UpdateCaption();
  // [since, until) and the period keys of the span, oldest first.
  void SpanRange(int64_t& since, int64_t& until, QStringList& periods) const;

  const std::string path_;
  const corvane::Clock& clock_;
  Span span_ = Span::kDays;
  QString app_;       // drilled into; empty in the overview
  QString appLabel_;  // its label
  // The number of the newest request for the overview and for the hosts;
  // an answer of an older one is stale.
  uint64_t generation_ = 0;
  uint64_t overviewGeneration_ = 0;
  uint64_t hostsGeneration_ = 0;
  // Where the reading threads leave their answers. A dialog that closes
  // unhooks itself before it joins the readers.
  struct LoadMailbox {
    corvane::Mutex mutex;
    std::condition_variable_any answered;
    CHistoryDlg* dialog GUARDED_BY(mutex) = nullptr;
    std::vector<HistoryData> answers GUARDED_BY(mutex);
    int running GUARDED_BY(mutex) = 0;
    // The requests whose readers have returned, not yet joined.
    std::vector<uint64_t> ended GUARDED_BY(mutex);
  };
  std::shared_ptr<LoadMailbox> mailbox_;
  // The reading threads by request number (window thread).
  std::vector<std::pair<uint64_t, std::thread>> readers_;
  // Shows the answers the mailbox holds (window thread).
  void TakeAnswers();
  // Joins the readers that have returned (window thread).
  void JoinEndedReaders();

  QRadioButton* daysButton_ = nullptr;
  QRadioButton* monthsButton_ = nullptr;
  QPushButton* refresh_ = nullptr;
  QStackedWidget* chartPages_ = nullptr;
  QLabel* emptyLabel_ = nullptr;
  QChartView* chartView_ = nullptr;
  QChart* chart_ = nullptr;
  QLabel* caption_ = nullptr;
  QPushButton* back_ = nullptr;
  QTableView* table_ = nullptr;
  HistoryTableModel* model_ = nullptr;
  QLabel* statusLabel_ = nullptr;
};
