// The window's copy of the traffic list, for the QTableView.
//
// The core's TrafficList is changed by worker threads under listMutex; each
// change also yields a ListChange record naming its row by id. ChangeSink()
// gives the function to install with TrafficList::SetChangeSink: it may be
// called on any thread, queues the records and posts one call to the window
// thread, which applies every queued record in order, at most once per
// kDrainIntervalMs: every drain repaints the visible rows, and laying out
// their texts is most of the window's cost while records stream in. The
// window thread therefore never waits for a worker's hold of listMutex.
//
// The model keeps its rows by id, with the numbers the core sent (bytes,
// times) and the texts that are no numbers; it makes the shown texts itself
// when a cell is drawn. It keeps its own order: new rows go to the top, or
// to their place by the column the user last sorted by, and a sort orders
// the model's rows by the same comparison as the core's (row_order.h).
// While positions are held (the pointer rests on the list, a context menu
// is open) no row moves under the pointer: new rows wait at the bottom and
// move to their place when the hold ends.
//
// Two flags per row, never mixed: the activity tint (the core's mark of
// recent traffic, kActivityRole) and the user's choice (kChosenRole), which
// only the user's commands change, through MarkSelectionModel
// (TrafficView.h) and the Mark*/Unmark*/Provisional operations below. Every
// command acts on the chosen rows. A batch of records ends with one
// dataChanged() over the rows, which the view turns into one repaint of
// what is visible.
#pragma once

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <array>
#include <cstdint>
#include <vector>

#include "engine/row_order.h"
#include "engine/traffic_list.h"
#include "platform/mutex.h"

class TrafficModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // data() gives, as a bool for any column, whether the row had recent
  // activity (drawn as a tint) ...
  static constexpr int kActivityRole = Qt::UserRole + 1;
  // ... and whether the user chose it (drawn selected).
  static constexpr int kChosenRole = Qt::UserRole + 2;

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

  // The texts `row` shows, made from its numbers.
  corvane::RowCells Cells(int row) const;
  // The flow row `row` shows, by which the window's commands name it.
  const corvane::RowKey& Key(int row) const { return RowAt(row).key; }
  const corvane::RowValues& Values(int row) const { return RowAt(row).values; }
  // The core's id of `row`, and the row of an id (-1 when none).
  uint32_t Id(int row) const { return order_[SlotOf(row)]; }
  int RowOfId(uint32_t id) const;
  // Bytes per second of `row` over the last kSpeedSeconds ticks.
  uint64_t Speed(int row) const { return RowAt(row).speed; }
  // Window thread, once a second: every row's speed moves on one tick.
  void TickSpeeds();
  bool IsActive(int row) const { return RowAt(row).active; }
  bool IsChosen(int row) const { return RowAt(row).chosen; }
  // The chosen rows, top to bottom.
  std::vector<int> ChosenRows() const;

  // --- order (window thread) ---
  // Orders the rows by `column` now; new rows are placed by it from now
  // on. A column out of range gives back the order of arrival (new rows on
  // top).
  void SortBy(int column, corvane::SortDirection direction);
  // While held (counted: every Hold needs its Release) no row moves: new
  // rows are put at the bottom; the last Release moves them to their place.
  void HoldPositions();
  void ReleasePositions();
  bool PositionsHeld() const { return holds_ > 0; }

  // --- the user's choosing commands (window thread) ---
  // A row whose flag a command changed, with its new flag.
  struct MarkChange {
    int row;
    bool marked;
  };
  enum class MarkOp { Set, Clear, Toggle };
  // Unchooses every row; nothing stays provisional.
  void UnmarkAll(std::vector<MarkChange>& changed);
  // Sets, clears or flips the choice of rows [top, bottom]. The rows are
  // provisional until CommitProvisional(): RevertProvisional() gives them
  // back the flag they had before (a shift-click range that the next
  // shift-click replaces).
  void MarkRows(int top, int bottom, MarkOp op, std::vector<MarkChange>& changed);
  void RevertProvisional(std::vector<MarkChange>& changed);
  void CommitProvisional();
  // Repaints the rows of `changed` (one dataChanged over their span).
  void NotifyMarksChanged(const std::vector<MarkChange>& changed);

 private:
  struct Row {
    bool live = false;
    bool active = false;  // the core's mark of recent activity
    bool chosen = false;  // the user's choice
    // The choice before the provisional command that changed it; -1 when
    // the row is not provisional.
    int8_t prior = -1;
    corvane::RowKey key;
    corvane::RowTexts texts;
    corvane::RowValues values;
    uint64_t speed = 0;
    std::array<uint64_t, kSpeedSeconds> history{};  // bytes at the last ticks
  };

  // Rows are kept bottom-up in order_, so a new row at the top costs O(1).
  size_t SlotOf(int row) const { return order_.size() - 1 - static_cast<size_t>(row); }
  const Row& RowAt(int row) const { return rows_[order_[SlotOf(row)]]; }
  Row& RowAt(int row) { return rows_[order_[SlotOf(row)]]; }
  // True when row `a` goes above row `b` in the current sort.
  bool Above(const Row& a, const Row& b) const;
  // Where a new row goes by the current sort, among the rows shown.
  int PlaceOf(const Row& row) const;
  void InsertAt(int row, uint32_t id);
  void ScheduleDrain();
  // True when the change touched a row's shown data.
  bool ApplyOne(corvane::ListChange& change);
  void DropPrior(Row& row);
  // Puts the rows into `topToBottom` (ids), moving the persistent indexes.
  void SetOrder(const std::vector<uint32_t>& topToBottom);

  std::vector<Row> rows_;         // by id; window thread only
  std::vector<uint32_t> order_;   // ids of the rows shown, bottom to top
  mutable std::vector<uint32_t> slotOfId_;  // by id, valid unless slotsStale_
  mutable bool slotsStale_ = false;
  int sortColumn_ = -1;
  corvane::SortDirection sortDirection_ = corvane::SortDirection::kGreatestFirst;
  int holds_ = 0;
  std::vector<uint32_t> heldIds_;  // rows put at the bottom while held
  size_t provisionalCount_ = 0;    // rows with prior >= 0
  size_t speedTick_ = 0;           // which history slot the next tick writes
  QElapsedTimer lastDrain_;  // window thread only
  QTimer drainTimer_;         // single shot
  QIcon rowIcon_;
  QIcon headerIcons_[3];

  mutable corvane::Mutex pendingMutex_;
  std::vector<corvane::ListChange> pending_ GUARDED_BY(pendingMutex_);
  bool posted_ GUARDED_BY(pendingMutex_) = false;
};
