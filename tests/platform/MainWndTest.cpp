// The progress window's start-and-close protocol without a display: each command of a run opens
// and closes a window of its own, on a thread of its own, and the next may start before the
// previous thread has ended.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/ui/MainWnd.h"
#include "support/TestSupport.h"

namespace {

TEST(MainWnd, windowsOpenedAndClosedBackToBack_everyThreadEnds) {
    mv::test::ScopedEnv display{"DISPLAY", std::nullopt}, wayland{"WAYLAND_DISPLAY", std::nullopt};
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    // Detached and owning all it uses: a lost close leaves it waiting after the test has failed.
    std::thread([done = std::move(done)]() mutable {
        auto run = [](int count) {
            std::vector<mv::MainWndThreadArg> args(count);
            std::vector<std::thread> windows;
            for (mv::MainWndThreadArg& arg : args) {
                windows.emplace_back(mv::runMainWnd, &arg);
                mv::waitMainWndShown();
                mv::closeMainWnd();
            }
            for (std::thread& window : windows) {
                window.join();
            }
        };
        run(500);
        mv::closeMainWnd();  // a close with no window up, as at the end of a WebSocket run
        run(1);
        done.set_value();
    }).detach();
    EXPECT_EQ(finished.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "a window thread still waits: a close was lost";
}

}  // namespace
