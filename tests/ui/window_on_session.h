// A main window on a monitor's session of its own, for tests that run one of
// the window's commands without starting it: every file in `directory`, the
// system environment with a manual clock at 0.
#pragma once

#include <string>

#include "platform/clock.h"
#include "support/test_env.h"
#include "ui/CMainDlg.h"
#include "ui/MonitorSession.h"

namespace window_test {

struct WindowOnSession {
  explicit WindowOnSession(const std::string& directory) : session(env, directory), window(session) {}

  corvane::ManualClock clock{0};
  corvane::testing::TestEnv env{clock};
  MonitorSession session;
  CMainDlg window;
};

}  // namespace window_test
