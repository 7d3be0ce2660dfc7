#include "ui/CHistoryDlg.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QButtonGroup>
#include <QChart>
#include <QChartView>
#include <QCoreApplication>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedBarSeries>
#include <QStackedWidget>
#include <QTableView>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <charconv>
#include <map>
#include <thread>

#include "vocabulary/text_format.h"
#include "storage/history_report.h"
#include "ui/ProgramIcons.h"
#include "ui/dialog_units.h"

namespace {

const QString kNoTrafficText = QStringLiteral("No traffic recorded yet");
const QString kOtherLabel = QStringLiteral("Other");

// Bars that stay apart on a light and on a dark background; "Other" is grey.
const QColor kBarColours[CHistoryDlg::kApplicationsCharted] = {
    QColor(0x1f, 0x77, 0xb4), QColor(0xff, 0x7f, 0x0e), QColor(0x2c, 0xa0, 0x2c),
    QColor(0xd6, 0x27, 0x28), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
    QColor(0xe3, 0x77, 0xc2), QColor(0x17, 0xbe, 0xcf)};
const QColor kOtherColour(0x9e, 0x9e, 0x9e);

uint64_t Total(const HistoryTableModel::Row& row) { return row.sentBytes + row.receivedBytes; }

QString ByteText(uint64_t bytes) { return QString::fromStdString(corvane::FormatByteCount(bytes)); }

// "1,234,567 bytes", the same in every locale, as the list's texts are.
QString ExactByteText(uint64_t bytes) {
  QString digits = QString::number(bytes);
  for (qsizetype at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, QLatin1Char(','));
  return digits + QStringLiteral(" bytes");
}

// Reads the history on a worker thread: everything it needs is a copy.
HistoryData ReadHistory(uint64_t generation, std::string path, corvane::HistoryGrouping period,
                        int64_t since, int64_t until, QString app) {
  HistoryData data;
  data.generation = generation;
  data.app = app;
  // No file yet: nothing was recorded, which is no failure.
  if (!QFileInfo::exists(QString::fromStdString(path))) return data;
  corvane::HistoryStore store;
  data.status = store.Open(path, corvane::HistoryStore::Mode::kReadOnly);
  if (!data.status) return data;
  data.status = app.isEmpty()
                    ? store.PeriodTotals(period, since, until, data.periods)
                    : store.ApplicationTotals(app.toStdString(), corvane::HistoryGrouping::kHost,
                                              since, until, data.hosts);
  return data;
}

// The first day of the month `monthsBack` months before the one of `time`.
int64_t MonthStart(int64_t time, int monthsBack) {
  // "YYYY-MM-...": the year and the month.
  const std::string text = corvane::FormatUtcTime(time);
  int year = 1970, month = 1;
  std::from_chars(text.data(), text.data() + std::min<size_t>(4, text.size()), year);
  if (text.size() > 7) std::from_chars(text.data() + 5, text.data() + 7, month);
  month -= monthsBack;
  while (month < 1) {
    month += 12;
    --year;
  }
  while (month > 12) {
    month -= 12;
    ++year;
  }
  const QString start = QStringLiteral("%1-%2-01")
                            .arg(year, 4, 10, QLatin1Char('0'))
                            .arg(month, 2, 10, QLatin1Char('0'));
  return corvane::ParseUtcTime(start.toStdString()).value_or(time);
}

}  // namespace

// ---------------------------------------------------------------- the table

void HistoryTableModel::SetRows(std::vector<Row> rows, QString nameHeading) {
  beginResetModel();
  rows_ = std::move(rows);
  nameHeading_ = std::move(nameHeading);
  SortRows();
  endResetModel();
}

int HistoryTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int HistoryTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant HistoryTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Row& row = rows_[static_cast<size_t>(index.row())];
  if (index.column() == kColumnName) {
    if (role == Qt::DisplayRole) return row.label;
    if (role == Qt::DecorationRole && row.program && iconOf_) return iconOf_(row.label);
    if (role == Qt::ToolTipRole) return PlainToolTip(row.key);
    return {};
  }
  const uint64_t bytes = index.column() == kColumnSent       ? row.sentBytes
                         : index.column() == kColumnReceived ? row.receivedBytes
                                                             : Total(row);
  switch (role) {
    case Qt::DisplayRole:
      return ByteText(bytes);
    case Qt::ToolTipRole:
      return ExactByteText(bytes);
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant HistoryTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal)
    return QAbstractTableModel::headerData(section, orientation, role);
  if (role == Qt::TextAlignmentRole) {
    return QVariant::fromValue((section == kColumnName ? Qt::AlignLeft : Qt::AlignRight) |
                               Qt::AlignVCenter);
  }
  if (role != Qt::DisplayRole) return {};
  switch (section) {
    case kColumnName:
      return nameHeading_;
    case kColumnSent:
      return QStringLiteral("Sent");
    case kColumnReceived:
      return QStringLiteral("Received");
    case kColumnTotal:
      return QStringLiteral("Total");
    default:
      return {};
  }
}

void HistoryTableModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= kColumnCount) return;
  sortColumn_ = column;
  sortOrder_ = order;
  emit layoutAboutToBeChanged();
  SortRows();
  emit layoutChanged();
}

void HistoryTableModel::SortRows() {
  const int column = sortColumn_;
  auto key = [column](const Row& row) -> uint64_t {
    return column == kColumnSent       ? row.sentBytes
           : column == kColumnReceived ? row.receivedBytes
                                       : Total(row);
  };
  const bool ascending = sortOrder_ == Qt::AscendingOrder;
  std::stable_sort(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) {
    if (column == kColumnName) {
      const int compared = a.label.compare(b.label, Qt::CaseInsensitive);
      return ascending ? compared < 0 : compared > 0;
    }
    return ascending ? key(a) < key(b) : key(a) > key(b);
  });
}

// ---------------------------------------------------------------- the dialog

CHistoryDlg::CHistoryDlg(std::string historyPath, const corvane::Clock& clock, QWidget* parent)
    : QDialog(parent),
      path_(std::move(historyPath)),
      clock_(clock),
      mailbox_(std::make_shared<LoadMailbox>()) {
  {
    corvane::MutexLock lock(mailbox_->mutex);
    mailbox_->dialog = this;
  }
  setWindowTitle(QStringLiteral("History"));
  setSizeGripEnabled(true);

  daysButton_ = new QRadioButton(QStringLiteral("Per day (last %1 days)").arg(kDaysShown), this);
  monthsButton_ =
      new QRadioButton(QStringLiteral("Per month (last %1 months)").arg(kMonthsShown), this);
  daysButton_->setChecked(true);
  auto* spans = new QButtonGroup(this);
  spans->addButton(daysButton_);
  spans->addButton(monthsButton_);
  connect(daysButton_, &QRadioButton::toggled, this,
          [this](bool days) { SetSpan(days ? Span::kDays : Span::kMonths); });
  refresh_ = new QPushButton(QStringLiteral("Refresh"), this);
  refresh_->setAutoDefault(false);
  connect(refresh_, &QPushButton::clicked, this, &CHistoryDlg::Refresh);
  auto* top = new QHBoxLayout;
  top->addWidget(daysButton_);
  top->addWidget(monthsButton_);
  top->addStretch();
  top->addWidget(refresh_);

  chart_ = new QChart;
  chart_->legend()->setAlignment(Qt::AlignRight);
  chart_->setMargins(QMargins(4, 4, 4, 4));
  chartView_ = new QChartView(chart_, this);
  chartView_->setRenderHint(QPainter::Antialiasing);
  emptyLabel_ = new QLabel(kNoTrafficText, this);
  emptyLabel_->setTextFormat(Qt::PlainText);
  emptyLabel_->setAlignment(Qt::AlignCenter);
  chartPages_ = new QStackedWidget(this);
  chartPages_->addWidget(emptyLabel_);
  chartPages_->addWidget(chartView_);

  // Program and host names are other people's text: never markup.
  caption_ = new QLabel(this);
  caption_->setTextFormat(Qt::PlainText);
  back_ = new QPushButton(QStringLiteral("Back"), this);
  back_->setAutoDefault(false);
  back_->setEnabled(false);
  connect(back_, &QPushButton::clicked, this, &CHistoryDlg::ShowApplications);
  auto* tableBar = new QHBoxLayout;
  tableBar->addWidget(caption_, 1);
  tableBar->addWidget(back_);

  model_ = new HistoryTableModel(this);
  table_ = new QTableView(this);
  table_->setModel(model_);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setShowGrid(false);
  table_->setWordWrap(false);
  table_->horizontalHeader()->setSortIndicator(HistoryTableModel::kColumnTotal,
                                               Qt::DescendingOrder);
  table_->setSortingEnabled(true);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table_->verticalHeader()->setDefaultSectionSize(std::max(table_->fontMetrics().height() + 4, 18));
  table_->horizontalHeader()->setSectionResizeMode(HistoryTableModel::kColumnName,
                                                   QHeaderView::Stretch);
  table_->horizontalHeader()->setHighlightSections(false);
  for (int column = HistoryTableModel::kColumnSent; column < HistoryTableModel::kColumnCount;
       ++column) {
    table_->setColumnWidth(column, DialogUnitsX(this, 50));
  }
  auto drill = [this](const QModelIndex& index) {
    if (app_.isEmpty() && index.isValid()) ShowHostsOf(index.row());
  };
  connect(table_, &QTableView::clicked, this, drill);
  connect(table_, &QTableView::activated, this, drill);

  statusLabel_ = new QLabel(this);
  statusLabel_->setTextFormat(Qt::PlainText);
  statusLabel_->setWordWrap(true);
  statusLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QPalette errorPalette = statusLabel_->palette();
  errorPalette.setColor(QPalette::WindowText, QColor(200, 30, 30));
  statusLabel_->setPalette(errorPalette);
  statusLabel_->hide();

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(chartPages_, 3);
  layout->addLayout(tableBar);
  layout->addWidget(table_, 2);
  layout->addWidget(statusLabel_);
  resize(DialogRect(this, 0, 0, 480, 340).size());

  UpdateCaption();
  Refresh();
}

