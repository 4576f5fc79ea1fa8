// Window classes and top-level windows: creation, destruction, showing, styles and
// the default window procedure.
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/win_gtk.h"
#include "platform/win32/win_resource.h"
#include "platform/win32/win_text.h"
#include "platform/win32/win_window_state.h"

namespace {

struct WinClass {
    std::wstring name;
    WNDCLASSEXW wc;
};

// Never destroyed, so that an exit from another thread leaves them to the main loop.
std::vector<WinClass> &classes = *new std::vector<WinClass>;
std::vector<WinWindow *> &windows = *new std::vector<WinWindow *>;
bool signals_set;

const WinClass *find_class(LPCWSTR name)
{
    if (!name || IS_INTRESOURCE(name))
        return nullptr;
    for (const WinClass &c : classes)
        if (c.name == name)
            return &c;
    return nullptr;
}

HWND handle_of(GdkWindow *window)
{
    return (HWND)(uintptr_t)gdk_x11_window_get_xid(window);
}

gboolean on_delete(GtkWidget *, GdkEvent *, gpointer data)
{
    win_post((HWND)data, WM_CLOSE, 0, 0);
    return TRUE;  // the window goes only through DestroyWindow
}

void on_active(GObject *toplevel, GParamSpec *, gpointer data)
{
    HWND hwnd = (HWND)data;
    WinWindow *w = win_window_get(hwnd);
    if (!w)
        return;
    if (gtk_window_is_active(GTK_WINDOW(toplevel)))
        win_post(hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
    else
        win_post(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, w->iconified ? 1 : 0), 0);
}

gboolean on_window_state(GtkWidget *, GdkEventWindowState *event, gpointer data)
{
    HWND hwnd = (HWND)data;
    WinWindow *w = win_window_get(hwnd);
    if (!w)
        return FALSE;
    bool iconified = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
    w->maximized = (event->new_window_state & GDK_WINDOW_STATE_MAXIMIZED) != 0;
    if (iconified != w->iconified) {
        w->iconified = iconified;
        // The window manager may tell of the focus before it tells of the minimising.
        if (iconified)
            win_mark_queued_deactivation_minimised(hwnd);
        win_sdl_app_active(w, !iconified);
    }
    return FALSE;
}

gboolean on_configure(GtkWidget *toplevel, GdkEventConfigure *, gpointer data)
{
    WinWindow *w = win_window_get((HWND)data);
    if (w && !w->iconified && !w->maximized) {
        int x, y, cx, cy;
        gtk_window_get_position(GTK_WINDOW(toplevel), &x, &y);
        gtk_window_get_size(GTK_WINDOW(toplevel), &cx, &cy);
        w->normal = {x, y, x + cx, y + cy};
    }
    return FALSE;
}

// Windows activates a window it shows; without a window manager nobody else would
// give it the keyboard.
gboolean on_first_map(GtkWidget *toplevel, GdkEvent *, gpointer)
{
    g_signal_handlers_disconnect_by_func(toplevel, (gpointer)on_first_map, nullptr);
    gtk_window_present(GTK_WINDOW(toplevel));
    return FALSE;
}

// SDL draws into the client area. GTK paints an uncovered part once more after this,
// over anything drawn here, so it paints black (never the theme's white), and the window
// gets WM_PAINT once GTK is done, to draw its picture again.
gboolean on_client_draw(GtkWidget *, cairo_t *cr, gpointer data)
{
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    if (WinWindow *w = win_window_get((HWND)data))
        win_invalidate(w);
    return TRUE;
}

void set_class_icons(GtkWindow *toplevel, const WNDCLASSEXW &wc)
{
    GList *icons = nullptr;
    if (wc.hIcon)
        icons = g_list_append(icons, (gpointer)wc.hIcon);
    if (wc.hIconSm)
        icons = g_list_append(icons, (gpointer)wc.hIconSm);
    if (icons)
        gtk_window_set_icon_list(toplevel, icons);
    g_list_free(icons);
}

gboolean on_close_signal(gpointer)
{
    for (WinWindow *w : windows)
        if (w->kind == win_frame_window)
            win_post(w->handle, WM_CLOSE, 0, 0);
    return G_SOURCE_CONTINUE;
}

}  // namespace

