// The layer's own view of its windows, menus and message queue: what the files of
// this directory share and nothing outside platform/ includes. Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <vector>

#include "platform/win32/win_window.h"

struct WinMenu {
    GtkWidget *bar;  // a GtkMenuBar, referenced by the menu while off any window
    HWND window;     // the window it is on, or null
};

enum WinWindowKind { win_frame_window, win_dialog_window };

struct WinWindow {
    HWND handle;  // the client area's X window id (a dialog: its own X window's)
    WinWindowKind kind;
    WNDPROC proc;     // frames: the class's procedure
    DLGPROC dlg_proc; // dialogs
    DWORD style, ex_style;

    GtkWidget *toplevel;  // GtkWindow
    GtkWidget *box;       // vertical box: menu bar, then the edge
    GtkWidget *edge;      // the client edge around the client area
    GtkWidget *client;    // GtkDrawingArea with a native window (frames only)
    HMENU menu;

    RECT normal;           // the rectangle while neither minimised nor maximised
    bool iconified, maximized;
    bool destroyed;        // DestroyWindow has run; the record goes when GTK lets go
    bool paint_due;        // the client area was uncovered: WM_PAINT comes next

    bool dialog_ended;
    INT_PTR dialog_result;
};

// The live window behind a handle, or null.
WinWindow *win_window_get(HWND hwnd);
// The layer's top-level windows, in the order made.
const std::vector<WinWindow *> &win_windows();
void win_window_add(WinWindow *w);
void win_window_remove(WinWindow *w);
// The GtkWindow of a window, for owners and transients; null when there is none.
GtkWindow *win_gtk_window(HWND hwnd);

// Applies style, ex_style and the menu to the GTK widgets (decorations, the client
// edge's width).
void win_window_apply_frame(WinWindow *w);
// What the style, menu and extended style add around a client area, in pixels.
void win_frame_extents(DWORD style, bool menu, DWORD ex_style, int *left, int *top, int *right,
                       int *bottom);

// Calls the window's procedure: a frame's, or a dialog's with the dialog's default
// handling (win_dialog.cpp).
LRESULT win_window_call(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT win_dialog_call(WinWindow *w, UINT message, WPARAM wparam, LPARAM lparam);

// Message queue (win_message.cpp).
void win_post(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
// A queued WM_ACTIVATE for that window that says inactive now says minimised too.
void win_mark_queued_deactivation_minimised(HWND hwnd);
// Part of the client area was uncovered and painted black by GTK: the window gets one
// WM_PAINT when the queue holds no posted message, before any timer's WM_TIMER.
void win_invalidate(WinWindow *w);
// Drops the window's queued messages and kills its timers.
void win_forget_window_messages(HWND hwnd);
// Takes (or with remove false, looks at) the next message; waits for one when wait.
bool win_next_message(MSG *msg, bool wait, bool remove);

// Menus (win_menu.cpp): the height GTK gives a menu bar.
int win_menu_bar_height();
void win_menu_detach(WinMenu *menu);

// SDL input on a frame's client area (win_sdl_input.cpp).
void win_sdl_input_attach(WinWindow *w);
// WM_PAINT's default handling: SDL shows its screen surface again, as its own X11 back
// end does on an expose (a hardware overlay's picture is not in it).
void win_sdl_exposed(WinWindow *w);
// The window was minimised (false) or brought back (true).
void win_sdl_app_active(WinWindow *w, bool active);
// Shuts SDL's video down when this window is the one SDL draws into.
void win_sdl_window_going(WinWindow *w);
