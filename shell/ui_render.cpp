#include "shell/ui_render.h"

#include <math.h>
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

// The same copy, each sample through `table`.
static void map_plane(uint8_t *dst, int dst_pitch, const uint8_t *src, int src_pitch, int width, int rows,
                      const uint8_t *table)
{
    for (int y = 0; y < rows; y++) {
        uint8_t *d = dst + (size_t)y * dst_pitch;
        const uint8_t *s = src + (size_t)y * src_pitch;
        for (int x = 0; x < width; x++)
            d[x] = table[s[x]];
    }
}

UiFullRange ui_full_range_make()
{
    UiFullRange t;
    for (int v = 0; v < 256; v++) {
        // Rounded to nearest, then clipped: foot- and headroom samples become 0 and 255.
        int y = (int)lround((v - 16) * 255.0 / 219.0);
        int c = (int)lround((v - 128) * 255.0 / 224.0) + 128;
        t.luma[v] = (uint8_t)std::min(std::max(y, 0), 255);
        t.chroma[v] = (uint8_t)std::min(std::max(c, 0), 255);
    }
    return t;
}

static const UiFullRange full_range = ui_full_range_make();

void ui_overlay_put(SDL_Overlay *overlay)
{
    if (!overlay || overlay->planes < 3 || SDL_LockYUVOverlay(overlay) < 0)
        return;
    int w = std::min(PlayerConfig.video_w, (int)overlay->w);
    int h = std::min(PlayerConfig.video_h, (int)overlay->h);
    int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const AVFrame *c = CompositePicture;
    int widths[3] = {std::min(w, (int)overlay->pitches[0]), std::min(cw, (int)overlay->pitches[1]),
                     std::min(cw, (int)overlay->pitches[2])};
    int rows[3] = {h, ch, ch};
    // YV12 keeps V before U.
    const int from[3] = {0, 2, 1};
    for (int p = 0; p < 3; p++) {
        const uint8_t *src = c->data[from[p]];
        int src_pitch = c->linesize[from[p]];
        // SDL's own converter (no XVideo: Xvfb, VNC, remote desktops, ssh) takes the
        // samples as full range; a hardware overlay takes them as they are.
        if (overlay->hw_overlay)
            copy_plane(overlay->pixels[p], overlay->pitches[p], src, src_pitch, widths[p], rows[p]);
        else
            map_plane(overlay->pixels[p], overlay->pitches[p], src, src_pitch, widths[p], rows[p],
                      p ? full_range.chroma : full_range.luma);
    }
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
