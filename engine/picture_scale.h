// Scaling each decoded picture into the output picture that the render tick shows:
// fitted to the stream's display aspect (full screen) or stretched into the portal's
// picture-in-graphics rectangle, on a black background.
//
// picture_scale_to_output, ScaledPicture and output_scaler belong to display_thread;
// OutputPicture is also written by make_black_picture and read by the render tick.
#pragma once

#include <stdint.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
#include <libswscale/swscale.h>
}

struct PlaybackState;

// video_w x video_h YUV 4:2:0 planar, laid out by media_init; lives as long as the process.
extern AVFrame *OutputPicture;

// Second picture of the same size and layout: the scaler's target.
extern AVFrame *ScaledPicture;

// The video scaler; display_thread only.
extern SwsContext *output_scaler;

// Scales the slot at state->picture_read into OutputPicture and raises
// MediaControl->new_picture. A slot without a picture or size, or one libswscale cannot
// scale, leaves OutputPicture and the flags alone; a layout with nothing inside the
// picture paints it black.
void picture_scale_to_output(PlaybackState *state);

// A rectangle in OutputPicture pixels.
struct PictureRect {
    int32_t x, y, w, h;
};

// Display aspect of a w x h picture with the given sample aspect: from the sample aspect
// when it gives a finite ratio above 0, else w / h (in single precision). 0 when neither
// gives one (no size).
double picture_aspect(int w, int h, AVRational sample_aspect);

// Where a picture of display aspect `aspect` (> 0) goes in an out_w x out_h picture:
// fitted and centred, or, when screen_mode is 1, stretched into `pig` (moved by the fitted
// offsets scaled to it). Clipped to the picture; w or h 0 when nothing of it is inside.
PictureRect picture_layout(int out_w, int out_h, double aspect, int32_t screen_mode, PictureRect pig);

// A zero-filled picture of that format and size over one buffer of its own with rows
// packed (no padding), or null when memory runs out. Free with picture_free.
AVFrame *picture_alloc(enum AVPixelFormat format, int w, int h);
// The same in YUV 4:2:0 planar, the engine's pictures.
AVFrame *picture_alloc_yuv420(int w, int h);
void picture_free(AVFrame **picture);