// ---- the layer's window list ----

WinWindow *win_window_get(HWND hwnd)
{
    if (!hwnd)
        return nullptr;
    for (WinWindow *w : windows)
        if (w->handle == hwnd)
            return w;
    return nullptr;
}

const std::vector<WinWindow *> &win_windows()
{
    return windows;
}

void win_window_add(WinWindow *w)
{
    windows.push_back(w);
}

void win_window_remove(WinWindow *w)
{
    windows.erase(std::remove(windows.begin(), windows.end(), w), windows.end());
}

GtkWindow *win_gtk_window(HWND hwnd)
{
    WinWindow *w = win_window_get(hwnd);
    return w ? GTK_WINDOW(w->toplevel) : nullptr;
}

void win_window_apply_frame(WinWindow *w)
{
    gtk_window_set_decorated(GTK_WINDOW(w->toplevel), (w->style & WS_CAPTION) != 0);
    if (w->edge) {
        int left, top, right, bottom;
        win_frame_extents(0, false, w->ex_style, &left, &top, &right, &bottom);
        gtk_container_set_border_width(GTK_CONTAINER(w->edge), (guint)left);
    }
}

LRESULT win_window_call(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w)
        return 0;
    if (w->kind == win_dialog_window)
        return win_dialog_call(w, message, wparam, lparam);
    return w->proc ? w->proc(hwnd, message, wparam, lparam) : 0;
}

// ---- classes ----

ATOM RegisterClassExW(const WNDCLASSEXW *wc)
{
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXW) || !wc->lpfnWndProc || !wc->lpszClassName ||
        IS_INTRESOURCE(wc->lpszClassName) || !*wc->lpszClassName || find_class(wc->lpszClassName))
        return 0;
    classes.push_back({wc->lpszClassName, *wc});
    // Atoms of registered classes start where Windows' do.
    return (ATOM)(0xC000 + classes.size() - 1);
}

// ---- windows ----

HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE,
                     void *param)
{
    const WinClass *cls = find_class(class_name);
    if (!cls || parent || !win_gtk_init())
        return nullptr;
    const WNDCLASSEXW wc = cls->wc;

    WinWindow *w = new WinWindow();
    w->kind = win_frame_window;
    w->proc = wc.lpfnWndProc;
    w->style = style;
    w->ex_style = ex_style;

    w->toplevel = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow *toplevel = GTK_WINDOW(w->toplevel);
    gtk_window_set_title(toplevel, win_utf8_from_wide(title).c_str());
    set_class_icons(toplevel, wc);
    w->box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(w->toplevel), w->box);
    w->edge = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_box_pack_end(GTK_BOX(w->box), w->edge, TRUE, TRUE, 0);
    w->client = gtk_drawing_area_new();
    gtk_box_pack_start(GTK_BOX(w->edge), w->client, TRUE, TRUE, 0);
    gtk_widget_set_app_paintable(w->client, TRUE);
    gtk_widget_set_can_focus(w->client, TRUE);
    gtk_widget_show_all(w->box);

    if (width == CW_USEDEFAULT) {
        width = 640;
        height = 480;
    }
    gtk_window_set_default_size(toplevel, std::max(width, 1), std::max(height, 1));
    if (x != CW_USEDEFAULT)
        gtk_window_move(toplevel, x, y);
    else
        x = y = 0;

    // The client area's own X window is the window's identity, and SDL's target.
    gtk_widget_realize(w->client);
    GdkWindow *client_window = gtk_widget_get_window(w->client);
    if (!client_window || !GDK_IS_X11_WINDOW(client_window) || !gdk_window_ensure_native(client_window)) {
        gtk_widget_destroy(w->toplevel);
        delete w;
        return nullptr;
    }
    if (wc.hCursor) {
        GdkCursor *arrow = gdk_cursor_new_from_name(gdk_window_get_display(client_window), "default");
        gdk_window_set_cursor(client_window, arrow);
        if (arrow)
            g_object_unref(arrow);
    }
    gdk_display_sync(gdk_window_get_display(client_window));
    w->handle = handle_of(client_window);
    w->normal = {x, y, x + width, y + height};
    win_window_add(w);
    HWND hwnd = w->handle;

    gtk_widget_grab_focus(w->client);
    g_signal_connect(w->client, "draw", G_CALLBACK(on_client_draw), hwnd);
    g_signal_connect(w->toplevel, "delete-event", G_CALLBACK(on_delete), hwnd);
    g_signal_connect(w->toplevel, "notify::is-active", G_CALLBACK(on_active), hwnd);
    g_signal_connect(w->toplevel, "window-state-event", G_CALLBACK(on_window_state), hwnd);
    g_signal_connect(w->toplevel, "configure-event", G_CALLBACK(on_configure), hwnd);
    win_sdl_input_attach(w);

    if (!menu && wc.lpszMenuName)
        menu = LoadMenuW(wc.hInstance, wc.lpszMenuName);
    if (menu)
        SetMenu(hwnd, menu);
    win_window_apply_frame(w);

    if (SendMessageW(hwnd, WM_CREATE, 0, (LPARAM)param) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    return hwnd;
}

