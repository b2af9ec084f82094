#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/ui/Ui.h"

namespace mv {

class WsServer;

// What the progress-window thread is started with. Only `owner` is read here.
struct MainWndThreadArg {
    GtkWindow* owner = nullptr;
    WsServer* server = nullptr;
};

// The progress window: always on top, no title bar, a status line and a "中断" button. The
// button and Escape ask CConfDlg; a confirmed abort ends the process at once with exit code 1.
// One object, `g_mainWnd`, serves every progress window of the process, one at a time. Its window
// lives on the UI thread; other threads reach it only through the functions below.
class CMainWnd {
public:
    // UI thread: builds and shows the window, publishes it as `g_hDlgParent`.
    GtkWidget* create(GtkWindow* owner, ui::Finish finish);
    // UI thread: the "中断" button or Escape.
    void onCancel();
    // UI thread: ends the window with `result` (1 closed by the program, 2 abort confirmed).
    void end(int result);
    // UI thread: the status line, UTF-8.
    void setStatus(const std::string& text);

    // Shared with the threads that start, wait for and close the window. A run counts as closed
    // once `closes` has moved past the value it started with: a flag reset by each new run would
    // lose a close that the previous run's thread has not woken up for yet.
    std::mutex mutex;
    std::condition_variable changed;
    bool shown = false;          // the window is up, or it never will be; false again once closed
    unsigned long closes = 0;    // calls of closeMainWnd so far
    unsigned long openedAt = 0;  // `closes` when the current run started

private:
    GtkWidget* window = nullptr;
    GtkWidget* status = nullptr;
    GtkWidget* focus = nullptr;
    GtkWidget* confirm = nullptr;
    ui::Finish finish;
};

extern CMainWnd g_mainWnd;

// Thread body of the progress window: shows it owned by `arg->owner` and returns 0 when it has
// been closed with closeMainWnd. A confirmed abort does not return: the process ends with exit
// code 1 (no destructor runs, so nothing races the other threads). Without a display there is no
// window and it returns as soon as closeMainWnd is called.
int runMainWnd(MainWndThreadArg* arg);

// Waits until the window started by runMainWnd is up (then `g_hDlgParent` names it) or will
// never be (no display). Use this rather than polling `g_hDlgParent`: `g_hForeground` is null on
// Linux, so a null owner does not mean "not up yet".
void waitMainWndShown();

// Ends the progress window with 1 and sets `g_hDlgParent` to `g_hForeground`. Harmless when no
// window is up.
void closeMainWnd();

// The status line of the progress window; no visible effect when no window is up.
void setMainWndStatus(const char16_t* text);

}  // namespace mv
