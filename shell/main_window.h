// The program's entry point and its one top-level window: the menu, the display scale,
// full screen, and the SDL screen and overlay the render tick shows the picture on.
// Main thread only; the globals live as long as the process.
#pragma once

#include <SDL.h>
#include <stdint.h>

#include "platform/win32/win_window.h"

extern HINSTANCE app_instance;
extern HWND main_window;

// Display scale in percent: the client area and the SDL video mode are the video size
// times view_scale / 100.
extern int32_t view_scale;
// Windowed scale to return to when full screen ends.
extern int32_t saved_view_scale;
// The window covers its monitor without frame or menu.
extern uint8_t fullscreen;

// Result of the latest SDL_SetVideoMode.
extern SDL_Surface *sdl_screen;
// YV12 overlay of video_w x video_h, made once on sdl_screen.
extern SDL_Overlay *yuv_overlay;

// Where the window goes back to when full screen ends, and what it had there.
extern WINDOWPLACEMENT saved_placement;
extern LONG saved_style;
extern LONG saved_ex_style;
extern HMENU saved_menu;

// Menu 109's command ids.
enum {
    menu_exit = 1000,
    menu_scale_100 = 1010,
    menu_scale_50 = 1011,
    menu_scale_25 = 1012,
    menu_fullscreen = 1013,
    menu_about = 1020,
};

// Registers the class, runs start-up, makes the window, hands it to SDL and runs the
// message loop. Returns the quit message's code, or 0 when the class or the window
// cannot be made (after a message box saying so).
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show_command);

// WinMain's steps without start-up, for WinMain and for tests that bring the window up
// on its own. Registration and creation return false / null on failure, without a box.
bool ui_register_class(HINSTANCE instance);
HWND ui_create_main_window(int show_command);
// SDL_WINDOWID, SDL, the video mode, the overlay and the 10 ms timer.
void ui_start_display();
// Until WM_QUIT; returns its code.
int ui_message_loop();

LRESULT CALLBACK ui_wnd_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK about_dlg_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Sizes the client area and the SDL video mode to the video size at view_scale.
void ui_apply_scale();
// Switches the window into (true) or out of (false) full screen; no change when already so.
void ui_set_fullscreen(bool on);
