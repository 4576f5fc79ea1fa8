// The portal as a picture to lay over the video: the web view's bitmap turned into YUV
// with an alpha plane and the box of its visible pixels, and the blend of that picture
// over the video into the frame the render tick shows.
//
// Everything here belongs to the main thread (the render tick and start-up) and is never
// freed. W x H below is PlayerConfig.video_w x video_h.
#pragma once

#include <stdint.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "platform/awesomium/awesomium.h"

// BGRA, one plane of W x H: a copy of the view's surface. Made by ui_init.
extern AVFrame *UiBgraPicture;
// YUVA 4:2:0 planar of W x H: the portal with its per-pixel opacity. Made by ui_init.
extern AVFrame *UiPicture;

// YUV 4:2:0 planar of (W + 4) x (H + 4), line sizes of a picture W + 4 wide: the frame
// the render tick shows; only its top-left W x H is written. Made by ui_composite_alloc.
extern AVFrame *CompositePicture;

// Pixels whose colour bytes are exactly this (whatever their alpha) let the video show.
constexpr uint32_t ui_key_colour = 0xF048E0;

// Inclusive bounds of the non-key pixels of the last conversion. After a conversion
// that found none: min_x W, max_x 0, min_y H, max_y 0. All zero before the first.
struct UiBox {
    int32_t min_x, max_x, min_y, max_y;
};
extern UiBox ui_box;

// The view's bitmap surface: null until the render tick has it from web_view.
extern Awesomium::BitmapSurface *ui_surface;

// BGRA to YUV420P at W x H, bicubic; made by the first conversion and kept.
extern SwsContext *ui_sws;
// Such a context, converting in slices on threads of its own; null when out of memory.
SwsContext *ui_sws_create(int w, int h);
// UiBgraPicture into UiPicture's Y, U and V planes with ui_sws.
void ui_sws_convert();

// Start-up, before ui_init: makes CompositePicture. False when memory runs out.
bool ui_composite_alloc();

// Converts ui_surface into UiPicture and ui_box and clears the surface's dirty flag;
// nothing when there is no surface.
void ui_convert_surface();

// The conversion itself, from any BGRA bitmap of width x height with rows row_span
// bytes apart. Only the part that overlaps W x H is read; the rest of W x H counts as
// key colour. Ends the process with exit code 1 when ui_sws cannot be made.
void ui_convert_bitmap(const uint8_t *pixels, int width, int height, int row_span);

// One blended sample: o + (u - o) * a / 255 in signed integers, truncated toward zero,
// so the result lies between o and u.
static inline uint8_t ui_blend_value(int o, int u, int a)
{
    return (uint8_t)(o + (u - o) * a / 255);
}

// ui_blend_value over n samples of a row, with each sample's own alpha.
void ui_blend_row(uint8_t *out, const uint8_t *ui, const uint8_t *alpha, int n);

// Lays UiPicture over the W x H picture in dst inside `box` (clipped to W x H): luma of
// every pixel with its alpha; chroma from the pixels whose x and y are both even.
void ui_blend(AVFrame *dst, const UiBox &box);

// Writes the W x H frame into CompositePicture: when video has started, `video` (a
// W x H YUV420P picture) with the portal blended over it unless the box is empty in x
// or y (max_x or max_y 0); before any video, the portal's Y, U and V alone.
void ui_compose(const AVFrame *video, bool video_started);
