#include "shell/ui_render.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "engine/media_control.h"
#include "engine/picture_scale.h"
#include "engine/playback.h"
#include "shell/config.h"
#include "shell/main_window.h"
#include "shell/ui_compose.h"
#include "shell/web_host.h"

int32_t ui_redraw_pending;
SwsContext *output_sws;

static void copy_plane(uint8_t *dst, int dst_pitch, const uint8_t *src, int src_pitch, int width,
                       int rows)
{
    for (int y = 0; y < rows; y++)
        memcpy(dst + (size_t)y * dst_pitch, src + (size_t)y * src_pitch, (size_t)width);
}

void ui_overlay_put(SDL_Overlay *overlay)
{
    if (!overlay || overlay->planes < 3 || SDL_LockYUVOverlay(overlay) < 0)
        return;
    int w = std::min(PlayerConfig.video_w, (int)overlay->w);
    int h = std::min(PlayerConfig.video_h, (int)overlay->h);
    int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const AVFrame *c = CompositePicture;
    copy_plane(overlay->pixels[0], overlay->pitches[0], c->data[0], c->linesize[0],
               std::min(w, (int)overlay->pitches[0]), h);
    // YV12 keeps V before U.
    copy_plane(overlay->pixels[1], overlay->pitches[1], c->data[2], c->linesize[2],
               std::min(cw, (int)overlay->pitches[1]), ch);
    copy_plane(overlay->pixels[2], overlay->pitches[2], c->data[1], c->linesize[1],
               std::min(cw, (int)overlay->pitches[2]), ch);
    SDL_UnlockYUVOverlay(overlay);
}

// The overlay holds a frame: ui_repaint may show it again.
static bool overlay_shown;

// Black on the screen surface right of and below the picture, and shown: what a
// change of size or an uncovering would otherwise leave white or stale there.
static void show_surround(const SDL_Rect &picture)
{
    int w = sdl_screen->w, h = sdl_screen->h;
    int pw = std::min((int)picture.w, w), ph = std::min((int)picture.h, h);
    SDL_Rect strips[2];
    int n = 0;
    if (pw < w)
        strips[n++] = {(Sint16)pw, 0, (Uint16)(w - pw), (Uint16)ph};
    if (ph < h)
        strips[n++] = {0, (Sint16)ph, (Uint16)w, (Uint16)(h - ph)};
    Uint32 black = SDL_MapRGB(sdl_screen->format, 0, 0, 0);
    for (int i = 0; i < n; i++)
        SDL_FillRect(sdl_screen, &strips[i], black);
    if (n)
        SDL_UpdateRects(sdl_screen, n, strips);
}

void ui_repaint()
{
    if (!sdl_screen)
        return;
    SDL_Rect rect = ui_display_rect();
    show_surround(rect);
    if (yuv_overlay && overlay_shown) {
        SDL_DisplayYUVOverlay(yuv_overlay, &rect);
    } else {
        Uint32 black = SDL_MapRGB(sdl_screen->format, 0, 0, 0);
        SDL_FillRect(sdl_screen, &rect, black);
        SDL_UpdateRect(sdl_screen, 0, 0, 0, 0);
    }
}

SDL_Rect ui_display_rect()
{
    double scale = view_scale / 100.0;
    SDL_Rect rect;
    rect.x = 0;
    rect.y = 0;
    rect.w = (Uint16)(int)(PlayerConfig.video_w * scale);
    rect.h = (Uint16)(int)(PlayerConfig.video_h * scale);
    return rect;
}

void ui_render()
{
    // Page callbacks (the JavaScript API, the listeners) run in here.
    if (web_core)
        web_core->Update();
    // The view has no surface until it first painted; ask again each tick until then.
    if (!ui_surface && web_view)
        ui_surface = web_view->surface();
    if (!sdl_screen)
        return;
    if (ui_surface && ui_surface->is_dirty()) {
        ui_convert_surface();
        ui_redraw_pending = 1;
    }
    if (!CompositePicture || !UiPicture || !OutputPicture)
        return;
    bool started = video_started != 0;
    bool new_picture = started && MediaControl && MediaControl->new_picture;
    if (!new_picture && !ui_redraw_pending)
        return;
    if (!output_sws) {
        int w = PlayerConfig.video_w, h = PlayerConfig.video_h;
        output_sws = sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                    nullptr, nullptr, nullptr);
        if (!output_sws) {
            fprintf(stderr, "Cannot init the output conversion context!\n");
            exit(1);
        }
    }
    ui_compose(OutputPicture, started);
    if (yuv_overlay) {
        ui_overlay_put(yuv_overlay);
        SDL_Rect rect = ui_display_rect();
        // A redraw follows a change of the screen's geometry: the rest of it too.
        if (ui_redraw_pending)
            show_surround(rect);
        SDL_DisplayYUVOverlay(yuv_overlay, &rect);
        overlay_shown = true;
    }
    // A picture finished since the flag was read goes out with the next one.
    ui_redraw_pending = 0;
    if (MediaControl)
        MediaControl->new_picture = 0;
}
