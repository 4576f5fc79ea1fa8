// Window rectangles, placement and monitors.
#include <algorithm>

#include "platform/win32/win_window_state.h"

namespace {

// The 3-D client edge of Windows, two pixels a side.
constexpr int client_edge = 2;

RECT window_rect_now(WinWindow *w)
{
    int x, y, cx, cy;
    gtk_window_get_position(GTK_WINDOW(w->toplevel), &x, &y);
    gtk_window_get_size(GTK_WINDOW(w->toplevel), &cx, &cy);
    return {x, y, x + cx, y + cy};
}

GdkMonitor *primary_monitor(GdkDisplay *display)
{
    GdkMonitor *m = gdk_display_get_primary_monitor(display);
    return m ? m : gdk_display_get_monitor(display, 0);
}

bool overlaps(const GdkRectangle &a, const RECT &r)
{
    return a.x < r.right && r.left < a.x + a.width && a.y < r.bottom && r.top < a.y + a.height;
}

}  // namespace

void win_frame_extents(DWORD, bool menu, DWORD ex_style, int *left, int *top, int *right,
                       int *bottom)
{
    int edge = (ex_style & WS_EX_CLIENTEDGE) ? client_edge : 0;
    *left = *right = *bottom = edge;
    *top = edge + (menu ? win_menu_bar_height() : 0);
}

BOOL AdjustWindowRectEx(RECT *rect, DWORD style, BOOL menu, DWORD ex_style)
{
    if (!rect)
        return FALSE;
    int left, top, right, bottom;
    win_frame_extents(style, menu != FALSE, ex_style, &left, &top, &right, &bottom);
    rect->left -= left;
    rect->top -= top;
    rect->right += right;
    rect->bottom += bottom;
    return TRUE;
}

BOOL AdjustWindowRect(RECT *rect, DWORD style, BOOL menu)
{
    return AdjustWindowRectEx(rect, style, menu, 0);
}

BOOL SetWindowPos(HWND hwnd, HWND insert_after, int x, int y, int cx, int cy, UINT flags)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w)
        return FALSE;
    GtkWindow *toplevel = GTK_WINDOW(w->toplevel);
    if (flags & SWP_FRAMECHANGED)
        win_window_apply_frame(w);
    RECT now = window_rect_now(w);
    if (!(flags & SWP_NOSIZE)) {
        cx = std::max(cx, 1);
        cy = std::max(cy, 1);
        gtk_window_resize(toplevel, cx, cy);
        now.right = now.left + cx;
        now.bottom = now.top + cy;
    }
    if (!(flags & SWP_NOMOVE)) {
        gtk_window_move(toplevel, x, y);
        now = {x, y, x + (now.right - now.left), y + (now.bottom - now.top)};
    }
    if (!w->iconified && !w->maximized)
        w->normal = now;
    if (!(flags & SWP_NOZORDER) && insert_after == HWND_TOP)
        if (GdkWindow *g = gtk_widget_get_window(w->toplevel))
            gdk_window_raise(g);
    if (flags & SWP_SHOWWINDOW)
        gtk_widget_show(w->toplevel);
    if (flags & SWP_HIDEWINDOW)
        gtk_widget_hide(w->toplevel);
    return TRUE;
}

BOOL GetClientRect(HWND hwnd, RECT *rect)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w || !rect)
        return FALSE;
    GtkWidget *client = w->client ? w->client : w->toplevel;
    *rect = {0, 0, gtk_widget_get_allocated_width(client), gtk_widget_get_allocated_height(client)};
    return TRUE;
}

BOOL GetWindowRect(HWND hwnd, RECT *rect)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w || !rect)
        return FALSE;
    *rect = window_rect_now(w);
    return TRUE;
}

BOOL ClientToScreen(HWND hwnd, POINT *point)
{
    WinWindow *w = win_window_get(hwnd);
    GdkWindow *g = w ? gtk_widget_get_window(w->client ? w->client : w->toplevel) : nullptr;
    if (!g || !point)
        return FALSE;
    int x, y;
    gdk_window_get_origin(g, &x, &y);
    point->x += x;
    point->y += y;
    return TRUE;
}

