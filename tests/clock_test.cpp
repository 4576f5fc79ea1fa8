// The playback clocks against wall time: the PCR clock with and without a PCR, the
// demuxer's PCR anchor and its renewal at a jump, the master clock in each sync mode, and
// the audio clock's look-back over the sound not yet heard.
#include <functional>
#include <gtest/gtest.h>

#include <new>
#include <string>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

#include "engine/clock.h"
#include "engine/playback.h"
#include "input/ts_demux.h"
#include "input/ts_register.h"
#include "tests/support/capture.h"
#include "tests/support/ts_packets.h"

namespace {


struct StateHolder {
    PlaybackState *state;
    StateHolder() : state(new (av_mallocz(sizeof(PlaybackState))) PlaybackState()) {}
    ~StateHolder()
    {
        state->~PlaybackState();
        av_free(state);
    }
};

// The clocks run with wall time. Read between t0 and t1, a clock that stood at `at_now` at
// the moment `now` lies between that value moved on to t0 and to t1 (1 ms for rounding),
// however long the reading thread was held up.
::testing::AssertionResult reads_running(const std::function<double()> &clock, double at_now, int64_t now)
{
    int64_t t0 = av_gettime();
    double got = clock();
    int64_t t1 = av_gettime();
    double lo = at_now + (t0 - now) / 1e6 - 0.001;
    double hi = at_now + (t1 - now) / 1e6 + 0.001;
    if (got >= lo && got <= hi)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "read " << got << ", expected between " << lo << " and " << hi;
}

TEST(PcrClock, RunsFromTheFirstPcrOrElseFromTheShownPicture)
{
    StateHolder h;
    PlaybackState *s = h.state;
    int64_t now = av_gettime();
    s->shown_pts = 50.0;
    s->shown_time = now - 1000000;
    EXPECT_TRUE(reads_running([&] { return pcr_clock_now(s); }, 51.0, now)) << "no PCR yet: the shown-picture clock";

    s->pcr_base = 100.0 * 90000;
    s->pcr_time = now - 2000000;
    EXPECT_TRUE(reads_running([&] { return pcr_clock_now(s); }, 100.0 + 2.0 - 0.4, now)) << "0.4 s behind the PCR time";

    // No PCR and no picture: the clock is the absolute wall time.
    StateHolder bare;
    EXPECT_TRUE(reads_running([&] { return pcr_clock_now(bare.state); }, now / 1e6, now));
}

// The anchor is the first PCR; a step of 10 s or more either way between the PCRs of its
// PID moves it there, dated where the old time line reaches the PCR before the step (the
// steps here come at once, as from a file read ahead), or now when that has passed.
TEST(PcrAnchor, FirstPcrRenewedWhenItsPidJumpsTenSecondsEitherWay)
{
    const int64_t wrap = 1LL << 33;
    struct Step {
        const char *what;
        int pid;
        int64_t pcr;  // 90 kHz
        bool renewed;
    } steps[] = {
        {"the first PCR anchors", 0x100, 100 * 90000, true},
        {"the next one follows it", 0x100, 100 * 90000 + 3600, false},
        {"another PID's PCR is not the anchor's", 0x101, 500 * 90000, false},
        {"a step under 10 s forward", 0x100, 109 * 90000 + 80000, false},
        {"60 s back", 0x100, 49 * 90000 + 80000, true},
        {"a step under 10 s back", 0x100, 40 * 90000 + 10000, false},
        {"60 s forward", 0x100, 100 * 90000 + 10000, true},
        {"just before the 33-bit wrap", 0x100, wrap - 1800, true},
        {"across the wrap", 0x100, 1800, true},
        {"and on from there", 0x100, 5400, false},
    };
    StateHolder h;
    PlaybackState *s = h.state;
    capture_stdout_begin();
    s->demux = ts_demux_create();
    ASSERT_NE(s->demux, nullptr);
    ts_register_pid(s->demux, 0x100, kind_none);
    ts_register_pid(s->demux, 0x101, kind_none);
    capture_stdout_end();

    int cc[2] = {0, 0};
    uint64_t anchor = 0;
    int64_t anchor_time = 0;
    int64_t last = 0;  // the anchor PID's PCR before this one
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        TsBytes packet = ts_packet(step.pid, cc[step.pid - 0x100]++, false, {}, step.pcr);
        int64_t before = av_gettime();
        capture_stdout_begin();
        ts_process_packets(packet.data(), (int32_t)packet.size(), s);
        std::string log = capture_stdout_end();
        int64_t after = av_gettime();
        if (step.pid == 0x100 && !step.renewed)
            last = step.pcr;
        if (step.renewed) {
            EXPECT_EQ(s->demux->first_pcr, (uint64_t)step.pcr);
            int64_t line_end = anchor_time + (last - (int64_t)anchor) * 100 / 9;
            if (anchor_time != 0 && line_end > after) {
                EXPECT_EQ(s->demux->first_pcr_time, line_end);
            } else {
                EXPECT_GE(s->demux->first_pcr_time, before);
                EXPECT_LE(s->demux->first_pcr_time, after);
            }
            last = step.pcr;
            anchor = s->demux->first_pcr;
            anchor_time = s->demux->first_pcr_time;
        } else {
            EXPECT_EQ(s->demux->first_pcr, anchor);
            EXPECT_EQ(s->demux->first_pcr_time, anchor_time);
        }
        bool jump = step.renewed && &step != &steps[0];
        EXPECT_EQ(log.find("clock anchor renewed") != std::string::npos, jump) << log;
    }
    ts_demux_free(s->demux);
    s->demux = nullptr;
}

TEST(AudioClock, LooksBackOverStagedBytesAndWhatTheDeviceHolds)
{
    StateHolder h;
    PlaybackState *s = h.state;
    s->audio_clock = 10.0;
    EXPECT_DOUBLE_EQ(audio_clock_now(s), 10.0);
    s->audio_buf_len = 19200 + 4096;  // 0.1 s of 48 kHz stereo still to hand over
    s->audio_buf_pos = 4096;
    EXPECT_DOUBLE_EQ(audio_clock_now(s), 9.9);
    s->audio_device_delay = 2 * 512 / 48000.0;  // two device buffers of 512 frames
    EXPECT_DOUBLE_EQ(audio_clock_now(s), 9.9 - 2 * 512 / 48000.0);
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
        double expected;  // at `now`
        bool running;     // with wall time
    } cases[] = {
        {sync_audio, 7.0, false},
        {sync_video, 20.5, true},  // the picture clock even though a PCR exists
        {sync_pcr, 300.0 + 1.0 - 0.4, true},
        {3, now / 1e6, true},
        {-1, now / 1e6, true},
    };
    for (const Case &c : cases) {
        s->sync_mode = (SyncMode)c.mode;
        if (c.running)
            EXPECT_TRUE(reads_running([&] { return master_clock_now(s); }, c.expected, now)) << "mode " << c.mode;
        else
            EXPECT_DOUBLE_EQ(master_clock_now(s), c.expected) << "mode " << c.mode;
    }
}

}  // namespace
