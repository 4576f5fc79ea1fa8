#include "shell/main_window.h"

int32_t view_scale = 100;
int32_t saved_view_scale = 100;
uint8_t fullscreen;
SDL_Surface *sdl_screen;
SDL_Overlay *yuv_overlay;

// Until the window exists there is nothing to cover the monitor with: only the state.
void ui_set_fullscreen(bool on)
{
    if (on == (fullscreen != 0))
        return;
    fullscreen = on ? 1 : 0;
}
