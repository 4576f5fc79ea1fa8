// The pictures into which the render tick converts the web view's pixels. Made by
// ui_init; main thread only; never freed.
#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

// BGRA, one plane of video_w x video_h: a copy of the view's surface.
extern AVFrame *UiBgraPicture;
// YUVA 4:2:0 planar of video_w x video_h: the portal with its per-pixel opacity.
extern AVFrame *UiPicture;

// A frame of that format and size laid over one buffer of its own, rows without
// padding; null when memory runs out.
AVFrame *ui_picture_alloc(enum AVPixelFormat format, int width, int height);
