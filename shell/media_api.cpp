#include "shell/media_api.h"

#include <stdio.h>

#include "engine/media_control.h"
#include "shell/main_window.h"

void media_set_pig_pos(int32_t x, int32_t y, int32_t width, int32_t height)
{
    printf("media_set_pig_pos(%d, %d, %d, %d)\n", x, y, width, height);
    if (!MediaControl)
        return;
    MediaControl->pig_x = x;
    MediaControl->pig_y = y;
    MediaControl->pig_w = width;
    MediaControl->pig_h = height;
    // Last, so the scaler that display_thread rebuilds sees the whole rectangle.
    MediaControl->rebuild_scaler = 1;
}

void media_set_screen_mode(int32_t mode)
{
    printf("media_set_screen_mode(%d)\n", mode);
    if (!MediaControl)
        return;
    MediaControl->screen_mode = mode;
    MediaControl->rebuild_scaler = 1;
}

void media_set_fullscreen(int32_t value)
{
    printf("media_set_fullscreen(%d)\n", value);
    ui_set_fullscreen(value == 1);
}

void media_set_aspect_ratio(int32_t ratio)
{
    printf("media_set_aspect_ratio(%d)\n", ratio);
    if (MediaControl)
        MediaControl->rebuild_scaler = 1;
}

void media_set_alpha_level(int32_t level)
{
    printf("media_set_alpha_level(%d)\n", level);
}

void media_set_subtitles(int32_t subtitles)
{
    printf("media_set_subtitles(%d)\n", subtitles);
}

bool ui_get_fullscreen_state()
{
    bool on = fullscreen != 0;
    printf("ui_get_fullscreen_state(): Returning %s\n", on ? "true" : "false");
    return on;
}
