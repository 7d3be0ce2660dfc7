#include "tools/commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tools/cli_common.h"
#include "tools/live_session.h"
#include "tools/watch_output.h"

namespace corvane {

int RunWatch(const Options& options) {
  // Before the Monitor, which hands it changes until it is gone.
  RowChangeFeed feed;
  LiveSession live(options);
  Monitor& monitor = live.monitor();
  CatchEndSignals(false);
  if (!live.Open()) return 1;
  const bool jsonl = options.watchFormat == WatchFormat::kJsonl;
  if (jsonl) monitor.SetRowChangeSink(feed.Sink());
  JsonlWriter writer(stdout);
  RateTracker rates;
  bool written = true;
  live.Start();
  using std::chrono::steady_clock;
  auto next = steady_clock::now();
  for (long elapsed = 0; !Interrupted() && written; ++elapsed) {
    if (options.seconds >= 0 && elapsed >= options.seconds) break;
    next += std::chrono::seconds(1);
    // The JSON lines go out as their rows change, whatever the engine's
    // pace; the ticks, the metrics and the text list keep to the second.
    for (auto now = steady_clock::now(); written && !Interrupted() && now < next;
         now = steady_clock::now()) {
      const auto until = std::min(next, now + std::chrono::milliseconds(50));
      if (!jsonl) {
        std::this_thread::sleep_until(until);
        continue;
      }
      const RowChangeFeed::Changes changes = feed.Wait(until);
      written = writer.Write(monitor.list(), changes, steady_clock::now());
    }
    live.Tick(elapsed + 1);
    if (jsonl) continue;
    std::string out = "\n" + FormatWatchList(monitor.list(), rates, steady_clock::now());
    AppendTotals(monitor, out);
    out += "attribution: ";
    out += live.AttributionText();
    out += '\n';
    written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size() &&
              std::fflush(stdout) == 0;
  }
  live.Stop();
  // The rows the last pass changed.
  if (jsonl && written) written = writer.Write(monitor.list(), feed.Wait({}), steady_clock::now());
  if (!written) std::fprintf(stderr, "corvane-cli: can't write to the standard output\n");
  return live.Finish() && written ? 0 : 1;
}

}  // namespace corvane
