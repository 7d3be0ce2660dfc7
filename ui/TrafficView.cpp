#include "ui/TrafficView.h"

#include <QMouseEvent>
#include <algorithm>

using MarkChange = TrafficModel::MarkChange;

namespace {

// A row may change more than once in one command (a provisional range given
// back, then marked again); the core needs only the rows that end up
// different, once each.
std::vector<MarkChange> NetChanges(std::vector<MarkChange> changes, const TrafficModel& model) {
  std::stable_sort(changes.begin(), changes.end(),
                   [](const MarkChange& a, const MarkChange& b) { return a.row < b.row; });
  std::vector<MarkChange> net;
  for (size_t i = 0; i < changes.size();) {
    const int row = changes[i].row;
    const bool before = !changes[i].marked;
    while (i < changes.size() && changes[i].row == row) ++i;
    const bool after = model.IsChosen(row);
    if (after != before) net.push_back({row, after});
  }
  return net;
}

}  // namespace

MarkSelectionModel::MarkSelectionModel(TrafficModel* model, QObject* parent)
    : QItemSelectionModel(model, parent), marks_(model) {}

void MarkSelectionModel::select(const QModelIndex& index,
                                QItemSelectionModel::SelectionFlags command) {
  select(QItemSelection(index, index), command);
}

void MarkSelectionModel::select(const QItemSelection& selection,
                                QItemSelectionModel::SelectionFlags command) {
  if (command == NoUpdate) return;
  std::vector<MarkChange> changes;
  if (command & Clear) marks_->UnmarkAll(changes);
  if (command & Current) {
    marks_->RevertProvisional(changes);
  } else {
    marks_->CommitProvisional();
  }
  if (command & (Select | Deselect | Toggle)) {
    const TrafficModel::MarkOp op = command & Toggle     ? TrafficModel::MarkOp::Toggle
                                    : command & Deselect ? TrafficModel::MarkOp::Clear
                                                         : TrafficModel::MarkOp::Set;
    for (const QItemSelectionRange& range : selection) {
      if (!range.isValid() || range.model() != marks_) continue;
      marks_->MarkRows(range.top(), range.bottom(), op, changes);
    }
  }
  if (changes.empty()) return;
  std::vector<MarkChange> net = NetChanges(std::move(changes), *marks_);
  if (net.empty()) return;
  marks_->NotifyMarksChanged(net);
  emit marksChangedByUser(net);
}

void MarkSelectionModel::clear() {
  select(QItemSelection(), Clear);
  clearCurrentIndex();
}

void MarkDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  const bool chosen = index.data(TrafficModel::kChosenRole).toBool();
  const bool active = index.data(TrafficModel::kActivityRole).toBool();
  option->state.setFlag(QStyle::State_Selected, chosen);
  if (active && !chosen) {
    // New activity: a tint of the selection colour behind the usual text,
    // so that it never looks like the user's own selection.
    const QColor base = option->palette.color(QPalette::Base);
    const QColor tint = option->palette.color(QPalette::Active, QPalette::Highlight);
    option->backgroundBrush = QColor::fromRgbF(base.redF() * 0.7f + tint.redF() * 0.3f,
                                               base.greenF() * 0.7f + tint.greenF() * 0.3f,
                                               base.blueF() * 0.7f + tint.blueF() * 0.3f);
  }
}

TrafficView::TrafficView(TrafficModel* model, QWidget* parent)
    : QTableView(parent), model_(model) {
  setModel(model);
  // The view made a selection model of its own; it would only follow the
  // model's rows for nothing.
  QItemSelectionModel* own = selectionModel();
  marks_ = new MarkSelectionModel(model, this);
  setSelectionModel(marks_);
  delete own;
  setItemDelegate(new MarkDelegate(this));
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
}

TrafficView::~TrafficView() { SetPointerOnList(false); }

void TrafficView::SetPointerOnList(bool on) {
  if (on == pointerOn_ || !model_) return;
  pointerOn_ = on;
  if (on) {
    model_->HoldPositions();
  } else {
    model_->ReleasePositions();
  }
}

bool TrafficView::viewportEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::Enter: SetPointerOnList(true); break;
    case QEvent::Leave: SetPointerOnList(false); break;
    default: break;
  }
  return QTableView::viewportEvent(event);
}

void TrafficView::hideEvent(QHideEvent* event) {
  // A hidden list gets no Leave.
  SetPointerOnList(false);
  QTableView::hideEvent(event);
}

void TrafficView::mousePressEvent(QMouseEvent* event) {
  ctrlDragCommand_ = QItemSelectionModel::NoUpdate;
  QTableView::mousePressEvent(event);
}

QItemSelectionModel::SelectionFlags TrafficView::selectionCommand(const QModelIndex& index,
                                                                  const QEvent* event) const {
  QItemSelectionModel::SelectionFlags command = QTableView::selectionCommand(index, event);
  if (!event || !(command & QItemSelectionModel::Toggle)) return command;
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      ctrlDragCommand_ = index.data(TrafficModel::kChosenRole).toBool()
                             ? QItemSelectionModel::Deselect
                             : QItemSelectionModel::Select;
      return (command & ~QItemSelectionModel::Toggle) | ctrlDragCommand_;
    case QEvent::MouseMove:
      if (ctrlDragCommand_ == QItemSelectionModel::NoUpdate) return command;
      return (command & ~QItemSelectionModel::Toggle) | ctrlDragCommand_;
    default:
      return command;  // Ctrl+Space and the like: the model flips the flag
  }
}
