#include "shell/main_window.h"

#include <wchar.h>

#include "platform/win32/win_dialog.h"
#include "platform/win32/win_dialogs.h"
#include "platform/win32/win_env.h"
#include "platform/win32/win_resource.h"
#include "shell/app_start.h"
#include "shell/config.h"
#include "shell/input_forward.h"
#include "shell/resources.h"
#include "shell/ui_render.h"

HINSTANCE app_instance;
HWND main_window;
int32_t view_scale = 100;
int32_t saved_view_scale = 100;
uint8_t fullscreen;
SDL_Surface *sdl_screen;
SDL_Overlay *yuv_overlay;
WINDOWPLACEMENT saved_placement = {sizeof(WINDOWPLACEMENT), 0, 0, {0, 0}, {0, 0}, {0, 0, 0, 0}};
LONG saved_style;
LONG saved_ex_style;
HMENU saved_menu;

namespace {

const WCHAR window_class[] = L"zandoro";
const WCHAR window_title[] = L"Tarnell";
// WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX: no sizing border.
constexpr DWORD window_style = 0x00CB0000u;
constexpr UINT_PTR render_timer = 1;
constexpr UINT render_period_ms = 10;

void set_scale(int32_t scale)
{
    ui_set_fullscreen(false);
    view_scale = saved_view_scale = scale;
    ui_apply_scale();
}

}  // namespace

bool ui_register_class(HINSTANCE instance)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(WNDCLASSEXW);
    wc.style = 0;
    wc.lpfnWndProc = ui_wnd_proc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = (HICON)LoadImageW(instance, MAKEINTRESOURCEW(resource_app_icon), IMAGE_ICON, 48, 48,
                                 LR_DEFAULTSIZE);
    wc.hIconSm = (HICON)LoadImageW(instance, MAKEINTRESOURCEW(resource_app_icon), IMAGE_ICON, 16, 16,
                                   LR_DEFAULTSIZE);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(uintptr_t)(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(resource_main_menu);
    wc.lpszClassName = window_class;
    return RegisterClassExW(&wc) != 0;
}

HWND ui_create_main_window(int show_command)
{
    // The client edge is counted, as ui_apply_scale counts it: without it the client
    // area would be 4 pixels short and cut the picture's right and bottom edges.
    RECT outer = {0, 0, PlayerConfig.video_w, PlayerConfig.video_h};
    AdjustWindowRectEx(&outer, window_style, TRUE, WS_EX_CLIENTEDGE);
    main_window = CreateWindowExW(WS_EX_CLIENTEDGE, window_class, window_title, window_style,
                                  CW_USEDEFAULT, CW_USEDEFAULT, outer.right - outer.left,
                                  outer.bottom - outer.top, nullptr, nullptr, app_instance, nullptr);
    if (!main_window)
        return nullptr;
    ShowWindow(main_window, show_command);
    UpdateWindow(main_window);
    GetWindowPlacement(main_window, &saved_placement);
    return main_window;
}

void ui_start_display()
{
    WCHAR id[200];
    swprintf(id, 200, L"%d", (int)(intptr_t)main_window);
    SetEnvironmentVariableW(L"SDL_WINDOWID", id);
    SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO);
    SDL_EnableUNICODE(1);
    sdl_screen = SDL_SetVideoMode(PlayerConfig.video_w, PlayerConfig.video_h, 32, SDL_HWSURFACE);
    yuv_overlay = SDL_CreateYUVOverlay(PlayerConfig.video_w, PlayerConfig.video_h, SDL_YV12_OVERLAY,
                                       sdl_screen);
    SetTimer(main_window, render_timer, render_period_ms, nullptr);
}

int ui_message_loop()
{
    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return (int)msg.wParam;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command)
{
    app_instance = instance;
    if (!ui_register_class(instance)) {
        MessageBoxW(nullptr, L"Window Registration Failed!", L"Error!", MB_ICONWARNING);
        return 0;
    }
    app_init();
    if (!ui_create_main_window(show_command)) {
        MessageBoxW(nullptr, L"Window Creation Failed!", L"Error!", MB_ICONWARNING);
        return 0;
    }
    ui_start_display();
    return ui_message_loop();
}

