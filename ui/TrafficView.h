// The traffic list's view: the user's chosen rows and the activity tint,
// both drawn from the model, and the pointer's hold on the rows' places.
//
// Two flags of TrafficModel: kChosenRole (the user's choice) and
// kActivityRole (the core's mark of recent traffic). Nothing is kept in Qt's
// own item selection: MarkSelectionModel takes the selection commands the
// view issues for clicks, shift-clicks, ctrl-clicks, drags, Ctrl+A and
// keyboard moves and turns them into changes of the chosen flags, and
// MarkDelegate paints a chosen row as a selected one and a row with recent
// activity with a tint of the selection colour, so the two never look alike
// and never mix: commands act on chosen rows only. The current index is
// Qt's as usual.
//
// While the pointer is over the rows the view holds the model's positions
// (TrafficModel::HoldPositions), so no row moves under it.
//
// Window thread only. QItemSelectionModel's non-virtual queries
// (isSelected(), selectedRows(), hasSelection()) see no selection: ask the
// model (IsChosen(), ChosenRows()) instead.
#pragma once

#include <QItemSelectionModel>
#include <QPointer>
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
  // A chosen row is drawn selected, one with recent activity tinted, any
  // other plain.
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

class TrafficView : public QTableView {
  Q_OBJECT

 public:
  // Shows `model` with full-row, extended marking.
  explicit TrafficView(TrafficModel* model, QWidget* parent = nullptr);
  ~TrafficView() override;

  MarkSelectionModel* marks() const { return marks_; }
  // The pointer came onto the rows or left them (also from Enter and Leave
  // events of the viewport).
  void SetPointerOnList(bool on);

 protected:
  bool viewportEvent(QEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  // A ctrl-click flips the clicked row's mark; Qt would decide from its own
  // selection, which is always empty here.
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                       const QEvent* event) const override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  QPointer<TrafficModel> model_;
  MarkSelectionModel* marks_ = nullptr;
  bool pointerOn_ = false;
  // Select or Deselect: what a ctrl-drag does to the rows it passes, fixed by
  // the row the drag began on.
  mutable QItemSelectionModel::SelectionFlags ctrlDragCommand_ = QItemSelectionModel::NoUpdate;
};
