// The progress window's start-and-close protocol without a display: each command of a run opens
// and closes a window of its own, on a thread of its own, and the next may start before the
// previous thread has ended.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/ui/MainWnd.h"
#include "support/TestSupport.h"

namespace {

TEST(MainWnd, windowsOpenedAndClosedBackToBack_everyThreadEnds) {
    mv::test::ScopedEnv display{"DISPLAY", std::nullopt}, wayland{"WAYLAND_DISPLAY", std::nullopt};
    std::vector<std::thread> windows;
    std::vector<mv::MainWndThreadArg> args(500);
    for (mv::MainWndThreadArg& arg : args) {
        windows.emplace_back(mv::runMainWnd, &arg);
        mv::waitMainWndShown();
        mv::closeMainWnd();
    }
    mv::closeMainWnd();  // a close with no window up, as at the end of a WebSocket run
    for (std::thread& window : windows) {
        window.join();  // hangs if a close was lost
    }
}

}  // namespace
