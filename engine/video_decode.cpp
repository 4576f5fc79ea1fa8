// Video decoding into the picture ring (video_thread) and the display of each picture at
// its time against the master clock (display_thread).
#include "engine/video_decode.h"

#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
}

#include "engine/clock.h"
#include "engine/media_control.h"
#include "engine/picture_scale.h"
#include "engine/playback.h"
#include "platform/crt.h"

enum {
    no_decoder_pause_ms = 100,
    empty_ring_pause_ms = 10,
    quit_poll_ms = 10,  // longest stretch of a pause in which quit goes unnoticed
};

static const double pts_ticks_per_second = 90000.0;
static const double min_pause = 0.01;
static const double sync_limit = 10.0;  // farther from the master clock: not corrected

void picture_slot_release(PictureSlot *slot)
{
    picture_free(&slot->frame);
    slot->width = 0;
    slot->height = 0;
}

// Pictures in another layout than 4:2:0 planar are converted into `picture` first.
struct VideoConvert {
    SwsContext *scaler;
    AVFrame *picture;
};

// The picture as YUV 4:2:0 planar: itself, or its conversion (null when that fails).
static const AVFrame *video_as_yuv420(VideoConvert *convert, const AVFrame *frame)
{
    // The J format differs only in its range flag.
    if (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P)
        return frame;
    int w = frame->width;
    int h = frame->height;
    if (frame->format < 0 || w <= 0 || h <= 0)
        return nullptr;
    if (convert->picture && (convert->picture->width != w || convert->picture->height != h))
        picture_free(&convert->picture);
    if (!convert->picture)
        convert->picture = picture_alloc_yuv420(w, h);
    convert->scaler = sws_getCachedContext(convert->scaler, w, h, (AVPixelFormat)frame->format, w, h,
                                           AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!convert->picture || !convert->scaler)
        return nullptr;
    sws_scale(convert->scaler, frame->data, frame->linesize, 0, h, convert->picture->data,
              convert->picture->linesize);
    return convert->picture;
}

// Takes the buffer tag off a decoded frame: the pts of the packet that began the picture.
static int64_t video_take_tag(AVFrame *frame)
{
    int64_t tag = AV_NOPTS_VALUE;
    if (frame->opaque_ref && frame->opaque_ref->size >= sizeof tag)
        memcpy(&tag, frame->opaque_ref->data, sizeof tag);
    av_buffer_unref(&frame->opaque_ref);
    frame->opaque = nullptr;
    return tag;
}

double video_picture_time(PlaybackState *state, int64_t packet_dts, int64_t tag, int repeat_pict,
                          AVRational time_base)
{
    int64_t timestamp = 0;
    if (packet_dts != AV_NOPTS_VALUE)
        timestamp = packet_dts;
    else if (tag != AV_NOPTS_VALUE)
        timestamp = tag;
    double pts = timestamp / pts_ticks_per_second;
    if (pts != 0)
        state->video_clock = pts;
    else
        pts = state->video_clock;
    double frame_delay = time_base.den ? (double)time_base.num / (double)time_base.den : 0.0;
    state->video_clock = state->video_clock + frame_delay + repeat_pict * (frame_delay * 0.5);
    return pts;
}

// Times, converts and queues every picture the decoder has ready. -1 when quitting.
static int video_drain(PlaybackState *state, AVCodecContext *codec, AVFrame *frame, VideoConvert *convert,
                       int64_t packet_dts)
{
    while (avcodec_receive_frame(codec, frame) == 0) {
        int64_t tag = video_take_tag(frame);
        double pts = video_picture_time(state, packet_dts, tag, frame->repeat_pict, codec->time_base);
        const AVFrame *picture = video_as_yuv420(convert, frame);
        int queued = picture ? picture_queue_put(state, picture, pts) : 0;
        av_frame_unref(frame);
        if (queued < 0)
            return -1;
    }
    return 0;
}

// Decodes one packet; each picture it completes is timed with this packet's dts. -1 when
// quitting.
static int video_decode_packet(PlaybackState *state, AVFrame *frame, VideoConvert *convert, const AVPacket *packet)
{
    AVCodecContext *codec = state->video_codec;
    if (!codec || !frame)
        return 0;  // nothing to decode with: the packet is only released
    decoding_pts = packet->pts;
    // Errors just yield no picture.
    if (avcodec_send_packet(codec, packet) == AVERROR(EAGAIN)) {
        // Not expected, as every send is drained; drain and offer the packet once more.
        if (video_drain(state, codec, frame, convert, packet->dts) < 0)
            return -1;
        avcodec_send_packet(codec, packet);
    }
    return video_drain(state, codec, frame, convert, packet->dts);
}

static void video_release_packet(AVPacket *packet)
{
    av_free(packet->data);
    packet->data = nullptr;
    packet->size = 0;
    av_packet_unref(packet);
}