LRESULT CALLBACK ui_wnd_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_ACTIVATE:
        // The whole of wParam: deactivated and not minimised.
        if (wparam == 0 && fullscreen)
            ui_set_fullscreen(false);
        DefWindowProcW(hwnd, message, wparam, lparam);
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case menu_exit:
            DestroyWindow(main_window);
            break;
        case menu_scale_100:
            set_scale(100);
            break;
        case menu_scale_50:
            set_scale(50);
            break;
        case menu_scale_25:
            set_scale(25);
            break;
        case menu_fullscreen:
            ui_set_fullscreen(true);
            break;
        case menu_about:
            DialogBoxParamW(app_instance, MAKEINTRESOURCEW(resource_about_dialog), main_window,
                            about_dlg_proc, 0);
            break;
        default:
            DefWindowProcW(hwnd, message, wparam, lparam);
            break;
        }
        return 0;
    case WM_PAINT:
        ui_repaint();
        return 0;
    case WM_TIMER: {
        if (app_started)
            ui_render();
        // The event pump: everything SDL has queued, in order, this tick.
        SDL_Event event;
        while (SDL_PollEvent(&event))
            ui_input_event(event);
        return 0;
    }
    default:
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

INT_PTR CALLBACK about_dlg_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void ui_apply_scale()
{
    double s = view_scale / 100.0;
    int cw = (int)(PlayerConfig.video_w * s);
    int ch = (int)(PlayerConfig.video_h * s);
    RECT outer = {0, 0, cw, ch};
    AdjustWindowRectEx(&outer, (DWORD)GetWindowLongW(main_window, GWL_STYLE), TRUE,
                       (DWORD)GetWindowLongW(main_window, GWL_EXSTYLE));
    SetWindowPos(main_window, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    sdl_screen = SDL_SetVideoMode(cw, ch, 32, SDL_HWSURFACE);
    ui_redraw_pending = 1;
}

void ui_set_fullscreen(bool on)
{
    if (on == (fullscreen != 0))
        return;
    if (on) {
        saved_style = GetWindowLongW(main_window, GWL_STYLE);
        saved_ex_style = GetWindowLongW(main_window, GWL_EXSTYLE);
        if (!GetWindowPlacement(main_window, &saved_placement))
            return;
        MONITORINFO monitor = {};
        monitor.cbSize = sizeof(MONITORINFO);
        if (!GetMonitorInfoW(MonitorFromWindow(main_window, MONITOR_DEFAULTTOPRIMARY), &monitor))
            return;
        SetWindowLongW(main_window, GWL_STYLE, (LONG)((DWORD)saved_style & 0xFF3BFFFFu));
        SetWindowLongW(main_window, GWL_EXSTYLE, (LONG)((DWORD)saved_ex_style & 0xFFFDFCFEu));
        const RECT &r = monitor.rcMonitor;
        int width = r.right - r.left, height = r.bottom - r.top;
        SetWindowPos(main_window, HWND_TOP, r.left, r.top, width, height,
                     SWP_NOOWNERZORDER | SWP_FRAMECHANGED);
        saved_view_scale = view_scale;
        saved_menu = GetMenu(main_window);
        SetMenu(main_window, nullptr);
        view_scale = (int32_t)((double)width / PlayerConfig.video_w * 100.0);
        sdl_screen = SDL_SetVideoMode(width, height, 32, SDL_HWSURFACE);
        fullscreen = 1;
        ui_redraw_pending = 1;
    } else {
        SetWindowLongW(main_window, GWL_STYLE, saved_style);
        SetWindowLongW(main_window, GWL_EXSTYLE, saved_ex_style);
        SetWindowPlacement(main_window, &saved_placement);
        SetWindowPos(main_window, nullptr, 0, 0, 0, 0,
                     SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
        SetMenu(main_window, saved_menu);
        view_scale = saved_view_scale;
        fullscreen = 0;
        ui_apply_scale();
    }
}
