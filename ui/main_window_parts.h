// What the main window's source files share: the toolbar buttons' order, the
// client area's size in dialog units, the keys of the layout file and the
// budgets and history days read from it. Only ui/CMainDlg*.cpp,
// ui/MainWindow*.cpp and ui/MonitorSession.cpp include it.
#pragma once

#include <QSettings>
#include <QString>
#include <algorithm>
#include <cstdint>

#include "storage/usage_alerts.h"
#include "ui/COptionsDlg.h"

namespace main_window {

enum ButtonIndex { kSaveClear = 0, kShowLog = 1, kDeleteLogs = 2, kOptions = 3, kHelp = 4 };

// Size of the client area in dialog units.
inline constexpr int kClientWidthDu = 451;
inline constexpr int kClientHeightDu = 201;
inline constexpr int kListTopDu = 32;

// Keys of the layout file.
inline const QString kGeometryKey = QStringLiteral("window/geometry");
inline const QString kColumnsKey = QStringLiteral("window/columns");
inline const QString kSortColumnKey = QStringLiteral("window/sortColumn");
inline const QString kSortOrderKey = QStringLiteral("window/sortOrder");
inline const QString kLookUpNamesKey = QStringLiteral("names/lookUp");
inline const QString kHistoryDaysKey = QStringLiteral("history/days");
inline const QString kNotifyNewProgramsKey = QStringLiteral("history/notifyNewPrograms");
inline const QString kFeedbackNotAgainKey = QStringLiteral("window/feedbackNotAgain");
inline const QString kCloseNoteShownKey = QStringLiteral("window/closeNoteShown");
inline const QString kButtonTextsKey = QStringLiteral("window/buttonTexts");
inline const QString kColoursKey = QStringLiteral("window/colours");
inline const QString kUsageDayKey = QStringLiteral("alerts/usageDayMB");
inline const QString kUsageHourKey = QStringLiteral("alerts/usageHourMB");
// As the byte counts show them: 1 MB = 1024 KB.
inline constexpr uint64_t kMegabyte = 1024 * 1024;

inline corvane::UsageBudget UsageBudgetOf(int dayMegabytes, int hourMegabytes) {
  return {static_cast<uint64_t>(std::max(0, dayMegabytes)) * kMegabyte,
          static_cast<uint64_t>(std::max(0, hourMegabytes)) * kMegabyte};
}

// How long a new-program notice stays up, where the desktop lets it choose.
inline constexpr int kNoticeShownMs = 10000;
// How long the status line names a file just written.
inline constexpr int kStatusNoteMs = 15000;

// The history's days from the preferences. A damaged value must never
// shorten the history (pruning would remove what it keeps): it gives the
// default.
inline int HistoryDays(const QSettings& preferences) {
  bool ok = false;
  const int days = preferences.value(kHistoryDaysKey).toInt(&ok);
  if (!ok || days < 1) return corvane::kDefaultHistoryDays;
  return std::min(days, COptionsDlg::kMaxHistoryDays);
}

}  // namespace main_window