CHistoryDlg::~CHistoryDlg() {
  {
    corvane::MutexLock lock(mailbox_->mutex);
    mailbox_->dialog = nullptr;
  }
  for (auto& [generation, reader] : readers_) reader.join();
}

QString CHistoryDlg::ApplicationLabel(const QString& key) {
  if (key.startsWith(QLatin1Char('/'))) return key.mid(key.lastIndexOf(QLatin1Char('/')) + 1);
  return key;
}

void CHistoryDlg::changeEvent(QEvent* event) {
  if (event->type() == QEvent::PaletteChange) Refresh();
  QDialog::changeEvent(event);
}

bool CHistoryDlg::showingChart() const { return chartPages_->currentWidget() == chartView_; }

void CHistoryDlg::SetSpan(Span span) {
  if (span == span_) return;
  span_ = span;
  (span == Span::kDays ? daysButton_ : monthsButton_)->setChecked(true);
  Refresh();
}

void CHistoryDlg::Refresh() {
  // A newer request makes every answer in flight stale.
  StartLoad(QString());
  if (!app_.isEmpty()) StartLoad(app_);
  UpdateCaption();
}

void CHistoryDlg::ShowHostsOf(int row) {
  if (!app_.isEmpty() || row < 0 || row >= model_->rowCount()) return;
  app_ = model_->RowAt(row).key;
  appLabel_ = model_->RowAt(row).label;
  back_->setEnabled(true);
  model_->SetRows({}, QStringLiteral("Remote host"));
  UpdateCaption();
  StartLoad(app_);
}

void CHistoryDlg::ShowApplications() {
  if (app_.isEmpty()) return;
  app_.clear();
  appLabel_.clear();
  back_->setEnabled(false);
  model_->SetRows({}, QStringLiteral("Application"));
  Refresh();
}

void CHistoryDlg::UpdateCaption() {
  const QString span = span_ == Span::kDays
                           ? QStringLiteral("the last %1 days").arg(kDaysShown)
                           : QStringLiteral("the last %1 months").arg(kMonthsShown);
  caption_->setText(
      app_.isEmpty()
          ? QStringLiteral("Applications in %1 (UTC); choose one for its hosts").arg(span)
          : QStringLiteral("Hosts of %1 in %2").arg(appLabel_, span));
  caption_->setToolTip(PlainToolTip(app_));
}

void CHistoryDlg::SpanRange(int64_t& since, int64_t& until, QStringList& periods) const {
  const int64_t now = clock_.Now();
  periods.clear();
  if (span_ == Span::kDays) {
    const int64_t today = now - (((now % corvane::kSecondsPerDay) + corvane::kSecondsPerDay) %
                                 corvane::kSecondsPerDay);
    since = today - int64_t{kDaysShown - 1} * corvane::kSecondsPerDay;
    until = today + corvane::kSecondsPerDay;
    for (int64_t day = since; day < until; day += corvane::kSecondsPerDay) {
      periods << QString::fromStdString(corvane::FormatUtcTime(day).substr(0, 10));
    }
    return;
  }
  since = MonthStart(now, kMonthsShown - 1);
  until = MonthStart(now, -1);
  for (int back = kMonthsShown - 1; back >= 0; --back) {
    periods << QString::fromStdString(corvane::FormatUtcTime(MonthStart(now, back)).substr(0, 7));
  }
}

