#include "ui/ProgramsModel.h"

#include <QIcon>
#include <algorithm>
#include <optional>

#include "ui/ProgramIcons.h"
#include "ui/TrafficModel.h"
#include "ui/list_actions.h"
#include "vocabulary/text_format.h"

namespace {

std::string_view HostKey(const corvane::ProgramHost& host) {
  return host.remoteIp.empty() ? std::string_view(host.remoteHost) : std::string_view(host.remoteIp);
}

QString Bytes(uint64_t bytes) { return QString::fromStdString(corvane::FormatByteCount(bytes)); }

}  // namespace

std::vector<corvane::ProgramTotal> ProgramTotalsOf(const TrafficModel& list, const QString& needle) {
  const QString trimmed = needle.trimmed();
  // The texts the quick filter matches and the view names, kept for the
  // sum (rows point into them: no reallocation after the reserve).
  std::vector<corvane::RowCells> cells;
  cells.reserve(static_cast<size_t>(list.rowCount()));
  std::vector<corvane::ProgramRow> rows;
  rows.reserve(static_cast<size_t>(list.rowCount()));
  for (int row = 0; row < list.rowCount(); ++row) {
    corvane::RowCells texts = list.Cells(row);
    if (!RowMatchesQuickFilter(texts, trimmed)) continue;
    const corvane::RowValues& values = list.Values(row);
    rows.push_back({&cells.emplace_back(std::move(texts)), values.downloadBytes, values.uploadBytes,
                    list.Speed(row)});
  }
  return corvane::TotalsByProgram(rows);
}

ProgramsModel::ProgramsModel(ProgramIcons* icons, QObject* parent)
    : QAbstractItemModel(parent), icons_(icons) {
  if (icons_) {
    connect(icons_, &ProgramIcons::iconsChanged, this, [this] {
      if (!totals_.empty()) {
        emit dataChanged(index(0, kColumnName), index(rowCount() - 1, kColumnName),
                         {Qt::DecorationRole});
      }
    });
  }
}

void ProgramsModel::SetTotals(std::vector<corvane::ProgramTotal> totals) {
  std::unordered_map<std::string_view, size_t> incoming;
  for (size_t i = 0; i < totals.size(); ++i) incoming.emplace(totals[i].program, i);
  // Programs no longer there go, from the bottom up.
  for (int row = static_cast<int>(totals_.size()) - 1; row >= 0; --row) {
    if (incoming.contains(totals_[static_cast<size_t>(row)].program)) continue;
    beginRemoveRows(QModelIndex(), row, row);
    totals_.erase(totals_.begin() + row);
    ids_.erase(ids_.begin() + row);
    endRemoveRows();
  }
  std::vector<bool> placed(totals.size(), false);
  for (size_t row = 0; row < totals_.size(); ++row) {
    const size_t from = incoming.at(totals_[row].program);
    placed[from] = true;
    corvane::ProgramTotal& fresh = totals[from];
    UpdateHosts(static_cast<int>(row), std::move(fresh.hosts));
    corvane::ProgramTotal& kept = totals_[row];
    kept.downloadBytes = fresh.downloadBytes;
    kept.uploadBytes = fresh.uploadBytes;
    kept.bytesPerSecond = fresh.bytesPerSecond;
    kept.rows = fresh.rows;
  }
  std::vector<corvane::ProgramTotal> added;
  for (size_t i = 0; i < totals.size(); ++i) {
    if (!placed[i]) added.push_back(std::move(totals[i]));
  }
  if (!added.empty()) {
    const int first = static_cast<int>(totals_.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(added.size()) - 1);
    for (corvane::ProgramTotal& program : added) {
      totals_.push_back(std::move(program));
      ids_.push_back(nextId_++);
    }
    endInsertRows();
  }
  if (totals_.empty()) return;
  emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
  for (int row = 0; row < rowCount(); ++row) {
    const QModelIndex program = index(row, 0);
    if (const int hosts = rowCount(program); hosts > 0) {
      emit dataChanged(index(0, 0, program), index(hosts - 1, kColumnCount - 1, program));
    }
  }
}

void ProgramsModel::UpdateHosts(int programRow, std::vector<corvane::ProgramHost>&& hosts) {
  const QModelIndex parentIndex = index(programRow, 0);
  std::vector<corvane::ProgramHost>& kept = totals_[static_cast<size_t>(programRow)].hosts;
  std::unordered_map<std::string_view, size_t> incoming;
  for (size_t i = 0; i < hosts.size(); ++i) incoming.emplace(HostKey(hosts[i]), i);
  for (int row = static_cast<int>(kept.size()) - 1; row >= 0; --row) {
    if (incoming.contains(HostKey(kept[static_cast<size_t>(row)]))) continue;
    beginRemoveRows(parentIndex, row, row);
    kept.erase(kept.begin() + row);
    endRemoveRows();
  }
  std::vector<bool> placed(hosts.size(), false);
  for (corvane::ProgramHost& host : kept) {
    const size_t from = incoming.at(HostKey(host));
    placed[from] = true;
    host = std::move(hosts[from]);
  }
  std::vector<corvane::ProgramHost> added;
  for (size_t i = 0; i < hosts.size(); ++i) {
    if (!placed[i]) added.push_back(std::move(hosts[i]));
  }
  if (added.empty()) return;
  const int first = static_cast<int>(kept.size());
  beginInsertRows(parentIndex, first, first + static_cast<int>(added.size()) - 1);
  for (corvane::ProgramHost& host : added) kept.push_back(std::move(host));
  endInsertRows();
}

