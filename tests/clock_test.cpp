// The playback clocks against wall time: the PCR clock with and without a PCR, the master
// clock in each sync mode, and the audio clock's look-back over unplayed staging bytes.
#include <gtest/gtest.h>

#include <new>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

#include "engine/clock.h"
#include "engine/playback.h"

namespace {

const double tolerance = 0.05;  // seconds; the clocks read wall time

struct StateHolder {
    PlaybackState *state;
    StateHolder() : state(new (av_mallocz(sizeof(PlaybackState))) PlaybackState()) {}
    ~StateHolder()
    {
        state->~PlaybackState();
        av_free(state);
    }
};

double wall_seconds() { return av_gettime() / 1000000.0; }

TEST(PcrClock, RunsFromTheFirstPcrOrElseFromTheShownPicture)
{
    StateHolder h;
    PlaybackState *s = h.state;
    int64_t now = av_gettime();
    s->shown_pts = 50.0;
    s->shown_time = now - 1000000;
    EXPECT_NEAR(pcr_clock_now(s), 51.0, tolerance) << "no PCR yet: the shown-picture clock";

    s->pcr_base = 100.0 * 90000;
    s->pcr_time = now - 2000000;
    EXPECT_NEAR(pcr_clock_now(s), 100.0 + 2.0 - 0.4, tolerance) << "0.4 s behind the PCR time";

    // No PCR and no picture: the clock is the absolute wall time.
    StateHolder bare;
    EXPECT_NEAR(pcr_clock_now(bare.state), wall_seconds(), tolerance);
}

TEST(AudioClock, LooksBackOverStagedBytesNotYetPlayed)
{
    StateHolder h;
    PlaybackState *s = h.state;
    s->audio_clock = 10.0;
    EXPECT_DOUBLE_EQ(audio_clock_now(s), 10.0);
    s->audio_buf_len = 19200 + 4096;  // 0.1 s of 48 kHz stereo still to hand over
    s->audio_buf_pos = 4096;
    EXPECT_DOUBLE_EQ(audio_clock_now(s), 9.9);
}

TEST(MasterClock, FollowsTheSyncMode)
{
    StateHolder h;
    PlaybackState *s = h.state;
    int64_t now = av_gettime();
    s->audio_clock = 7.0;
    s->shown_pts = 20.0;
    s->shown_time = now - 500000;
    s->pcr_base = 300.0 * 90000;
    s->pcr_time = now - 1000000;

    struct Case {
        int32_t mode;
        double expected;
    } cases[] = {
        {sync_audio, 7.0},
        {sync_video, 20.5},  // the picture clock even though a PCR exists
        {sync_pcr, 300.0 + 1.0 - 0.4},
        {3, wall_seconds()},
        {-1, wall_seconds()},
    };
    for (const Case &c : cases) {
        s->sync_mode = (SyncMode)c.mode;
        EXPECT_NEAR(master_clock_now(s), c.expected, tolerance) << "mode " << c.mode;
    }
}

}  // namespace
