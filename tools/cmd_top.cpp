// corvane-cli top: the live traffic by program or by remote host, full
// screen, redrawn once a second (ncurses). Keys: g switches program/host;
// d, u, t, n sort by download rate, upload rate, total bytes, name; / edits
// the filter (Enter keeps it, Esc drops it); p or space pauses the screen
// (counting goes on); q quits. Names go through ClipToColumns, so no
// program or host name reaches the terminal as a control sequence.
//
// Without a terminal on stdin and stdout (a pipe, a file, systemd), or on a
// terminal ncurses does not know, top prints what watch prints.
#include "tools/commands.h"

#include <langinfo.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/live_session.h"
#include "tools/top_view.h"
#include "tools/watch_output.h"
#include "vocabulary/text_format.h"

// Last: they define macros with common names (columns, lines).
#include <curses.h>
#include <term.h>

namespace corvane {
namespace {

// What the screen shows and how.
struct TopState {
  TopGrouping grouping = TopGrouping::kProgram;
  TopSort sort = TopSort::kDownloadRate;
  std::string filter;
  bool editing = false;  // the filter is being typed
  std::string typed;
  bool paused = false;
  bool quit = false;
  // The last snapshot and its rates, one per row.
  std::vector<TopRow> rows;
  std::vector<ByteRates> rates;
  std::vector<TopEntry> entries;
};

const char* SortText(TopSort sort) {
  switch (sort) {
    case TopSort::kDownloadRate: return "download rate";
    case TopSort::kUploadRate: return "upload rate";
    case TopSort::kTotal: return "total";
    case TopSort::kName: return "name";
  }
  return "";
}

void Aggregate(TopState& state) {
  state.entries = AggregateTop(state.rows, state.rates, state.grouping, state.filter, state.sort);
}

// Reads the list once and works out each row's rates.
void TakeSnapshot(const TrafficList& list, RateTracker& tracker, TopState& state) {
  state.rows = SnapshotTopRows(list);
  const auto now = std::chrono::steady_clock::now();
  std::vector<RowKey> keys;
  state.rates.clear();
  for (const TopRow& row : state.rows) {
    state.rates.push_back(tracker.Observe(row.key, row.values, now));
    keys.push_back(row.key);
  }
  tracker.KeepOnly(keys);
  Aggregate(state);
}

void HandleFilterKey(int key, TopState& state) {
  if (key == '\n' || key == '\r' || key == KEY_ENTER) {
    state.filter = state.typed;
    state.editing = false;
  } else if (key == 27) {  // Esc
    state.filter.clear();
    state.editing = false;
  } else if (key == KEY_BACKSPACE || key == 127 || key == 8) {
    if (!state.typed.empty()) state.typed.pop_back();
  } else if (key >= 0x20 && key < 0x7f && state.typed.size() < 64) {
    state.typed += static_cast<char>(key);
  }
}

void HandleKey(int key, TopState& state) {
  if (state.editing) return HandleFilterKey(key, state);
  switch (key) {
    case 'q': case 'Q': state.quit = true; break;
    case 'g': case 'G':
      state.grouping =
          state.grouping == TopGrouping::kProgram ? TopGrouping::kHost : TopGrouping::kProgram;
      break;
    case 'd': state.sort = TopSort::kDownloadRate; break;
    case 'u': state.sort = TopSort::kUploadRate; break;
    case 't': state.sort = TopSort::kTotal; break;
    case 'n': state.sort = TopSort::kName; break;
    case 'p': case ' ': state.paused = !state.paused; break;
    case '/':
      state.editing = true;
      state.typed = state.filter;
      break;
    default: return;
  }
}

// One line at `y`, cut to the screen's width; a reversed line fills it.
void Line(int y, const std::string& text, bool utf8, attr_t attributes = A_NORMAL) {
  if (y >= LINES || COLS <= 0) return;
  const std::string shown = ClipToColumns(text, COLS, utf8, (attributes & A_REVERSE) != 0);
  attron(attributes);
  mvaddstr(y, 0, shown.c_str());
  attroff(attributes);
}

// `text` right-aligned in `width` columns, and a blank.
std::string Cell(const std::string& text, size_t width) {
  return (text.size() >= width ? text : std::string(width - text.size(), ' ') + text) + ' ';
}

void Draw(const TopState& state, const char* interfaceName, const char* attribution, bool utf8) {
  erase();
  const bool byProgram = state.grouping == TopGrouping::kProgram;
  std::string title = std::string(" corvane-cli top   by ") + (byProgram ? "program" : "remote host") +
                      "   sort: " + SortText(state.sort) + "   interface: " + interfaceName +
                      "   attribution: " + attribution + (state.paused ? "   PAUSED" : "");
  Line(0, title, utf8, A_REVERSE);
  ByteRates total;
  uint64_t download = 0;
  uint64_t upload = 0;
  for (const TopEntry& entry : state.entries) {
    total.download += entry.rates.download;
    total.upload += entry.rates.upload;
    download += entry.download;
    upload += entry.upload;
  }
  std::string summary = " down " + FormatRate(total.download) + "   up " + FormatRate(total.upload) +
                        "   downloaded " + FormatByteCount(download) + "   uploaded " +
                        FormatByteCount(upload);
  if (!state.filter.empty()) summary += "   filter: " + state.filter;
  Line(1, summary, utf8);
  const int nameWidth = std::max(8, COLS - 53);
  const std::string nameHeader = byProgram ? "PROGRAM" : "REMOTE HOST";
  std::string header = nameHeader + std::string(nameWidth + 1 - nameHeader.size(), ' ') +
                       Cell("DOWN/S", 11) + Cell("UP/S", 11) + Cell("DOWNLOAD", 10) +
                       Cell("UPLOAD", 10) + Cell(byProgram ? "HOSTS" : "PROGS", 6);
  Line(2, header, utf8, A_BOLD);
  int y = 3;
  for (const TopEntry& entry : state.entries) {
    if (y >= LINES - 1) break;
    std::string line = ClipToColumns(entry.name, nameWidth, utf8, true) + ' ' +
                       Cell(FormatRate(entry.rates.download), 11) +
                       Cell(FormatRate(entry.rates.upload), 11) +
                       Cell(FormatByteCount(entry.download), 10) +
                       Cell(FormatByteCount(entry.upload), 10) +
                       Cell(std::to_string(entry.others), 6);
    Line(y++, line, utf8);
  }
  const std::string help = state.editing ? "/" + state.typed + "_   Enter keeps, Esc clears"
                                         : " q quit   g program/host   d u t n sort   / filter   p pause";
  Line(LINES - 1, help, utf8, state.editing ? A_BOLD : A_NORMAL);
  refresh();
}

// The full-screen terminal of one run. What goes to stderr meanwhile
// (the engine's messages) is held in a temporary file and printed once
// the terminal is restored, so it never scribbles over the screen.
class Screen {
 public:
  ~Screen() { End(); }
  bool Start() {
    if (::isatty(STDERR_FILENO) && (held_ = std::tmpfile()) != nullptr) {
      std::fflush(stderr);
      savedError_ = ::dup(STDERR_FILENO);
      if (savedError_ >= 0) ::dup2(::fileno(held_), STDERR_FILENO);
    }
    screen_ = ::newterm(nullptr, stdout, stdin);
    if (screen_ == nullptr) return false;
    ::cbreak();
    ::noecho();
    ::nonl();
    ::keypad(stdscr, TRUE);
    ::curs_set(0);
    ::set_escdelay(25);
    ::timeout(100);
    return true;
  }
  void End() {
    if (screen_ != nullptr) {
      ::endwin();
      ::delscreen(screen_);
      screen_ = nullptr;
    }
    if (savedError_ >= 0) {
      std::fflush(stderr);
      ::dup2(savedError_, STDERR_FILENO);
      ::close(savedError_);
      savedError_ = -1;
    }
    if (held_ != nullptr) {
      std::rewind(held_);
      char buffer[4096];
      while (size_t n = std::fread(buffer, 1, sizeof buffer, held_)) std::fwrite(buffer, 1, n, stderr);
      std::fclose(held_);
      held_ = nullptr;
    }
  }

