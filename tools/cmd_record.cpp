// corvane-cli record: one program's datagrams into a new pcapng file, for
// --seconds or until Ctrl-C (see engine/program_recorder.h).
#include "tools/commands.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "tools/live_session.h"
#include "engine/program_recorder.h"

namespace corvane {

int RunRecord(const Options& options) {
  LiveSession live(options);
  CatchEndSignals(true);
  if (!live.Open()) return 1;
  // Declared after the session: it outlives no capture, and the capture
  // stops (live.Stop) before it finishes.
  ProgramRecorder recorder(live.monitor(), options.program);
  if (Status created =
          recorder.Create(options.file, live.interfaceName(), "corvane-cli " CORVANE_VERSION);
      !created) {
    std::fprintf(stderr, "corvane-cli: %s\n", created.reason.c_str());
    live.Stop();
    (void)live.Finish();
    return 1;
  }
  live.monitor().SetDatagramObserver(recorder.Observer());
  live.Start();
  std::fprintf(stderr, "recording %s on %s into %s\n", options.program.c_str(),
               live.interfaceName().c_str(), options.file.c_str());
  Status written;
  using std::chrono::steady_clock;
  const auto start = steady_clock::now();
  auto nextTick = start + std::chrono::seconds(1);
  for (long elapsed = 0; !Interrupted() && written;) {
    if (options.seconds >= 0 && steady_clock::now() - start >= std::chrono::seconds(options.seconds)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (steady_clock::now() >= nextTick) {
      nextTick += std::chrono::seconds(1);
      live.Tick(++elapsed);
    }
    written = recorder.Flush();
  }
  live.Stop();
  const Status finished = recorder.Finish();
  if (written) written = finished;
  if (!written) std::fprintf(stderr, "corvane-cli: %s\n", written.reason.c_str());
  std::fprintf(stderr, "corvane-cli: %llu datagrams of %s written to %s",
               static_cast<unsigned long long>(recorder.written()), options.program.c_str(),
               options.file.c_str());
  if (recorder.undecided() > 0) {
    std::fprintf(stderr, "; %llu whose program was not known yet left out",
                 static_cast<unsigned long long>(recorder.undecided()));
  }
  std::fputs("\n", stderr);
  return live.Finish() && written ? 0 : 1;
}

}  // namespace corvane
