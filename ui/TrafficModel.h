// The window's copy of the traffic list, for the QTableView.
//
// The core's TrafficList is changed by worker threads under listMutex; each
// change also yields a ListChange record. ChangeSink() gives the function to
// install with TrafficList::SetChangeSink: it may be called on any thread,
// queues the records and posts one call to the window thread, which applies
// every queued record in order. The window thread therefore never waits for
// a worker's hold of listMutex, and the model only ever shows states the
// core list really had.
//
// The model also keeps each row's selected flag (the activity mark). After a
// batch that changed flags it emits selectionFlagsChanged(); the window then
// makes the view's selection match (SelectedRanges()).
//
// Rows are stored bottom-up like the core list, so a new row at the top
// costs O(1).
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QItemSelection>
#include <mutex>
#include <vector>

#include "engine/traffic_list.h"

class TrafficModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit TrafficModel(QObject* parent = nullptr);

  // The column headings, widths (pixels) and alignments of the list.
  static QString Heading(int column);
  static int ColumnWidth(int column);
  static Qt::Alignment ColumnAlignment(int column);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Thread-safe. To be installed with TrafficList::SetChangeSink.
  corvane::TrafficList::ChangeSink ChangeSink();

  // Window thread: applies every queued record now (also done by the posted
  // call).
  void ApplyPending();
  // Window thread: applies `changes` in order.
  void Apply(std::vector<corvane::ListChange>&& changes);

  const corvane::RowCells& Cells(int row) const { return rows_[SlotOf(row)].cells; }
  bool IsSelected(int row) const { return rows_[SlotOf(row)].selected; }
  // The user changed the view's selection: the model keeps the flag the
  // core will be given.
  void SetSelectedFlag(int row, bool selected) { rows_[SlotOf(row)].selected = selected; }
  // Contiguous runs of selected rows, all columns.
  QItemSelection SelectedRanges() const;

  // The core list's row that model row `row` is now, taking the records not
  // yet applied into account; -1 when that row is gone. The caller holds a
  // TrafficList::Lock, so no record can be added meanwhile.
  int CoreRowOf(int row) const;

 signals:
  void selectionFlagsChanged();

 private:
  struct Row {
    corvane::RowCells cells;
    bool selected = false;
  };

  size_t SlotOf(int row) const { return rows_.size() - 1 - static_cast<size_t>(row); }
  void ApplyOne(corvane::ListChange& change, bool& flagsChanged);
  void ApplyReorder(const std::vector<int>& order);

  std::vector<Row> rows_;  // window thread only; bottom to top
  QIcon rowIcon_;
  QIcon headerIcons_[3];

  mutable std::mutex pendingMutex_;
  std::vector<corvane::ListChange> pending_;  // GUARDED_BY(pendingMutex_)
  bool posted_ = false;                       // GUARDED_BY(pendingMutex_)
};
