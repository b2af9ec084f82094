#pragma once

#include <atomic>
#include <functional>

// The dialog host. GTK 3 runs on one UI thread of its own, started on the first request; every
// other thread asks it for a dialog and waits for the answer, so a dialog is modal from the view
// of the thread that asked for it, as a Windows dialog box is for the thread that runs it.
//
// Without a display (DISPLAY and WAYLAND_DISPLAY unset, or GTK cannot open either) no window is
// ever shown: every modal request answers RESULT_CANCEL at once without calling its builder.
//
// Building a dialog on this layer:
//
//     int r = mv::ui::runDialog(mv::g_hDlgParent.load(), [&](GtkWindow* owner) {
//         GtkWidget* dlg = gtk_dialog_new();                  // runs on the UI thread
//         mv::ui::placeDialog(GTK_WINDOW(dlg), owner);
//         gtk_dialog_add_button(GTK_DIALOG(dlg), "OK", mv::ui::RESULT_OK);
//         ...
//         return GTK_DIALOG(dlg);                             // shown and destroyed by the layer
//     });
//
// Texts must be converted to UTF-8 before the builder is posted: the thread's ANSI code page is a
// property of the calling thread, and the builder runs on another one.

typedef struct _GtkWindow GtkWindow;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkDialog GtkDialog;

namespace mv {

// Owners of the program's dialogs. `g_hForeground` is the window that was in the foreground when
// the program started; Linux gives no way to learn it, so it stays null and dialogs without an
// owner are centred on the screen and kept above other windows. `g_hDlgParent` is the progress
// window while that is up, otherwise `g_hForeground`. Both are only ever handed to this layer as
// owners: it checks that the window still exists before it uses one.
extern std::atomic<GtkWindow*> g_hForeground;
extern std::atomic<GtkWindow*> g_hDlgParent;

namespace ui {

inline constexpr int RESULT_OK = 1;
inline constexpr int RESULT_CANCEL = 2;

// Ends a modal run with its result. Call it on the UI thread; calls after the first are ignored.
using Finish = std::function<void(int result)>;

// True when dialogs can be shown: a display is named and GTK opened it (the UI thread is started
// on the first call).
bool hasDisplay();

// Runs `build` on the UI thread with `owner` (null when it is null or no longer exists) and a
// Finish; `build` creates and shows its window and returns it. The calling thread waits until
// `finish` is called, the layer then destroys the returned window, and the result is returned.
// `build` returning null counts as RESULT_CANCEL. Without a display: RESULT_CANCEL, `build` is
// not called. Must not be called on the UI thread itself (it would wait for itself).
int runModal(GtkWindow* owner, std::function<GtkWidget*(GtkWindow* owner, Finish finish)> build);

// runModal for a GtkDialog: shows it and returns its response id; closing it by Escape or by its
// window frame answers RESULT_CANCEL, like IDCANCEL on Windows.
int runDialog(GtkWindow* owner, std::function<GtkDialog*(GtkWindow* owner)> build);

// Runs `work` on the UI thread without waiting; dropped without a display.
void post(std::function<void()> work);

// True on the UI thread.
bool onUiThread();

// Makes `window` a dialog of `owner`: transient for it and centred on it, or, without an owner,
// centred on the screen. Either way it is kept above other windows (the Windows dialogs are
// topmost).
void placeDialog(GtkWindow* window, GtkWindow* owner);

}  // namespace ui
}  // namespace mv