int ProgramsModel::RowOfProgramId(quintptr id) const {
  const auto at = std::find(ids_.begin(), ids_.end(), id);
  return at == ids_.end() ? -1 : static_cast<int>(at - ids_.begin());
}

const corvane::ProgramTotal* ProgramsModel::ProgramAt(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this) return nullptr;
  const int row = index.internalId() == 0 ? index.row() : RowOfProgramId(index.internalId());
  if (row < 0 || row >= static_cast<int>(totals_.size())) return nullptr;
  return &totals_[static_cast<size_t>(row)];
}

const corvane::ProgramHost* ProgramsModel::HostAt(const QModelIndex& index) const {
  if (!index.isValid() || index.internalId() == 0) return nullptr;
  const corvane::ProgramTotal* program = ProgramAt(index);
  if (!program || index.row() >= static_cast<int>(program->hosts.size())) return nullptr;
  return &program->hosts[static_cast<size_t>(index.row())];
}

QModelIndex ProgramsModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= kColumnCount) return {};
  if (!parent.isValid()) {
    if (row >= static_cast<int>(totals_.size())) return {};
    return createIndex(row, column, quintptr{0});
  }
  if (parent.internalId() != 0 || parent.row() >= static_cast<int>(totals_.size())) return {};
  const size_t program = static_cast<size_t>(parent.row());
  if (row >= static_cast<int>(totals_[program].hosts.size())) return {};
  return createIndex(row, column, ids_[program]);
}

QModelIndex ProgramsModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || child.internalId() == 0) return {};
  const int row = RowOfProgramId(child.internalId());
  return row < 0 ? QModelIndex() : createIndex(row, 0, quintptr{0});
}

int ProgramsModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(totals_.size());
  if (parent.internalId() != 0 || parent.column() != 0) return 0;
  const corvane::ProgramTotal* program = ProgramAt(parent);
  return program ? static_cast<int>(program->hosts.size()) : 0;
}

int ProgramsModel::columnCount(const QModelIndex&) const { return kColumnCount; }

QVariant ProgramsModel::data(const QModelIndex& index, int role) const {
  const corvane::ProgramTotal* program = ProgramAt(index);
  if (!program) return {};
  const corvane::ProgramHost* host = index.internalId() == 0 ? nullptr : HostAt(index);
  if (index.internalId() != 0 && !host) return {};
  return Cell(*program, host, index.column(), role);
}

QVariant ProgramsModel::Cell(const corvane::ProgramTotal& program, const corvane::ProgramHost* host,
                             int column, int role) const {
  const uint64_t down = host ? host->downloadBytes : program.downloadBytes;
  const uint64_t up = host ? host->uploadBytes : program.uploadBytes;
  const uint64_t rate = host ? host->bytesPerSecond : program.bytesPerSecond;
  const QString name = QString::fromStdString(host ? host->remoteHost : program.program);
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      switch (column) {
        case kColumnName: return name;
        case kColumnDownload: return Bytes(down);
        case kColumnUpload: return Bytes(up);
        case kColumnTotal: return Bytes(down + up);
        case kColumnRate: return Bytes(rate) + QStringLiteral("/s");
        case kColumnHosts:
          return host ? QString::number(host->rows) + (host->rows == 1 ? QStringLiteral(" row")
                                                                       : QStringLiteral(" rows"))
                      : QString::number(program.hosts.size());
      }
      return {};
    case kSortRole:
      switch (column) {
        case kColumnName: return name.toLower();
        case kColumnDownload: return QVariant::fromValue<qulonglong>(down);
        case kColumnUpload: return QVariant::fromValue<qulonglong>(up);
        case kColumnTotal: return QVariant::fromValue<qulonglong>(down + up);
        case kColumnRate: return QVariant::fromValue<qulonglong>(rate);
        case kColumnHosts:
          return QVariant::fromValue<qulonglong>(host ? static_cast<uint64_t>(host->rows)
                                                      : program.hosts.size());
      }
      return {};
    case Qt::TextAlignmentRole:
      return QVariant::fromValue((column == kColumnName ? Qt::AlignLeft : Qt::AlignRight) |
                                 Qt::AlignVCenter);
    case Qt::DecorationRole:
      if (column != kColumnName) return {};
      if (host) return QIcon(QStringLiteral(":/icons/row.svg"));
      return icons_ ? QVariant(icons_->Icon(name)) : QVariant();
    default:
      return {};
  }
}

QVariant ProgramsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
    return QAbstractItemModel::headerData(section, orientation, role);
  }
  switch (section) {
    case kColumnName: return QStringLiteral("Program / remote host");
    case kColumnDownload: return QStringLiteral("DL");
    case kColumnUpload: return QStringLiteral("UL");
    case kColumnTotal: return QStringLiteral("DL & UL");
    case kColumnRate: return QStringLiteral("Speed");
    case kColumnHosts: return QStringLiteral("Hosts");
  }
  return {};
}

QString ProgramsModel::LineText(const QModelIndex& at) const {
  QStringList cells;
  for (int column = 0; column < kColumnCount; ++column) {
    cells << data(at.siblingAtColumn(column), Qt::DisplayRole).toString();
  }
  return cells.join(QLatin1Char('\t'));
}
