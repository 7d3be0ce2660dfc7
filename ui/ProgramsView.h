// The Programs view: the list's traffic per program, each program
// expandable into its remote hosts, sortable by any column both ways (a
// heading click turns the order round), with Copy and a context menu of its
// own. And the delegate that puts a program's icon beside the "Local
// source" of the rows.
//
// The window refreshes the view from the list model (Refresh) once a
// second and when the quick filter changes; the view never reads the core.
// Window thread only.
#pragma once

#include <QSortFilterProxyModel>
#include <QTreeView>
#include <functional>
#include <vector>

#include "ui/ProgramsModel.h"
#include "ui/TrafficView.h"

class ProgramIcons;
class ProgramRecording;
class QMenu;

class ProgramsView : public QTreeView {
  Q_OBJECT

 public:
  ProgramsView(ProgramIcons* icons, QWidget* parent = nullptr);

  ProgramsModel* programs() const { return model_; }
  // Sums `list`'s rows that `needle` shows.
  void Refresh(const TrafficModel& list, const QString& needle);
  // The selected lines (or the current one), as Copy puts them on the
  // clipboard: one tab-separated line each, in view order.
  QString SelectedText() const;
  // Copies SelectedText() to the clipboard (the window's Copy while the
  // view shows).
  void CopySelection();
  // Tests: the context menu goes to `hook` instead of the screen.
  void SetMenuHook(std::function<void(QMenu&)> hook) { menuHook_ = std::move(hook); }
  void OpenMenuAt(const QPoint& viewportPosition) { OnMenu(viewportPosition); }
  // The window's recording, whose entry the menu shows (none: no entry).
  void SetRecording(const ProgramRecording* recording) { recording_ = recording; }

 signals:
  // "Hide this program" / "Hide this host" on a line whose rows look like
  // `cells` (a row of the program or of the host).
  void hideProgram(const corvane::RowCells& cells);
  void hideHost(const corvane::RowCells& cells);
  // The recording entry on a line of `program` ("firefox").
  void recordProgram(const std::string& program);

 private:
  void OnMenu(const QPoint& position);
  std::vector<QModelIndex> SelectedLines() const;  // source indexes, column 0

  ProgramsModel* model_;
  QSortFilterProxyModel* proxy_;
  std::function<void(QMenu&)> menuHook_;
  const ProgramRecording* recording_ = nullptr;
};

// Draws the rows of the list as MarkDelegate does, with the icon of the
// row's program beside its "Local source".
class ProgramIconDelegate : public MarkDelegate {
  Q_OBJECT

 public:
  ProgramIconDelegate(ProgramIcons* icons, QObject* parent = nullptr);

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

 private:
  ProgramIcons* icons_;
};
