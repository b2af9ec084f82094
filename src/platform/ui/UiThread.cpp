#include <gtk/gtk.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/ui/Ui.h"

namespace mv {

std::atomic<GtkWindow*> g_hForeground{nullptr};
std::atomic<GtkWindow*> g_hDlgParent{nullptr};

namespace ui {
namespace {

std::once_flag g_startOnce;
std::mutex g_startMutex;
std::condition_variable g_startDone;
bool g_started = false;
bool g_gtkReady = false;
std::thread::id g_uiThreadId;

bool displayNamed() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            return true;
        }
    }
    return false;
}

void uiThreadMain() {
    // The locale belongs to the whole process and the main thread has set it; GTK must not
    // change it from here while other threads run.
    gtk_disable_setlocale();
    bool ready = gtk_init_check(nullptr, nullptr);
    {
        std::lock_guard lock(g_startMutex);
        g_gtkReady = ready;
        g_started = true;
    }
    g_startDone.notify_all();
    if (ready) {
        gtk_main();  // until the process ends
    }
}

void startUiThread() {
    std::thread ui(uiThreadMain);
    {
        std::lock_guard lock(g_startMutex);
        g_uiThreadId = ui.get_id();
    }
    // The UI thread serves the whole process and ends with it.
    ui.detach();
    std::unique_lock lock(g_startMutex);
    g_startDone.wait(lock, [] { return g_started; });
}

gboolean runPosted(gpointer data) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
    (*work)();
    return G_SOURCE_REMOVE;
}

bool windowAlive(GtkWindow* window) {
    if (window == nullptr) {
        return false;
    }
    GList* windows = gtk_window_list_toplevels();
    bool alive = g_list_find(windows, window) != nullptr;
    g_list_free(windows);
    return alive;
}

// The state of one modal request, shared by the waiting thread and the UI thread.
struct ModalCall {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    int result = RESULT_CANCEL;
    // UI thread only:
    bool finished = false;
    bool building = false;
    bool finishedEarly = false;
    int pending = RESULT_CANCEL;
    GtkWidget* window = nullptr;
};

void answer(const std::shared_ptr<ModalCall>& call, int result) {
    if (call->window != nullptr) {
        gtk_widget_destroy(call->window);
        call->window = nullptr;
    }
    {
        std::lock_guard lock(call->mutex);
        call->result = result;
        call->done = true;
    }
    call->answered.notify_all();
}

}  // namespace

bool hasDisplay() {
    if (!displayNamed()) {
        return false;
    }
    std::call_once(g_startOnce, startUiThread);
    std::lock_guard lock(g_startMutex);
    return g_gtkReady;
}

bool onUiThread() {
    std::lock_guard lock(g_startMutex);
    return g_started && std::this_thread::get_id() == g_uiThreadId;
}

void post(std::function<void()> work) {
    if (!hasDisplay()) {
        return;
    }
    g_idle_add_full(G_PRIORITY_DEFAULT, runPosted, new std::function<void()>(std::move(work)),
                    nullptr);
}

int runModal(GtkWindow* owner, std::function<GtkWidget*(GtkWindow* owner, Finish finish)> build) {
    if (!hasDisplay() || onUiThread()) {
        return RESULT_CANCEL;
    }
    auto call = std::make_shared<ModalCall>();
    post([call, owner, build = std::move(build)] {
        Finish finish = [call](int result) {
            if (call->finished) {
                return;
            }
            call->finished = true;
            if (call->building) {
                // The builder itself gave up; the window it returns is destroyed after it.
                call->pending = result;
                call->finishedEarly = true;
                return;
            }
            answer(call, result);
        };
        call->building = true;
        GtkWidget* window = build(windowAlive(owner) ? owner : nullptr, finish);
        call->building = false;
        call->window = window;
        if (call->finishedEarly || window == nullptr) {
            call->finished = true;
            answer(call, call->finishedEarly ? call->pending : RESULT_CANCEL);
        }
    });
    std::unique_lock lock(call->mutex);
    call->answered.wait(lock, [&] { return call->done; });
    return call->result;
}

int runDialog(GtkWindow* owner, std::function<GtkDialog*(GtkWindow* owner)> build) {
    return runModal(owner, [build = std::move(build)](GtkWindow* owner, Finish finish) {
        GtkDialog* dialog = build(owner);
        if (dialog == nullptr) {
            return static_cast<GtkWidget*>(nullptr);
        }
        auto* handler = new Finish(std::move(finish));
        g_signal_connect_data(
            dialog, "response", G_CALLBACK(+[](GtkDialog*, gint response, gpointer data) {
                // Escape and the window frame's close give GTK_RESPONSE_DELETE_EVENT.
                (*static_cast<Finish*>(data))(response > 0 ? response : RESULT_CANCEL);
            }),
            handler, [](gpointer data, GClosure*) { delete static_cast<Finish*>(data); },
            GConnectFlags(0));
        gtk_widget_show_all(GTK_WIDGET(dialog));
        return GTK_WIDGET(dialog);
    });
}

void placeDialog(GtkWindow* window, GtkWindow* owner) {
    if (owner != nullptr) {
        gtk_window_set_transient_for(window, owner);
        gtk_window_set_position(window, GTK_WIN_POS_CENTER_ON_PARENT);
    } else {
        gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    }
    gtk_window_set_keep_above(window, TRUE);
    gtk_window_set_modal(window, TRUE);
}

}  // namespace ui
}  // namespace mv