void CHistoryDlg::StartLoad(const QString& app) {
  int64_t since = 0, until = 0;
  QStringList periods;
  SpanRange(since, until, periods);
  // Requests in flight for the same part are superseded; the overview and
  // the hosts are asked for together, so each answer keeps its own number.
  const uint64_t generation = ++generation_;
  (app.isEmpty() ? overviewGeneration_ : hostsGeneration_) = generation;
  const auto period =
      span_ == Span::kDays ? corvane::HistoryGrouping::kDay : corvane::HistoryGrouping::kMonth;
  JoinEndedReaders();
  {
    corvane::MutexLock lock(mailbox_->mutex);
    ++mailbox_->running;
  }
  std::thread reader([mailbox = mailbox_, generation, path = path_, period, since, until, app] {
    HistoryData data = ReadHistory(generation, path, period, since, until, app);
    corvane::MutexLock lock(mailbox->mutex);
    mailbox->answers.push_back(std::move(data));
    mailbox->ended.push_back(generation);
    --mailbox->running;
    // Under the mailbox's lock the dialog cannot be destroyed meanwhile; a
    // call posted to it is dropped by Qt if it is destroyed later.
    if (mailbox->dialog) {
      QMetaObject::invokeMethod(mailbox->dialog, &CHistoryDlg::TakeAnswers, Qt::QueuedConnection);
    }
    mailbox->answered.notify_all();
  });
  readers_.emplace_back(generation, std::move(reader));
}

void CHistoryDlg::JoinEndedReaders() {
  std::vector<uint64_t> ended;
  {
    corvane::MutexLock lock(mailbox_->mutex);
    ended.swap(mailbox_->ended);
  }
  // A reader listed here has left its answer and only returns.
  for (uint64_t generation : ended) {
    for (auto reader = readers_.begin(); reader != readers_.end(); ++reader) {
      if (reader->first != generation) continue;
      reader->second.join();
      readers_.erase(reader);
      break;
    }
  }
}

void CHistoryDlg::TakeAnswers() {
  std::vector<HistoryData> answers;
  {
    corvane::MutexLock lock(mailbox_->mutex);
    answers.swap(mailbox_->answers);
  }
  JoinEndedReaders();
  for (const HistoryData& data : answers) OnLoaded(data);
}

void CHistoryDlg::WaitForLoad() {
  LoadMailbox& mailbox = *mailbox_;
  {
    corvane::MutexLock lock(mailbox.mutex);
    mailbox.answered.wait(lock, [&mailbox]() REQUIRES(mailbox.mutex) { return mailbox.running == 0; });
  }
  TakeAnswers();
}

void CHistoryDlg::OnLoaded(const HistoryData& data) {
  if (data.generation != (data.app.isEmpty() ? overviewGeneration_ : hostsGeneration_)) return;
  if (!data.app.isEmpty() && data.app != app_) return;  // Back was chosen meanwhile
  statusLabel_->setVisible(!data.status);
  if (!data.status) statusLabel_->setText(QString::fromStdString(data.status.reason));
  emptyLabel_->setText(data.status ? kNoTrafficText : QStringLiteral("The history cannot be read"));
  if (data.app.isEmpty()) {
    ShowOverview(data.periods);
  } else {
    ShowHosts(data.hosts);
  }
}

void CHistoryDlg::SetProgramIcons(ProgramIcons* icons) {
  model_->SetIconSource([icons](const QString& label) { return icons->Icon(label); });
  connect(icons, &ProgramIcons::iconsChanged, table_->viewport(), qOverload<>(&QWidget::update));
}