 private:
  SCREEN* screen_ = nullptr;
  std::FILE* held_ = nullptr;
  int savedError_ = -1;
};

}  // namespace

int RunTop(const Options& options) {
  if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) return RunWatch(options);
  // A terminal ncurses does not know gets the text too.
  if (int known = 0; ::setupterm(nullptr, STDOUT_FILENO, &known) != OK) {
    std::fprintf(stderr, "corvane-cli: this terminal cannot show top; printing the list instead\n");
    return RunWatch(options);
  }
  ::del_curterm(cur_term);
  std::setlocale(LC_ALL, "");
  const bool utf8 = std::strcmp(::nl_langinfo(CODESET), "UTF-8") == 0;
  LiveSession live(options);
  CatchEndSignals(true);
  if (!live.Open()) return 1;
  live.Start();
  Screen screen;
  if (!screen.Start()) {
    screen.End();
    live.Stop();
    std::fprintf(stderr, "corvane-cli: can't set up the terminal\n");
    (void)live.Finish();
    return 1;
  }
  TopState state;
  RateTracker tracker;
  const std::string interfaceName = live.interfaceName();
  using std::chrono::steady_clock;
  auto next = steady_clock::now();
  for (long elapsed = 0; !Interrupted() && !state.quit;) {
    if (steady_clock::now() >= next) {
      if (options.seconds >= 0 && elapsed >= options.seconds) break;
      next += std::chrono::seconds(1);
      if (elapsed > 0) live.Tick(elapsed);
      ++elapsed;
      if (!state.paused) TakeSnapshot(live.monitor().list(), tracker, state);
      Draw(state, interfaceName.c_str(), live.AttributionText(), utf8);
    }
    const int key = ::getch();  // waits at most 100 ms
    if (key == ERR) continue;
    if (key != KEY_RESIZE) HandleKey(key, state);
    Aggregate(state);
    Draw(state, interfaceName.c_str(), live.AttributionText(), utf8);
  }
  screen.End();
  live.Stop();
  return live.Finish() ? 0 : 1;
}

}  // namespace corvane