BOOL GetWindowPlacement(HWND hwnd, WINDOWPLACEMENT *placement)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w || !placement)
        return FALSE;
    placement->length = sizeof(WINDOWPLACEMENT);
    placement->flags = 0;
    placement->showCmd = w->iconified    ? SW_SHOWMINIMIZED
                         : w->maximized ? SW_SHOWMAXIMIZED
                                        : SW_SHOWNORMAL;
    placement->ptMinPosition = {-1, -1};
    placement->ptMaxPosition = {-1, -1};
    placement->rcNormalPosition = w->iconified || w->maximized ? w->normal : window_rect_now(w);
    return TRUE;
}

BOOL SetWindowPlacement(HWND hwnd, const WINDOWPLACEMENT *placement)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w || !placement || placement->length != sizeof(WINDOWPLACEMENT))
        return FALSE;
    GtkWindow *toplevel = GTK_WINDOW(w->toplevel);
    const RECT &r = placement->rcNormalPosition;
    if (placement->showCmd != SW_SHOWMAXIMIZED)
        gtk_window_unmaximize(toplevel);
    if (placement->showCmd != SW_SHOWMINIMIZED)
        gtk_window_deiconify(toplevel);
    gtk_window_move(toplevel, r.left, r.top);
    gtk_window_resize(toplevel, std::max(1, (int)(r.right - r.left)), std::max(1, (int)(r.bottom - r.top)));
    w->normal = r;
    if (placement->showCmd == SW_SHOWMAXIMIZED)
        gtk_window_maximize(toplevel);
    else if (placement->showCmd == SW_SHOWMINIMIZED)
        gtk_window_iconify(toplevel);
    return TRUE;
}

HMONITOR MonitorFromWindow(HWND hwnd, DWORD flags)
{
    GdkDisplay *display = gdk_display_get_default();
    if (!display)
        return nullptr;
    WinWindow *w = win_window_get(hwnd);
    GdkWindow *g = w ? gtk_widget_get_window(w->toplevel) : nullptr;
    if (g) {
        RECT r = window_rect_now(w);
        int best = -1, best_area = 0;
        for (int i = 0; i < gdk_display_get_n_monitors(display); i++) {
            GdkRectangle m;
            gdk_monitor_get_geometry(gdk_display_get_monitor(display, i), &m);
            if (!overlaps(m, r))
                continue;
            int area = (std::min(r.right, (LONG)(m.x + m.width)) - std::max(r.left, (LONG)m.x)) *
                       (std::min(r.bottom, (LONG)(m.y + m.height)) - std::max(r.top, (LONG)m.y));
            if (area > best_area) {
                best = i;
                best_area = area;
            }
        }
        if (best >= 0)
            return (HMONITOR)gdk_display_get_monitor(display, best);
        if (flags == MONITOR_DEFAULTTONEAREST)
            return (HMONITOR)gdk_display_get_monitor_at_window(display, g);
    }
    if (flags == MONITOR_DEFAULTTONULL)
        return nullptr;
    return (HMONITOR)primary_monitor(display);
}

BOOL GetMonitorInfoW(HMONITOR monitor, MONITORINFO *info)
{
    if (!monitor || !info || info->cbSize != sizeof(MONITORINFO) || !GDK_IS_MONITOR(monitor))
        return FALSE;
    GdkMonitor *m = (GdkMonitor *)monitor;
    GdkRectangle g, work;
    gdk_monitor_get_geometry(m, &g);
    gdk_monitor_get_workarea(m, &work);
    info->rcMonitor = {g.x, g.y, g.x + g.width, g.y + g.height};
    info->rcWork = {work.x, work.y, work.x + work.width, work.y + work.height};
    info->dwFlags = m == primary_monitor(gdk_monitor_get_display(m)) ? MONITORINFOF_PRIMARY : 0;
    return TRUE;
}
