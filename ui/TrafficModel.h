// The window's copy of the traffic list, for the QTableView.
//
// The core's TrafficList is changed by worker threads under listMutex; each
// change also yields a ListChange record. ChangeSink() gives the function to
// install with TrafficList::SetChangeSink: it may be called on any thread,
// queues the records and posts one call to the window thread, which applies
// every queued record in order, at most once per kDrainIntervalMs: every
// drain repaints the visible rows, and laying out their texts is most of the
// window's cost while records stream in. The window thread therefore never
// waits for a worker's hold of listMutex, and the model only ever shows
// states the core list really had.
//
// The model also keeps each row's selected flag (the activity mark), shown
// through kMarkRole. The view does not hold the marks in Qt's item
// selection: keeping tens of thousands of selection ranges current while rows
// enter at the top cost most of a core. A batch of records that changed marks
// ends with one dataChanged() over the rows it touched. The user's commands
// reach the flags through MarkSelectionModel (TrafficView.h), which uses the
// Mark*/Unmark*/Provisional operations below; each appends the rows whose flag
// it changed, so the window can hand them to the core list.
//
// Rows are stored bottom-up like the core list, so a new row at the top
// costs O(1).
#pragma once

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <array>
#include <cstdint>
#include <vector>

#include "engine/traffic_list.h"
#include "platform/mutex.h"

class TrafficModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // data() gives a row's mark as a bool for this role, any column.
  static constexpr int kMarkRole = Qt::UserRole + 1;
  // ... and for this one whether the user's own command marked it (a mark
  // the core set for new activity is drawn differently from a selection).
  static constexpr int kUserMarkRole = Qt::UserRole + 2;

  // The shortest time between two drains of the queued records.
  static constexpr int kDrainIntervalMs = 40;
  // The live speed column after the list's own columns: each row's bytes per
  // second over the last kSpeedSeconds ticks. It exists only in the window.
  static constexpr int kColumnSpeed = corvane::kColumnCount;
  static constexpr int kSpeedSeconds = 3;

  explicit TrafficModel(QObject* parent = nullptr);

  // The column headings, widths (pixels) and alignments of the list.
  static QString Heading(int column);
  static int ColumnWidth(int column);
  // Wide enough for a full IPv6 address in the application font.
  static int RemoteIpWidth();
  static Qt::Alignment ColumnAlignment(int column);
  // What a list of these columns shows for `role` in a cell holding `text`,
  // and in the heading of `column`; shared with the Logs dialog's list.
  static QVariant CellData(const std::string& text, int column, int role, const QIcon& rowIcon);
  static QVariant HeadingData(int column, int role, const QIcon (&headerIcons)[3]);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Thread-safe. To be installed with TrafficList::SetChangeSink.
  corvane::TrafficList::ChangeSink ChangeSink();

  // Window thread: applies every queued record now (also done by the posted
  // call, or by a timer when the last drain was less than kDrainIntervalMs
  // ago).
  void ApplyPending();
  // Window thread: applies `changes` in order.
  void Apply(std::vector<corvane::ListChange>&& changes);

  const corvane::RowCells& Cells(int row) const { return rows_[SlotOf(row)].cells; }
  // The flow row `row` shows, by which the window's commands name it.
  const corvane::RowKey& Key(int row) const { return rows_[SlotOf(row)].key; }
  // Bytes per second of `row` over the last kSpeedSeconds ticks.
  uint64_t Speed(int row) const { return rows_[SlotOf(row)].speed; }
  // Window thread, once a second: every row's speed moves on one tick.
  void TickSpeeds();
  bool IsSelected(int row) const { return rows_[SlotOf(row)].selected; }
  // The marked rows, top to bottom (what the user sees as selected).
  std::vector<int> MarkedRows() const;

  // --- the user's marking commands (window thread) ---
  // A row whose flag a command changed, with its new flag.
  struct MarkChange {
    int row;
    bool marked;
  };
  enum class MarkOp { Set, Clear, Toggle };
  // Clears every mark; nothing stays provisional.
  void UnmarkAll(std::vector<MarkChange>& changed);
  // Sets, clears or flips the marks of rows [top, bottom]. The rows are
  // provisional until CommitProvisional(): RevertProvisional() gives them
  // back the flag they had before (a shift-click range that the next
  // shift-click replaces). A core record for a row ends its provisional
  // state: the core's flag is kept.
  void MarkRows(int top, int bottom, MarkOp op, std::vector<MarkChange>& changed);
  void RevertProvisional(std::vector<MarkChange>& changed);
  void CommitProvisional();
  // Repaints the rows of `changed` (one dataChanged over their span).
  void NotifyMarksChanged(const std::vector<MarkChange>& changed);

 private:
  struct Row {
    corvane::RowCells cells;
    corvane::RowKey key;
    bool selected = false;
    // The flag before the provisional command that changed it; -1 when the
    // row is not provisional.
    int8_t prior = -1;
    bool byUser = false;  // marked by the user's command, not by activity
    uint64_t bytes = 0;  // both directions, as the core last said
    uint64_t speed = 0;
    std::array<uint64_t, kSpeedSeconds> history{};  // bytes at the last ticks
  };
  // Rows touched by a batch of core records, kept in current row numbers
  // while rows come and go, so one dataChanged() covers them.
  struct MarkSpan {
    int top = 0;
    int bottom = -1;
    bool Empty() const { return bottom < top; }
    void Add(int row);
    void Inserted(int row);
    void Removed(int row);
  };

  size_t SlotOf(int row) const { return rows_.size() - 1 - static_cast<size_t>(row); }
  void ScheduleDrain();
  void ApplyOne(corvane::ListChange& change, MarkSpan& marks);
  void DropPrior(Row& row);
  void ApplyReorder(const std::vector<int>& order);

  std::vector<Row> rows_;  // window thread only; bottom to top
  size_t provisionalCount_ = 0;  // rows with prior >= 0
  size_t speedTick_ = 0;          // which history slot the next tick writes
  QElapsedTimer lastDrain_;  // window thread only
  QTimer drainTimer_;         // single shot
  QIcon rowIcon_;
  QIcon headerIcons_[3];

  mutable corvane::Mutex pendingMutex_;
  std::vector<corvane::ListChange> pending_ GUARDED_BY(pendingMutex_);
  bool posted_ GUARDED_BY(pendingMutex_) = false;
};
