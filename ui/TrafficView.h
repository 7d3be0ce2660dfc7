// The traffic list's view, with the activity marks drawn from the model.
//
// A row's mark is its flag in TrafficModel (kMarkRole), set by the core's
// records and by the user. Nothing is kept in Qt's own item selection:
// MarkSelectionModel takes the selection commands the view issues for clicks,
// shift-clicks, ctrl-clicks, drags, Ctrl+A and keyboard moves and turns them
// into changes of the model's flags, and MarkDelegate paints a row the user
// marked as a selected one and a row marked for new activity with a tint of
// the selection colour, so the two never look alike. So the marks look and behave like a selection, while a
// batch of core records costs one repaint instead of the upkeep of
// thousands of selection ranges. The current index is Qt's as usual.
//
// Window thread only. QItemSelectionModel's non-virtual queries
// (isSelected(), selectedRows(), hasSelection()) see no selection: ask the
// model (IsSelected(), MarkedRows()) instead.
#pragma once

#include <QItemSelectionModel>
#include <QStyledItemDelegate>
#include <QTableView>
#include <vector>

#include "ui/TrafficModel.h"

class MarkSelectionModel : public QItemSelectionModel {
  Q_OBJECT

 public:
  explicit MarkSelectionModel(TrafficModel* model, QObject* parent = nullptr);

  // Whole rows are marked whatever the command's columns. Current commands
  // (shift-click ranges, drags) replace the previous command's rows, as Qt's
  // selection does; any other command makes them final.
  void select(const QModelIndex& index, QItemSelectionModel::SelectionFlags command) override;
  void select(const QItemSelection& selection,
              QItemSelectionModel::SelectionFlags command) override;
  // Clears every mark and the current index.
  void clear() override;

 signals:
  // The rows whose mark the user's command changed, top to bottom, each
  // once, with its new flag. Emitted after the model has the new flags.
  void marksChangedByUser(const std::vector<TrafficModel::MarkChange>& changes);

 private:
  TrafficModel* marks_;
};

class MarkDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  // A row the user marked is drawn selected, one marked for activity tinted,
  // an unmarked one plain.
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

class TrafficView : public QTableView {
  Q_OBJECT

 public:
  // Shows `model` with full-row, extended marking.
  explicit TrafficView(TrafficModel* model, QWidget* parent = nullptr);

  MarkSelectionModel* marks() const { return marks_; }

 protected:
  // A ctrl-click flips the clicked row's mark; Qt would decide from its own
  // selection, which is always empty here.
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                       const QEvent* event) const override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  MarkSelectionModel* marks_ = nullptr;
  // Select or Deselect: what a ctrl-drag does to the rows it passes, fixed by
  // the row the drag began on.
  mutable QItemSelectionModel::SelectionFlags ctrlDragCommand_ = QItemSelectionModel::NoUpdate;
};
