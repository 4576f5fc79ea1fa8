#include "engine/clock.h"

extern "C" {
#include <libavutil/time.h>
}

#include "engine/audio_output.h"
#include "engine/playback.h"

static const double pcr_units_per_second = 90000.0;
static const double pcr_clock_lag = 0.4;  // seconds the PCR clock stays behind the stream

static double seconds_since(int64_t now, int64_t then)
{
    return (double)(now - then) / 1000000.0;
}

static double shown_picture_clock(const PlaybackState *state, int64_t now)
{
    return state->shown_pts + seconds_since(now, state->shown_time);
}

double pcr_clock_now(const PlaybackState *state)
{
    int64_t now = av_gettime();
    // pcr_time is stored after pcr_base, so a set pcr_time comes with its base.
    int64_t pcr_time = state->pcr_time;
    if (pcr_time != 0)
        return state->pcr_base / pcr_units_per_second + seconds_since(now, pcr_time) - pcr_clock_lag;
    return shown_picture_clock(state, now);
}

double audio_clock_now(const PlaybackState *state)
{
    // The staging buffer always holds the output format, whatever the decoder reports, so
    // its bytes turn into seconds at that format's rate. What the device holds is still
    // to be heard as well.
    int32_t pending = state->audio_buf_len - state->audio_buf_pos;
    return state->audio_clock - (double)pending / audio_out_bytes_per_second - state->audio_device_delay;
}

double master_clock_now(const PlaybackState *state)
{
    switch (state->sync_mode) {
    case sync_audio:
        return audio_clock_now(state);
    case sync_video:
        return shown_picture_clock(state, av_gettime());
    case sync_pcr:
        return pcr_clock_now(state);
    }
    return (double)av_gettime() / 1000000.0;
}