BOOL DestroyWindow(HWND hwnd)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w || w->destroyed)
        return FALSE;
    w->destroyed = true;
    win_sdl_window_going(w);
    gtk_widget_hide(w->toplevel);
    SendMessageW(hwnd, WM_DESTROY, 0, 0);
    win_forget_window_messages(hwnd);
    if (w->menu) {
        WinMenu *menu = (WinMenu *)w->menu;
        win_menu_detach(menu);
        DestroyMenu(w->menu);
        w->menu = nullptr;
    }
    win_window_remove(w);
    gtk_widget_destroy(w->toplevel);
    delete w;
    return TRUE;
}

BOOL IsWindow(HWND hwnd)
{
    return win_window_get(hwnd) != nullptr;
}

BOOL ShowWindow(HWND hwnd, int command)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w)
        return FALSE;
    GtkWindow *toplevel = GTK_WINDOW(w->toplevel);
    BOOL was_visible = gtk_widget_get_visible(w->toplevel);
    switch (command) {
    case SW_HIDE:
        gtk_widget_hide(w->toplevel);
        break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
        gtk_window_iconify(toplevel);
        gtk_widget_show(w->toplevel);
        break;
    case SW_MAXIMIZE:
        gtk_window_maximize(toplevel);
        gtk_window_present(toplevel);
        break;
    case SW_SHOWNORMAL:
    case SW_RESTORE:
        gtk_window_deiconify(toplevel);
        gtk_window_unmaximize(toplevel);
        [[fallthrough]];
    default:
        if (!was_visible)
            g_signal_connect(w->toplevel, "map-event", G_CALLBACK(on_first_map), nullptr);
        gtk_window_present(toplevel);
        break;
    }
    return was_visible;
}

BOOL UpdateWindow(HWND hwnd)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w)
        return FALSE;
    for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); i++) {
    }
    gdk_display_sync(gtk_widget_get_display(w->toplevel));
    return TRUE;
}

LONG GetWindowLongW(HWND hwnd, int index)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w)
        return 0;
    if (index == GWL_STYLE)
        return (LONG)w->style;
    if (index == GWL_EXSTYLE)
        return (LONG)w->ex_style;
    return 0;
}

LONG SetWindowLongW(HWND hwnd, int index, LONG value)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w)
        return 0;
    DWORD *field = index == GWL_STYLE ? &w->style : index == GWL_EXSTYLE ? &w->ex_style : nullptr;
    if (!field)
        return 0;
    LONG old = (LONG)*field;
    *field = (DWORD)value;
    return old;
}

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_PAINT:
        if (WinWindow *w = win_window_get(hwnd))
            win_sdl_exposed(w);
        return 0;
    case WM_ACTIVATE:
        // An activated window takes the keyboard in its client area.
        if (LOWORD(wparam) != WA_INACTIVE)
            if (WinWindow *w = win_window_get(hwnd))
                if (w->client)
                    gtk_widget_grab_focus(w->client);
        return 0;
    default:
        return 0;
    }
}

bool win_ui_start()
{
    if (!win_gtk_init())
        return false;
    if (!signals_set) {
        for (int signal_number : {SIGTERM, SIGINT, SIGHUP})
            g_unix_signal_add(signal_number, on_close_signal, nullptr);
        signals_set = true;
    }
    return true;
}
