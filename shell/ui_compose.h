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

// YUV 4:2:0 planar of (video_w + 4) x (video_h + 4): the frame the render tick shows;
// only its top-left video_w x video_h is written. Made by app_init.
extern AVFrame *CompositePicture;

// A frame of that format and size laid over one buffer of its own, rows without
// padding; null when memory runs out.
AVFrame *ui_picture_alloc(enum AVPixelFormat format, int width, int height);
