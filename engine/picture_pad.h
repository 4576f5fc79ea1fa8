// Placing one YUV 4:2:0 planar picture inside a larger one on a plain background, in a
// single pass over the destination (the job av_picture_pad did before FFmpeg dropped it).
//
// Pure memory work; any thread, no shared state.
#pragma once

#include <stdint.h>

extern "C" {
#include <libavutil/frame.h>
}

// Writes every pixel of dst (dst->width x dst->height, YUV 4:2:0 planar): the top-left
// w x h area of src goes to (x, y), everything else gets colour (Y, U, V). src must hold
// at least w x h pixels. A chroma sample shared by the rectangle and the border (odd x,
// y, w or h) takes the picture's value.
// Returns 0, or -1 without writing anything when the rectangle does not lie within dst.
int picture_pad(AVFrame *dst, const AVFrame *src, int x, int y, int w, int h, const uint8_t colour[3]);