void CHistoryDlg::ShowOverview(const std::vector<corvane::HistoryPeriodTotal>& periods) {
  // The applications over the whole span, largest first.
  std::map<std::string, HistoryTableModel::Row> byApp;
  for (const corvane::HistoryPeriodTotal& total : periods) {
    HistoryTableModel::Row& row = byApp[total.app];
    row.sentBytes += total.sentBytes;
    row.receivedBytes += total.receivedBytes;
  }
  std::vector<HistoryTableModel::Row> rows;
  for (auto& [app, row] : byApp) {
    row.key = QString::fromStdString(app);
    row.label = ApplicationLabel(row.key);
    row.program = true;
    rows.push_back(row);
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return Total(a) > Total(b); });

  chart_->removeAllSeries();
  for (QAbstractAxis* axis : chart_->axes()) {
    chart_->removeAxis(axis);
    delete axis;
  }
  const bool dark = palette().color(QPalette::Window).lightness() < 128;
  chart_->setTheme(dark ? QChart::ChartThemeDark : QChart::ChartThemeLight);
  chart_->setBackgroundBrush(palette().color(QPalette::Base));
  if (app_.isEmpty()) model_->SetRows(rows, QStringLiteral("Application"));
  chartPages_->setCurrentWidget(rows.empty() ? static_cast<QWidget*>(emptyLabel_) : chartView_);
  if (rows.empty()) return;

  int64_t since = 0, until = 0;
  QStringList periodKeys;
  SpanRange(since, until, periodKeys);
  // One bar set per charted application, one for the rest; its values per
  // period in the chart's unit.
  const size_t charted = std::min<size_t>(rows.size(), kApplicationsCharted);
  std::map<std::string, size_t> setOf;
  for (size_t i = 0; i < rows.size(); ++i) setOf[rows[i].key.toStdString()] = std::min(i, charted);
  const size_t sets = charted + (rows.size() > charted ? 1 : 0);
  std::vector<std::vector<uint64_t>> bytes(sets, std::vector<uint64_t>(periodKeys.size(), 0));
  std::vector<uint64_t> stacked(periodKeys.size(), 0);
  for (const corvane::HistoryPeriodTotal& total : periods) {
    const qsizetype at = periodKeys.indexOf(QString::fromStdString(total.period));
    if (at < 0) continue;
    const uint64_t sum = total.sentBytes + total.receivedBytes;
    bytes[setOf[total.app]][static_cast<size_t>(at)] += sum;
    stacked[static_cast<size_t>(at)] += sum;
  }
  const uint64_t highest = *std::max_element(stacked.begin(), stacked.end());
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  int unit = 0;
  double scale = 1;
  while (unit < 4 && static_cast<double>(highest) / scale >= 1024) {
    scale *= 1024;
    ++unit;
  }

  auto* series = new QStackedBarSeries;
  for (size_t set = 0; set < sets; ++set) {
    const bool other = set == charted;
    // The legend draws its labels as HTML.
    auto* barSet = new QBarSet(other ? kOtherLabel : rows[set].label.toHtmlEscaped());
    barSet->setColor(other ? kOtherColour : kBarColours[set]);
    barSet->setBorderColor(barSet->color());
    for (uint64_t value : bytes[set]) barSet->append(static_cast<double>(value) / scale);
    if (!other) {
      const QString key = rows[set].key;
      connect(barSet, &QBarSet::clicked, this, [this, key](int) {
        for (int row = 0; row < model_->rowCount(); ++row) {
          if (model_->RowAt(row).key == key) ShowHostsOf(row);
        }
      });
    }
    series->append(barSet);
  }
  chart_->addSeries(series);
  auto* periodsAxis = new QBarCategoryAxis;
  QStringList labels;
  // Days show as "MM-DD", months as "YYYY-MM".
  for (const QString& key : periodKeys) labels << (span_ == Span::kDays ? key.mid(5) : key);
  periodsAxis->append(labels);
  // Thirty days' or twelve months' labels side by side fit only upright.
  periodsAxis->setLabelsAngle(-90);
  periodsAxis->setTruncateLabels(false);
  auto* bytesAxis = new QValueAxis;
  bytesAxis->setMin(0);
  bytesAxis->setMax(std::max(1.0, static_cast<double>(highest) / scale));
  bytesAxis->applyNiceNumbers();
  bytesAxis->setLabelFormat(QStringLiteral("%g"));
  bytesAxis->setTitleText(QString::fromLatin1(kUnits[unit]));
  chart_->addAxis(periodsAxis, Qt::AlignBottom);
  chart_->addAxis(bytesAxis, Qt::AlignLeft);
  series->attachAxis(periodsAxis);
  series->attachAxis(bytesAxis);
}

void CHistoryDlg::ShowHosts(const std::vector<corvane::HistoryTotal>& hosts) {
  std::vector<HistoryTableModel::Row> rows;
  rows.reserve(hosts.size());
  for (const corvane::HistoryTotal& host : hosts) {
    const QString name = QString::fromStdString(host.key);
    rows.push_back({name, name, host.sentBytes, host.receivedBytes});
  }
  model_->SetRows(std::move(rows), QStringLiteral("Remote host"));
}
