// The program's one top-level window: its display scale, full screen, and the SDL screen
// and overlay the render tick shows the picture on. Main thread only.
#pragma once

#include <SDL.h>
#include <stdint.h>

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

// Switches the window into (true) or out of (false) full screen; no change when already so.
void ui_set_fullscreen(bool on);