void *video_thread(void *arg)
{
    PlaybackState *state = (PlaybackState *)arg;
    printf("video_thread starting\n");
    video_started = 1;
    AVFrame *frame = av_frame_alloc();
    if (!frame)
        printf("video_thread: cannot allocate the decoding frame, video is dropped\n");
    VideoConvert convert = {};

    while (!state->quit) {
        AVPacket packet;
        if (packet_queue_get(&state->video_queue, &packet, 1) < 0)
            break;
        if (!packet.data) {
            AVCodecContext *codec = state->video_codec;
            if (codec)
                avcodec_flush_buffers(codec);
            continue;
        }
        int decoded = video_decode_packet(state, frame, &convert, &packet);
        video_release_packet(&packet);
        if (decoded < 0)
            break;
    }

    av_frame_free(&frame);
    sws_freeContext(convert.scaler);
    picture_free(&convert.picture);
    printf("video_thread finishing\n");
    state->video_thread_id = nullptr;
    return nullptr;
}

int picture_queue_put(PlaybackState *state, const AVFrame *picture, double pts)
{
    pthread_mutex_lock(state->picture_lock);
    while (state->picture_count >= picture_ring_size && !state->quit)
        pthread_cond_wait(state->picture_cond, state->picture_lock);
    pthread_mutex_unlock(state->picture_lock);
    if (state->quit)
        return -1;

    // The picture's own size: after a size change the decoder context already describes
    // the new pictures while older ones may still come out.
    int w = picture->width;
    int h = picture->height;
    PictureSlot *slot = &state->pictures[state->picture_write];
    if (slot->frame && (slot->width != w || slot->height != h))
        picture_slot_release(slot);
    if (!slot->frame) {
        slot->frame = picture_alloc_yuv420(w, h);
        if (!slot->frame)
            return 0;  // dropped: nothing published
        slot->width = w;
        slot->height = h;
    }
    av_image_copy(slot->frame->data, slot->frame->linesize, (const uint8_t **)picture->data, picture->linesize,
                  AV_PIX_FMT_YUV420P, slot->width, slot->height);
    slot->pts = pts;
    state->picture_write = (state->picture_write + 1) % picture_ring_size;

    // Not signalled: display_thread polls the count.
    pthread_mutex_lock(state->picture_lock);
    state->picture_count++;
    pthread_mutex_unlock(state->picture_lock);
    return 0;
}

double display_frame_delay(double pts, double last_pts, double last_delay)
{
    double delay = pts - last_pts;
    if (delay <= 0 || delay >= 1.0)
        delay = last_delay;  // a jump, a repeat or the first picture
    return delay;
}

double display_correct_delay(double delay, double diff)
{
    double threshold = delay > min_pause ? delay : min_pause;
    if (fabs(diff) < sync_limit) {
        if (diff <= -threshold)
            delay = 0;  // late: show at once
        else if (diff >= threshold)
            delay = 2 * delay;  // early: hold twice as long
    }
    return delay;
}

int display_sleep_ms(double actual)
{
    if (actual < min_pause)
        actual = min_pause;
    return (int)(actual * 1000 + 0.5);
}

double display_picture_delay(PlaybackState *state, double pts)
{
    double delay = display_frame_delay(pts, state->last_frame_pts, state->last_frame_delay);
    state->last_frame_delay = delay;  // before the correction
    state->last_frame_pts = pts;
    if (state->sync_mode != sync_video)
        delay = display_correct_delay(delay, pts - master_clock_now(state));
    return delay;
}

// Sleeps `ms` milliseconds, or until the playback quits.
static void display_pause(PlaybackState *state, int ms)
{
    while (ms > 0 && !state->quit) {
        int step = ms < quit_poll_ms ? ms : quit_poll_ms;
        Sleep((uint32_t)step);
        ms -= step;
    }
}

void *display_thread(void *arg)
{
    PlaybackState *state = (PlaybackState *)arg;
    printf("display_thread starting\n");
    while (!state->quit) {
        if (!state->video_codec) {
            display_pause(state, no_decoder_pause_ms);
            continue;
        }
        if (state->picture_count == 0) {
            Sleep(empty_ring_pause_ms);
            continue;
        }
        PictureSlot *slot = &state->pictures[state->picture_read];
        state->shown_pts = slot->pts;
        state->shown_time = av_gettime();
        state->frame_timer += display_picture_delay(state, slot->pts);
        // Fixed before scaling: the scaling time is not deducted.
        int sleep_ms = display_sleep_ms(state->frame_timer - av_gettime() / 1000000.0);

        picture_scale_to_output(state);
        pictures_shown++;
        state->picture_read = (state->picture_read + 1) % picture_ring_size;
        pthread_mutex_lock(state->picture_lock);
        state->picture_count--;
        pthread_cond_signal(state->picture_cond);
        pthread_mutex_unlock(state->picture_lock);

        display_pause(state, sleep_ms);
    }
    printf("display_thread finishing\n");
    make_black_picture();
    state->display_thread_id = nullptr;
    return nullptr;
}
