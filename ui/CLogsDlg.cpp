#include "ui/CLogsDlg.h"

#include <cstring>
#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <algorithm>

#include "engine/row_order.h"
#include "ui/TrafficModel.h"
#include "ui/dialog_units.h"
#include "ui/export_dialog.h"
#include "ui/svg_icon.h"

using corvane::LogChoice;
using corvane::RowCells;

namespace {

// The Logs dialog's list is narrower than the main list in its first column.
constexpr int kRemoteIpWidth = 100;

// The order of a sorted combo box: without regard to case, then by the
// texts' own order; a placeholder ("<...>") stands before every name.
bool SortsBefore(const QString& a, const QString& b) {
  const bool placeholderA = a.startsWith(QLatin1Char('<'));
  const bool placeholderB = b.startsWith(QLatin1Char('<'));
  if (placeholderA != placeholderB) return placeholderA;
  const int folded = a.compare(b, Qt::CaseInsensitive);
  return folded != 0 ? folded < 0 : a < b;
}

}  // namespace

// ---------------------------------------------------------------- the model

LogRowsModel::LogRowsModel(QObject* parent)
    : QAbstractTableModel(parent),
      rowIcon_(LoadIconPixmap(QStringLiteral(":/icons/row.svg"), QSize(16, 16))),
      headerIcons_{QIcon(LoadIconPixmap(QStringLiteral(":/icons/header_down.svg"), QSize(13, 13))),
                   QIcon(LoadIconPixmap(QStringLiteral(":/icons/header_up.svg"), QSize(13, 13))),
                   QIcon(LoadIconPixmap(QStringLiteral(":/icons/header_both.svg"), QSize(13, 13)))} {}

QString LogRowsModel::Heading(int column) { return TrafficModel::Heading(column); }

int LogRowsModel::ColumnWidth(int column) {
  return column == corvane::kColumnRemoteIp ? kRemoteIpWidth : TrafficModel::ColumnWidth(column);
}

Qt::Alignment LogRowsModel::ColumnAlignment(int column) { return TrafficModel::ColumnAlignment(column); }

int LogRowsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int LogRowsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : corvane::kColumnCount;
}

QVariant LogRowsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  return TrafficModel::CellData(rows_[static_cast<size_t>(index.row())][static_cast<size_t>(index.column())],
                                index.column(), role, rowIcon_);
}

QVariant LogRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= corvane::kColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  return TrafficModel::HeadingData(section, role, headerIcons_);
}

