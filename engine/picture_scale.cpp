#include "engine/picture_scale.h"

#include <math.h>

#include <algorithm>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include "engine/media_control.h"
#include "engine/picture_pad.h"
#include "engine/playback.h"
#include "config/player_config.h"

AVFrame *OutputPicture;
AVFrame *ScaledPicture;
SwsContext *output_scaler;

// The geometry output_scaler was made for: a slot or target of another size must not be
// fed to it (it would read past the slot's planes or leave part of the target unwritten).
static int scaler_src_w, scaler_src_h, scaler_dst_w, scaler_dst_h;

static const uint8_t black[3] = {0, 128, 128};

// Clears only the bit of value 2: a fitted size may stay odd.
static const uint32_t fit_mask = 0xFFFFFFFD;

static int fit_masked(double size)
{
    return (int)((uint32_t)(int)rint(size) & fit_mask);
}

double picture_aspect(int w, int h, AVRational sample_aspect)
{
    if (sample_aspect.num != 0 && sample_aspect.den != 0) {
        double aspect = (double)sample_aspect.num / sample_aspect.den * w / h;
        if (aspect > 0 && isfinite(aspect))
            return aspect;
    }
    double aspect = (float)w / (float)h;
    return aspect > 0 && isfinite(aspect) ? aspect : 0;
}

PictureRect picture_layout(int out_w, int out_h, double aspect, int32_t screen_mode, PictureRect pig)
{
    PictureRect none = {0, 0, 0, 0};
    if (out_w <= 0 || out_h <= 0 || !(aspect > 0) || !isfinite(aspect))
        return none;

    // Full-screen fit; its offsets also move the PIG corner. Beyond out_w + 3 the masked
    // width is too wide anyway, so a huge aspect never reaches the int conversion.
    int h = out_h;
    int w = out_h * aspect > out_w + 3.0 ? out_w + 1 : fit_masked(out_h * aspect);
    if (w > out_w) {
        w = out_w;
        h = fit_masked(out_w / aspect);
    }
    int x = (out_w - w) / 2;
    int y = (out_h - h) / 2;

    int64_t left = x, top = y, width = w, height = h;
    if (screen_mode == 1) {
        left = pig.x + (int64_t)(((float)pig.w / (float)out_w) * (float)x);
        top = pig.y + (int64_t)(((float)pig.h / (float)out_h) * (float)y);
        width = pig.w;
        height = pig.h;
    }

    // A rectangle reaching past an edge keeps only its part inside the picture.
    int64_t x0 = std::max<int64_t>(left, 0), x1 = std::min<int64_t>(left + width, out_w);
    int64_t y0 = std::max<int64_t>(top, 0), y1 = std::min<int64_t>(top + height, out_h);
    if (x1 <= x0 || y1 <= y0)
        return none;
    PictureRect place = {(int32_t)x0, (int32_t)y0, (int32_t)(x1 - x0), (int32_t)(y1 - y0)};
    return place;
}

// Makes output_scaler for slot -> target when it is missing, asked for, or made for
// other sizes. False when libswscale cannot make one.
static bool scaler_prepare(int src_w, int src_h, int dst_w, int dst_h)
{
    if (output_scaler && !MediaControl->rebuild_scaler && src_w == scaler_src_w &&
        src_h == scaler_src_h && dst_w == scaler_dst_w && dst_h == scaler_dst_h)
        return true;
    sws_freeContext(output_scaler);
    MediaControl->rebuild_scaler = 0;
    output_scaler = sws_getContext(src_w, src_h, AV_PIX_FMT_YUV420P, dst_w, dst_h, AV_PIX_FMT_YUV420P,
                                   SWS_BICUBIC, nullptr, nullptr, nullptr);
    scaler_src_w = src_w;
    scaler_src_h = src_h;
    scaler_dst_w = dst_w;
    scaler_dst_h = dst_h;
    return output_scaler != nullptr;
}

void picture_scale_to_output(PlaybackState *state)
{
    PictureSlot *slot = &state->pictures[state->picture_read];
    if (!slot->frame || slot->width <= 0 || slot->height <= 0)
        return;
    if (!MediaControl || !OutputPicture || !ScaledPicture)
        return;
    int out_w = PlayerConfig.video_w, out_h = PlayerConfig.video_h;

    double aspect = 0;
    AVCodecContext *codec = state->video_codec;
    if (codec)
        aspect = picture_aspect(codec->width, codec->height, codec->sample_aspect_ratio);
    if (!(aspect > 0))  // a decoder without a size: the slot's own
        aspect = picture_aspect(slot->width, slot->height, AVRational{0, 1});

    PictureRect pig = {MediaControl->pig_x, MediaControl->pig_y, MediaControl->pig_w, MediaControl->pig_h};
    PictureRect place = picture_layout(out_w, out_h, aspect, MediaControl->screen_mode, pig);

    // An empty rectangle shows no video: the pad below then paints the picture black.
    if (place.w > 0 && place.h > 0) {
        if (place.w > ScaledPicture->width || place.h > ScaledPicture->height)
            return;
        if (!scaler_prepare(slot->width, slot->height, place.w, place.h))
            return;
        if (sws_scale(output_scaler, slot->frame->data, slot->frame->linesize, 0, slot->height,
                      ScaledPicture->data, ScaledPicture->linesize) < 0)
            return;
    }
    if (picture_pad(OutputPicture, ScaledPicture, place.x, place.y, place.w, place.h, black) < 0)
        return;
    MediaControl->new_picture = 1;
}

AVFrame *picture_alloc(enum AVPixelFormat format, int w, int h)
{
    int size = av_image_get_buffer_size(format, w, h, 1);
    if (size < 0)
        return nullptr;
    AVFrame *picture = av_frame_alloc();
    // Zeroed: a picture shown before anything is drawn into it has defined pixels.
    uint8_t *buffer = (uint8_t *)av_mallocz((size_t)size);
    if (!picture || !buffer) {
        av_frame_free(&picture);
        av_free(buffer);
        return nullptr;
    }
    av_image_fill_arrays(picture->data, picture->linesize, buffer, format, w, h, 1);
    picture->width = w;
    picture->height = h;
    picture->format = format;
    return picture;
}

AVFrame *picture_alloc_yuv420(int w, int h)
{
    return picture_alloc(AV_PIX_FMT_YUV420P, w, h);
}

void picture_free(AVFrame **picture)
{
    if (!*picture)
        return;
    av_freep(&(*picture)->data[0]);
    av_frame_free(picture);
}
