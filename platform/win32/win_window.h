// Windows' window manager spellings over GTK 3: window classes, top-level windows with
// a menu bar and a client area, the thread's message queue and its loop, timers,
// placement, styles, monitors and menus. Main thread only (the thread that iterates
// the GLib main context).
//
// How a window maps onto GTK:
// - A window is a GtkWindow holding its menu bar (when it has a menu) over the client
//   area, a drawing area with a native X window of its own. The window handle is that
//   X window's id, so the handle printed in decimal is what SDL_WINDOWID wants.
// - The window's rectangle is the GtkWindow's: the caption and frame belong to the
//   window manager, outside it. AdjustWindowRect(Ex) therefore adds the menu bar and
//   the client edge (WS_EX_CLIENTEDGE, 2 pixels a side), and nothing for a caption.
// - WS_CAPTION decides whether the window manager decorates the window; a style
//   change shows on the screen with SetWindowPos(SWP_FRAMECHANGED), as on Windows.
// - What GTK reports is posted: menu items post WM_COMMAND, a change of the window's
//   activation posts WM_ACTIVATE (high word non-zero when the window is minimised),
//   the close box and SIGTERM / SIGINT / SIGHUP post WM_CLOSE, and a due timer gives
//   WM_TIMER once the queue holds nothing else. Nothing of the program runs from a
//   GTK callback: the program sees everything through GetMessageW / PeekMessageW
//   and DispatchMessageW, so modal loops keep every window's timers going.
// - Input on the client area of the window that SDL_WINDOWID names, once SDL's video
//   is up, becomes SDL events (win_sdl_input.cpp). GTK paints an uncovered part of a
//   client area black, and the window then gets WM_PAINT (after the posted messages,
//   before the timers; validated when it is taken), whose default handling has SDL
//   show its screen surface there again. DestroyWindow on that window shuts SDL's video down first,
//   before the X window goes away.
#pragma once

#include "platform/win32/win_types.h"

typedef uint16_t WORD;
typedef uint16_t ATOM;
typedef intptr_t LONG_PTR;
typedef char *LPSTR;

typedef struct HMENU__ *HMENU;
typedef struct HICON__ *HICON;
typedef struct HCURSOR__ *HCURSOR;
typedef struct HBRUSH__ *HBRUSH;
typedef struct HMONITOR__ *HMONITOR;
typedef void *HANDLE;

typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR (*DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void (*TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

#define WINAPI
#define CALLBACK

#define LOWORD(v) ((WORD)((uintptr_t)(v) & 0xFFFF))
#define HIWORD(v) ((WORD)(((uintptr_t)(v) >> 16) & 0xFFFF))
#define MAKEWPARAM(lo, hi) ((WPARAM)(((uint32_t)(WORD)(lo)) | (((uint32_t)(WORD)(hi)) << 16)))
// A resource named by number: the number in a pointer, as on Windows.
#define MAKEINTRESOURCEW(id) ((LPCWSTR)(uintptr_t)(WORD)(id))
#define IS_INTRESOURCE(p) (((uintptr_t)(p) >> 16) == 0)

// Messages.
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_ACTIVATE 0x0006
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_USER 0x0400

// WM_ACTIVATE's low word.
#define WA_INACTIVE 0
#define WA_ACTIVE 1
#define WA_CLICKACTIVE 2

// WM_COMMAND's high word from a button.
#define BN_CLICKED 0

// Window styles.
#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_MINIMIZE 0x20000000u
#define WS_VISIBLE 0x10000000u
#define WS_MAXIMIZE 0x01000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_DLGFRAME 0x00400000u
#define WS_SYSMENU 0x00080000u
#define WS_THICKFRAME 0x00040000u
#define WS_MINIMIZEBOX 0x00020000u
#define WS_MAXIMIZEBOX 0x00010000u
#define WS_TABSTOP 0x00010000u
#define WS_OVERLAPPEDWINDOW 0x00CF0000u

#define WS_EX_DLGMODALFRAME 0x00000001u
#define WS_EX_WINDOWEDGE 0x00000100u
#define WS_EX_CLIENTEDGE 0x00000200u
#define WS_EX_STATICEDGE 0x00020000u

#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)

#define CW_USEDEFAULT ((int)0x80000000)

// ShowWindow commands beyond those of win_types.h.
#ifndef SW_SHOWMINIMIZED
#define SW_SHOWMINIMIZED 2
#endif
#ifndef SW_SHOWMAXIMIZED
#define SW_SHOWMAXIMIZED 3
#endif
#ifndef SW_MAXIMIZE
#define SW_MAXIMIZE 3
#endif
#ifndef SW_MINIMIZE
#define SW_MINIMIZE 6
#endif
#ifndef SW_RESTORE
#define SW_RESTORE 9
#endif
#ifndef SW_SHOWDEFAULT
#define SW_SHOWDEFAULT 10
#endif

// SetWindowPos.
#define HWND_TOP ((HWND)0)
#define SWP_NOSIZE 0x0001u
#define SWP_NOMOVE 0x0002u
#define SWP_NOZORDER 0x0004u
#define SWP_NOACTIVATE 0x0010u
#define SWP_FRAMECHANGED 0x0020u
#define SWP_SHOWWINDOW 0x0040u
#define SWP_HIDEWINDOW 0x0080u
#define SWP_NOOWNERZORDER 0x0200u

// Monitors.
#define MONITOR_DEFAULTTONULL 0x0u
#define MONITOR_DEFAULTTOPRIMARY 0x1u
#define MONITOR_DEFAULTTONEAREST 0x2u
#define MONITORINFOF_PRIMARY 0x1u

// PeekMessageW.
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

// Class background brushes: a system colour index plus one.
#define COLOR_WINDOW 5

struct WNDCLASSEXW {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
    HICON hIconSm;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct WINDOWPLACEMENT {
    UINT length;
    UINT flags;
    UINT showCmd;
    POINT ptMinPosition;
    POINT ptMaxPosition;
    RECT rcNormalPosition;
};

struct MONITORINFO {
    DWORD cbSize;
    RECT rcMonitor;
    RECT rcWork;
    DWORD dwFlags;
};

// ---- classes and windows ----

// Fails (0) for a wrong cbSize, a missing procedure or name, or a name already
// registered.
ATOM RegisterClassExW(const WNDCLASSEXW *wc);

// A top-level window of a registered class: the class's menu when menu is null, the
// class's icons, cursor and background. x, y, width and height are the window's
// rectangle (CW_USEDEFAULT in x: the window manager places it; in width: 640 x 480).
// The window is realized but not shown. It gets WM_CREATE before the call returns;
// -1 from the procedure fails the creation. Null when the class is unknown or the
// window cannot be made. The parent must be null and param is passed in WM_CREATE's
// lParam as is.
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     void *param);
// Sends WM_DESTROY, kills the window's timers, drops its queued messages and frees it.
// The menu on it goes with it. FALSE for a window that does not exist.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);

// SW_HIDE, SW_SHOWNORMAL, SW_SHOW, SW_SHOWDEFAULT, SW_RESTORE, SW_MINIMIZE /
// SW_SHOWMINIMIZED, SW_MAXIMIZE. Returns whether the window was visible before.
BOOL ShowWindow(HWND hwnd, int command);
// Lets GTK lay out and draw what is pending and the X server see it.
BOOL UpdateWindow(HWND hwnd);

// GWL_STYLE and GWL_EXSTYLE; 0 for another index or an unknown window.
LONG GetWindowLongW(HWND hwnd, int index);
// Returns the previous value; the screen follows at the next SWP_FRAMECHANGED.
LONG SetWindowLongW(HWND hwnd, int index, LONG value);

// ---- geometry ----

// Grows the client rectangle by what the style, the menu and the extended style put
// around it (see above).
BOOL AdjustWindowRect(RECT *rect, DWORD style, BOOL menu);
BOOL AdjustWindowRectEx(RECT *rect, DWORD style, BOOL menu, DWORD ex_style);
// Moves, sizes, raises (HWND_TOP without SWP_NOZORDER) and re-frames the window; the
// other insert-after handles are not offered. The window manager, when there is one,
// may take a moment to carry the change out.
BOOL SetWindowPos(HWND hwnd, HWND insert_after, int x, int y, int cx, int cy, UINT flags);
// The client area, (0, 0) to its size as laid out now.
BOOL GetClientRect(HWND hwnd, RECT *rect);
// The window's rectangle on the screen.
BOOL GetWindowRect(HWND hwnd, RECT *rect);
// Client to screen coordinates.
BOOL ClientToScreen(HWND hwnd, POINT *point);

// The show state (SW_SHOWNORMAL, SW_SHOWMINIMIZED, SW_SHOWMAXIMIZED) and the
// rectangle of the window when neither minimised nor maximised; sets length.
BOOL GetWindowPlacement(HWND hwnd, WINDOWPLACEMENT *placement);
// FALSE unless length is the structure's size.
BOOL SetWindowPlacement(HWND hwnd, const WINDOWPLACEMENT *placement);

// The monitor that holds most of the window; otherwise by the flag: null, the
// primary monitor (the first when none is marked primary), or the nearest.
HMONITOR MonitorFromWindow(HWND hwnd, DWORD flags);
// The monitor's whole rectangle, its work area and whether it is the primary one.
// FALSE unless cbSize is the structure's size.
BOOL GetMonitorInfoW(HMONITOR monitor, MONITORINFO *info);

// ---- menus ----

HMENU GetMenu(HWND hwnd);
// Puts the menu bar on the window (null takes it off); a menu taken off survives and
// can be put back. The window keeps its size, so the client area gives or takes the
// menu bar's height.
BOOL SetMenu(HWND hwnd, HMENU menu);
// A menu made from the module's menu resource; null when there is none.
HMENU LoadMenuW(HINSTANCE instance, LPCWSTR name);
// A menu on no window; FALSE for a menu still on one.
BOOL DestroyMenu(HMENU menu);

// ---- messages and timers ----

// The next message for any window of the thread (hwnd and the filter must be null
// and 0): posted messages in order, then WM_QUIT, then due timers. Waits in the
// GLib main loop for one. Returns 0 for WM_QUIT, otherwise 1.
BOOL GetMessageW(MSG *msg, HWND hwnd, UINT filter_min, UINT filter_max);
// As GetMessageW but without waiting: FALSE when there is no message. With
// PM_REMOVE the message is taken off the queue.
BOOL PeekMessageW(MSG *msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT remove);
// Key translation is done by the layer already; kept for the loop's shape.
BOOL TranslateMessage(const MSG *msg);
// Calls the window's procedure (or a WM_TIMER's timer procedure); 0 for a message
// to no window or to one that no longer exists.
LRESULT DispatchMessageW(const MSG *msg);
// Calls the procedure at once.
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
// WM_QUIT with this code comes once the posted messages before it are taken.
void PostQuitMessage(int exit_code);

// WM_CLOSE destroys the window; WM_PAINT on the window SDL draws into has SDL show its
// screen surface again; everything else gives 0.
LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

// Every `elapse` milliseconds marks the timer due; a due timer gives one WM_TIMER
// (wParam the id, lParam the procedure) when the queue is otherwise empty, so ticks
// that could not be taken in time are not piled up. The same id on the same window
// replaces the timer. A null window gets a fresh id. Returns the id, 0 on failure.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// ---- process ----

// Opens the display and makes SIGTERM, SIGINT and SIGHUP close every top-level
// window (WM_CLOSE), as the system's close command does. False without a display.
bool win_ui_start();
