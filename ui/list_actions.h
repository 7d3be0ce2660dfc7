// What the list's own commands make of its rows: the text that Copy puts on
// the clipboard, the quick filter's match, and the filter rules that "Hide
// this host" and "Hide this program" add to filters.dat (and their undo).
//
// Plain functions; window thread (they read and write filters.dat).
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "engine/traffic_list.h"
#include "filters/filter_set.h"

// The rows as tab-separated text, one line per row, cells in column order.
QString RowsAsText(const std::vector<corvane::RowCells>& rows);

// True when any cell contains `needle`, ignoring case; an empty needle
// matches every row.
bool RowMatchesQuickFilter(const corvane::RowCells& cells, const QString& needle);

// A rule that hides every flow of this row's remote host (its name, or its
// address while it has none), whatever program talks to it.
corvane::FilterRule HostRule(const corvane::RowCells& cells);
// A rule that hides every flow of this row's program: its executable name
// without the process id, so that the program's next start stays hidden.
corvane::FilterRule ProgramRule(const corvane::RowCells& cells);

// Adds `rules` (those not there yet) at the top of the filter file, and
// puts the rules it added into `added` when given. nullopt when written;
// otherwise what the user must be told: the file is a white list (a rule
// there shows flows), it cannot be read, or it cannot be written.
std::optional<QString> AddHideRules(const std::string& filterFile,
                                    const std::vector<corvane::FilterRule>& rules,
                                    std::vector<corvane::FilterRule>* added = nullptr);
// Takes `rules` out of the filter file again (an undo of AddHideRules);
// the other rules stay as they are. nullopt when written, else why not.
std::optional<QString> RemoveHideRules(const std::string& filterFile,
                                       const std::vector<corvane::FilterRule>& rules);
