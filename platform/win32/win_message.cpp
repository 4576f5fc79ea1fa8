// The thread's message queue, its loop calls and the timers.
#include <algorithm>
#include <deque>
#include <vector>

#include "platform/win32/win_window_state.h"

namespace {

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    TIMERPROC proc;
    guint source;
    bool due;
};

// Never destroyed: a thread that ends the process runs the static destructors while
// the main loop may still be taking messages.
std::deque<MSG> &posted = *new std::deque<MSG>;
bool quit_pending;
int quit_code;
std::vector<Timer *> &timers = *new std::vector<Timer *>;
// Ids for timers of no window, out of the way of ids a program picks.
UINT_PTR next_free_timer_id = 0x7F00;

// Windows raises shorter periods to this.
constexpr UINT timer_minimum_ms = 10;

DWORD now_ms()
{
    return (DWORD)(g_get_monotonic_time() / 1000);
}

gboolean on_timer(gpointer data)
{
    ((Timer *)data)->due = true;
    return G_SOURCE_CONTINUE;
}

void drop_timer(std::vector<Timer *>::iterator it)
{
    g_source_remove((*it)->source);
    delete *it;
    timers.erase(it);
}

std::vector<Timer *>::iterator find_timer(HWND hwnd, UINT_PTR id)
{
    return std::find_if(timers.begin(), timers.end(),
                        [&](Timer *t) { return t->hwnd == hwnd && t->id == id; });
}

bool take(MSG *msg, bool remove)
{
    if (!posted.empty()) {
        *msg = posted.front();
        if (remove)
            posted.pop_front();
        return true;
    }
    if (quit_pending) {
        *msg = MSG{nullptr, WM_QUIT, (WPARAM)quit_code, 0, now_ms(), {0, 0}};
        if (remove)
            quit_pending = false;
        return true;
    }
    // Windows gives WM_PAINT after the posted messages and before the timers; taking
    // it validates the window (there is no BeginPaint here).
    for (WinWindow *w : win_windows()) {
        if (!w->paint_due || w->destroyed)
            continue;
        *msg = MSG{w->handle, WM_PAINT, 0, 0, now_ms(), {0, 0}};
        if (remove) {
            w->paint_due = false;
            // GTK's black reaches the server before what the window paints: SDL draws
            // through a connection of its own, and would otherwise be painted over.
            gdk_display_sync(gtk_widget_get_display(w->toplevel));
        }
        return true;
    }
    for (Timer *t : timers) {
        if (!t->due)
            continue;
        *msg = MSG{t->hwnd, WM_TIMER, t->id, (LPARAM)t->proc, now_ms(), {0, 0}};
        if (remove)
            t->due = false;
        return true;
    }
    return false;
}

}  // namespace

void win_post(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    posted.push_back(MSG{hwnd, message, wparam, lparam, now_ms(), {0, 0}});
    g_main_context_wakeup(nullptr);
}

void win_invalidate(WinWindow *w)
{
    w->paint_due = true;
    g_main_context_wakeup(nullptr);
}

void win_mark_queued_deactivation_minimised(HWND hwnd)
{
    for (MSG &m : posted)
        if (m.hwnd == hwnd && m.message == WM_ACTIVATE && LOWORD(m.wParam) == WA_INACTIVE)
            m.wParam = MAKEWPARAM(WA_INACTIVE, 1);
}

void win_forget_window_messages(HWND hwnd)
{
    posted.erase(std::remove_if(posted.begin(), posted.end(), [&](const MSG &m) { return m.hwnd == hwnd; }),
                 posted.end());
    for (auto it = timers.begin(); it != timers.end();) {
        if ((*it)->hwnd == hwnd) {
            drop_timer(it);
            it = timers.begin();
        } else {
            ++it;
        }
    }
}

bool win_next_message(MSG *msg, bool wait, bool remove)
{
    for (;;) {
        // GTK's pending work first, so a loop that always has a message due (a slow
        // timer) still lets the windows and the web engine run.
        for (int i = 0; i < 200 && g_main_context_iteration(nullptr, FALSE); i++) {
        }
        if (take(msg, remove))
            return true;
        if (!wait)
            return false;
        g_main_context_iteration(nullptr, TRUE);
    }
}

BOOL GetMessageW(MSG *msg, HWND, UINT, UINT)
{
    if (!msg)
        return -1;
    win_next_message(msg, true, true);
    return msg->message != WM_QUIT;
}

BOOL PeekMessageW(MSG *msg, HWND, UINT, UINT, UINT remove)
{
    if (!msg)
        return FALSE;
    return win_next_message(msg, false, (remove & PM_REMOVE) != 0);
}

BOOL TranslateMessage(const MSG *msg)
{
    return msg != nullptr;
}

LRESULT DispatchMessageW(const MSG *msg)
{
    if (!msg)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        ((TIMERPROC)msg->lParam)(msg->hwnd, WM_TIMER, (UINT_PTR)msg->wParam, msg->time);
        return 0;
    }
    return win_window_call(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    return win_window_call(hwnd, message, wparam, lparam);
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (hwnd && !win_window_get(hwnd))
        return FALSE;
    win_post(hwnd, message, wparam, lparam);
    return TRUE;
}

void PostQuitMessage(int exit_code)
{
    quit_pending = true;
    quit_code = exit_code;
    g_main_context_wakeup(nullptr);
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc)
{
    if (hwnd && !win_window_get(hwnd))
        return 0;
    if (!hwnd)
        id = next_free_timer_id++;
    auto old = find_timer(hwnd, id);
    if (old != timers.end())
        drop_timer(old);
    Timer *t = new Timer{hwnd, id, proc, 0, false};
    t->source = g_timeout_add(std::max(elapse, timer_minimum_ms), on_timer, t);
    timers.push_back(t);
    return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id)
{
    auto it = find_timer(hwnd, id);
    if (it == timers.end())
        return FALSE;
    drop_timer(it);
    return TRUE;
}