void LogRowsModel::SetRows(std::vector<RowCells> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

void LogRowsModel::SortByColumn(int column, corvane::SortDirection direction) {
  if (column < 0 || column >= corvane::kColumnCount) return;
  beginResetModel();
  std::vector<RowCells> sorted;
  sorted.reserve(rows_.size());
  for (int index : corvane::SortedRowOrder(rows_, column, direction)) {
    sorted.push_back(std::move(rows_[static_cast<size_t>(index)]));
  }
  rows_.swap(sorted);
  endResetModel();
}

// ---------------------------------------------------------------- the dialog

CLogsDlg::CLogsDlg(std::string directory, QWidget* parent)
    : QDialog(parent), directory_(std::move(directory)) {
  setWindowTitle(QStringLiteral("Logs"));

  // The layout in dialog units, 452 x 265: the selector at the top centre,
  // the list filling the dialog, OK at the bottom centre.
  selectLabel_ = new QLabel(QStringLiteral("&Select log:"), this);
  selectLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  selectLabel_->setGeometry(DialogRect(this, 160, 8, 42, 10));
  selector_ = new QComboBox(this);
  selector_->setEditable(true);
  selector_->setInsertPolicy(QComboBox::NoInsert);
  const QRect selectorRect = DialogRect(this, 205, 7, 81, 12);
  selector_->setGeometry(selectorRect.x(), selectorRect.y(), selectorRect.width(),
                         std::max(selectorRect.height(), selector_->sizeHint().height()));
  selectLabel_->setBuddy(selector_);

  model_ = new LogRowsModel(this);
  view_ = new QTableView(this);
  view_->setModel(model_);
  view_->setGeometry(DialogRect(this, 7, 26, 438, 212));
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setShowGrid(false);
  view_->setWordWrap(false);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  view_->verticalHeader()->hide();
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setDefaultSectionSize(std::max(view_->fontMetrics().height() + 4, 18));
  QHeaderView* header = view_->horizontalHeader();
  header->setHighlightSections(false);
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setSortIndicator(-1, Qt::DescendingOrder);
  header->setStretchLastSection(false);
  for (int column = 0; column < corvane::kColumnCount; ++column) {
    view_->setColumnWidth(column, LogRowsModel::ColumnWidth(column));
  }
  connect(header, &QHeaderView::sectionClicked, this, &CLogsDlg::OnSortColumn);

  progress_ = new QProgressBar(this);
  progress_->setRange(0, 0);  // busy: the length of a load is not known in advance
  progress_->setTextVisible(false);
  progress_->hide();
  PlaceProgress();

  okButton_ = new QPushButton(QStringLiteral("OK"), this);
  okButton_->setGeometry(DialogRect(this, 201, 244, 50, 14));
  okButton_->setDefault(true);
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
  exportButton_ = new QPushButton(QStringLiteral("&Export..."), this);
  exportButton_->setGeometry(DialogRect(this, 395, 244, 50, 14));
  exportButton_->setAutoDefault(false);
  exportButton_->setEnabled(false);  // until a log's rows are shown
  connect(exportButton_, &QPushButton::clicked, this, &CLogsDlg::OnExport);

  setFixedSize(DialogRect(this, 0, 0, 452, 265).size());

  // The logs found now; the list is not refreshed while the dialog is open.
  choices_ = corvane::ListLogs(directory_);
  QStringList entries;
  if (choices_.empty()) {
    entries.push_back(QString::fromLatin1(corvane::kNoLogsEntry));
  } else {
    entries.push_back(QString::fromLatin1(corvane::kSelectLogEntry));
    for (const LogChoice& choice : choices_) {
      // One entry per display name: choosing it shows every log of that name.
      const QString name = QString::fromStdString(choice.displayName);
      if (!entries.contains(name)) entries.push_back(name);
    }
  }
  std::stable_sort(entries.begin(), entries.end(), SortsBefore);
  selector_->addItems(entries);
  // At least 81 units wide, wider when a log's name would not fit; the label
  // and the selector stay centred together.
  selector_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  const int width = std::max(selector_->width(), selector_->sizeHint().width());
  if (width > selector_->width()) {
    const int shift = (width - selector_->width()) / 2;
    selector_->setGeometry(selector_->x() - shift, selector_->y(), width, selector_->height());
    selectLabel_->move(selectLabel_->x() - shift, selectLabel_->y());
  }
  FitColumns();
  connect(selector_, &QComboBox::currentIndexChanged, this, &CLogsDlg::OnSelectionChanged);
  selector_->setCurrentIndex(0);
}

// Every column as wide as the texts it usually holds in the list's font (an
// IPv4 or a short IPv6 address, a byte count, a program, a date and time),
// the host column a little wider; the dialog opens wide enough for them all,
// but never wider than the screen, and its controls keep their places.
void CLogsDlg::FitColumns() {
  static const char* const kSamples[corvane::kColumnCount] = {
      "2001:db8:ffff:ffff::ffff", "lb-140-82-112-4-iad.github.com", "1023.99 MB", "1023.99 MB",
      "1023.99 MB", "firefox-esr:4194304", "2026-12-31 23:59:59", "2026-12-31 23:59:59"};
  const QFontMetrics metrics(view_->font());
  const QFontMetrics headingMetrics(view_->horizontalHeader()->font());
  const int room = 16 + 12;  // the row and heading images, padding
  int total = 0;
  for (int column = 0; column < corvane::kColumnCount; ++column) {
    const int width = std::max({LogRowsModel::ColumnWidth(column),
                                metrics.horizontalAdvance(QString::fromLatin1(kSamples[column])) + room,
                                headingMetrics.horizontalAdvance(LogRowsModel::Heading(column)) + 2 * room});
    view_->setColumnWidth(column, width);
    total += width;
  }
  const int margin = view_->x();
  int wanted = total + view_->verticalScrollBar()->sizeHint().width() + 2 * view_->frameWidth() +
               2 * margin;
  if (const QScreen* screen = this->screen()) {
    wanted = std::min(wanted, screen->availableGeometry().width() * 9 / 10);
  }
  const int grow = wanted - width();
  if (grow <= 0) return;
  view_->resize(view_->width() + grow, view_->height());
  for (QWidget* centred : std::initializer_list<QWidget*>{selectLabel_, selector_, okButton_}) {
    centred->move(centred->x() + grow / 2, centred->y());
  }
  exportButton_->move(exportButton_->x() + grow, exportButton_->y());
  setFixedSize(wanted, height());
  PlaceProgress();
}

CLogsDlg::~CLogsDlg() {
  CancelLoads();
  for (Load& load : loads_) {
    if (load.thread.joinable()) load.thread.join();
  }
}

void CLogsDlg::OnSelectionChanged(int index) {
  model_->SetRows({});
  exportButton_->setEnabled(false);
  CancelLoads();
  if (index < 0) return;
  const QString text = selector_->itemText(index);
  if (text.startsWith(QLatin1Char('<'))) return;  // a placeholder: the list stays empty
  StartLoad(text.toStdString());
}

void CLogsDlg::StartLoad(const std::string& displayName) {
  JoinFinished();
  const uint64_t generation = ++generation_;
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  auto done = std::make_shared<std::atomic<bool>>(false);
  loading_ = true;
  PlaceProgress();
  progress_->show();
  progress_->raise();
  // The worker gets copies of everything it reads; it reaches the dialog
  // only through the mailbox and a queued call, and the dialog joins it
  // before it goes.
  std::thread thread([this, generation, cancelled, done, directory = directory_,
                      choices = choices_, displayName] {
    std::vector<RowCells> rows = corvane::RowsForDisplayName(directory, choices, displayName);
    if (!cancelled->load()) {
      {
        corvane::MutexLock lock(loadedMutex_);
        loaded_.push_back({generation, std::move(rows)});
      }
      QMetaObject::invokeMethod(this, &CLogsDlg::TakeLoaded, Qt::QueuedConnection);
    }
    done->store(true);
  });
  loads_.push_back({std::move(thread), std::move(cancelled), std::move(done)});
}

void CLogsDlg::TakeLoaded() {
  std::vector<Loaded> loaded;
  {
    corvane::MutexLock lock(loadedMutex_);
    loaded.swap(loaded_);
  }
  for (Loaded& load : loaded) OnRowsLoaded(load.generation, std::move(load.rows));
}

void CLogsDlg::OnRowsLoaded(uint64_t generation, std::vector<RowCells> rows) {
  if (generation != generation_) return;  // superseded by a later choice
  loading_ = false;
  progress_->hide();
  model_->SetRows(std::move(rows));
  exportButton_->setEnabled(model_->rowCount() > 0);
  JoinFinished();
  emit logLoaded();
}

void CLogsDlg::CancelLoads() {
  ++generation_;
  loading_ = false;
  progress_->hide();
  for (Load& load : loads_) load.cancelled->store(true);
}

void CLogsDlg::JoinFinished() {
  // Only threads that have returned their work are joined here, so the
  // window never waits for a superseded load still reading its file.
  for (auto it = loads_.begin(); it != loads_.end();) {
    if (it->done->load()) {
      if (it->thread.joinable()) it->thread.join();
      it = loads_.erase(it);
    } else {
      ++it;
    }
  }
}

void CLogsDlg::WaitForLoad() {
  for (Load& load : loads_) {
    if (load.thread.joinable()) load.thread.join();
  }
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
  loads_.clear();
}

void CLogsDlg::PlaceProgress() {
  const QRect area = view_->geometry();
  const int width = std::min(area.width() - 20, DialogUnitsX(this, 160));
  const int height = std::max(progress_->sizeHint().height(), DialogUnitsY(this, 10));
  progress_->setGeometry(area.x() + (area.width() - width) / 2,
                         area.y() + (area.height() - height) / 2, width, height);
}

void CLogsDlg::OnSortColumn(int column) {
  // A new column sorts greatest first; clicking it again turns it round.
  const bool again = column == sortColumn_ && sortDirection_ == corvane::SortDirection::kGreatestFirst;
  sortColumn_ = column;
  sortDirection_ = again ? corvane::SortDirection::kSmallestFirst
                         : corvane::SortDirection::kGreatestFirst;
  view_->horizontalHeader()->setSortIndicator(
      column, again ? Qt::AscendingOrder : Qt::DescendingOrder);
  model_->SortByColumn(column, sortDirection_);
}

void CLogsDlg::OnExport() {
  if (auto target = AskExportTarget(this, QStringLiteral("Export log"))) {
    ExportShownRows(target->path, target->format);
  }
}

bool CLogsDlg::ExportShownRows(const std::string& path, corvane::ExportFormat format) {
  std::vector<corvane::ExportRow> rows;
  rows.reserve(model_->rows().size());
  for (const RowCells& cells : model_->rows()) rows.push_back(corvane::ExportRowOfLog(cells));
  if (corvane::Status written = corvane::WriteExportFile(path, rows, format); !written) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                    ExportFailureText(path, std::strerror(written.code)), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);  // a file name is shown as it is
    box.exec();
    return false;
  }
  return true;
}
