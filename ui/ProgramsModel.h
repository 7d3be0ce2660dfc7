// The Programs view's model: the traffic list's rows summed per program,
// each program expandable into its remote hosts (engine/program_totals.h).
//
// SetTotals() replaces the numbers at every refresh while programs and hosts
// keep their places, so what the user expanded or selected stays: programs
// and hosts that are gone are removed, new ones are appended. Sorting is the
// proxy's (kSortRole gives numbers and lower-case names). Icons come from
// ProgramIcons, which may answer later; iconsChanged repaints the names.
//
// Window thread only.
#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/program_totals.h"

class ProgramIcons;
class TrafficModel;

class ProgramsModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  enum Column { kColumnName, kColumnDownload, kColumnUpload, kColumnTotal, kColumnRate,
                kColumnHosts, kColumnCount };
  // Numbers for the byte and count columns, lower-case text for the name.
  static constexpr int kSortRole = Qt::UserRole + 1;

  // `icons` may be null (no icons) and must outlive the model.
  explicit ProgramsModel(ProgramIcons* icons, QObject* parent = nullptr);

  void SetTotals(std::vector<corvane::ProgramTotal> totals);
  const std::vector<corvane::ProgramTotal>& Totals() const { return totals_; }

  // What `index` shows: its program, and its host (null on a program's line).
  const corvane::ProgramTotal* ProgramAt(const QModelIndex& index) const;
  const corvane::ProgramHost* HostAt(const QModelIndex& index) const;
  // The line's cells as shown, tab-separated (Copy).
  QString LineText(const QModelIndex& index) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  // A program's line has internal id 0; a host's line the id of its program.
  int RowOfProgramId(quintptr id) const;
  void UpdateHosts(int programRow, std::vector<corvane::ProgramHost>&& hosts);
  QVariant Cell(const corvane::ProgramTotal& program, const corvane::ProgramHost* host, int column,
                int role) const;

  ProgramIcons* icons_;
  std::vector<corvane::ProgramTotal> totals_;
  std::vector<quintptr> ids_;  // by program row, never 0
  quintptr nextId_ = 1;
};

// The rows of `list` that the quick filter `needle` shows, summed per
// program: what the Programs view displays. The one place that reads the
// list model for it.
std::vector<corvane::ProgramTotal> ProgramTotalsOf(const TrafficModel& list, const QString& needle);
