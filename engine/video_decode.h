// Video decoding into the playback's ring of 10 decoded pictures (video_thread), and
// their display at their time against the master clock (display_thread).
//
// video_thread fills the slot at picture_write; display_thread shows the slot at
// picture_read; picture_lock guards picture_count, picture_cond wakes a video_thread
// waiting for a free slot.
#pragma once

#include <stdint.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

struct PlaybackState;

enum { picture_ring_size = 10 };

// One decoded picture: the slot's own YUV 4:2:0 copy, reused while the size stays.
struct PictureSlot {
    AVFrame *frame;  // null until first filled; its data[0] is the slot's own buffer
    int32_t width;
    int32_t height;
    double pts;  // seconds
};

// Thread entries; the argument is the PlaybackState. Each clears its handle field
// (video_thread_id, display_thread_id) as its last step.
void *video_thread(void *state);
void *display_thread(void *state);

// video_thread: waits for a free slot, copies `picture` and its time into it and
// publishes it. 0 (also when no slot picture could be made), or -1 when quitting.
int picture_queue_put(PlaybackState *state, const AVFrame *picture, double pts);

// Frees a slot's picture and its buffer.
void picture_slot_release(PictureSlot *slot);

// The pacing rules of display_thread, apart so they can be checked alone.
// Delay after the picture at last_pts: the step to pts, or last_delay when the step is
// not within (0, 1) s.
double display_frame_delay(double pts, double last_pts, double last_delay);
// `delay` for a picture `diff` s ahead of the master clock (negative: late): 0 when late
// by the threshold, doubled when early by it, unchanged within it or 10 s or more away.
double display_correct_delay(double delay, double diff);
// Milliseconds to sleep for `actual` s until the next picture is due: at least 10.
int display_sleep_ms(double actual);
// The delay of the picture at `pts` (updates last_frame_pts and last_frame_delay),
// corrected against the master clock unless sync_mode is sync_video.
double display_picture_delay(PlaybackState *state, double pts);

// video_thread: the time in seconds of a picture decoded from a packet with `packet_dts`
// whose buffer was tagged `tag` (AV_NOPTS_VALUE: none); advances video_clock by one
// picture of the decoder's time_base plus the repeat term.
double video_picture_time(PlaybackState *state, int64_t packet_dts, int64_t tag, int repeat_pict,
                          AVRational time_base);
