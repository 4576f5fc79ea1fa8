// Whole playbacks of streams written by ffmpeg whose timestamps jump: 60 s back, 60 s
// forward, and across the 33-bit wrap. Through the real engine (media_play with a "file:"
// URL, decode_thread, the demuxer, both decoders, the display pacing) with SDL's disk audio
// driver, which writes what the device callback hands over to a file. Before the jump the
// sound is a 440 Hz sine, after it 1000 Hz.
#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/time.h>
}

#include "engine/clock.h"
#include "engine/media_control.h"
#include "engine/playback.h"
#include "tests/support/files.h"
#include "tests/support/playback_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

const double play_seconds = 12.0;
const double block_seconds = 0.1;  // the recorded sound is judged in blocks this long

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Offsets {
    double t;        // seconds after media_play
    double picture;  // the shown picture's time minus the master clock when it was taken
    double sound;    // the audio clock minus the master clock
};

struct Watched {
    std::vector<double> shown;  // seconds after media_play at which each picture arrived
    std::vector<Offsets> offsets;
    std::vector<int16_t> sound;  // what the device callback handed over, 48 kHz stereo
    bool stopped = false;
};

// The clocks as the display and the audio thread see them; read without a lock, so a
// reading may mix two moments, which the median of many irons out.
bool read_offsets(double t, Offsets *o)
{
    PlaybackState *state = current_playback;
    if (!state || !state->audio_codec || state->shown_time == 0)
        return false;
    int64_t now = av_gettime();
    double master = master_clock_now(state);
    o->t = t;
    o->picture = state->shown_pts - (master - (double)(now - state->shown_time) / 1000000.0);
    o->sound = audio_clock_now(state) - master;
    return true;
}

Watched play(const char *fixture)
{
    harness_media_start();
    ScratchDir dir("zandoro-jump");
    std::string recording = dir.file("sound.raw");
    // The disk driver hands over a 1024-frame buffer (21.3 ms) after each wait of this long.
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", recording.c_str(), 1);
    setenv("SDL_DISKAUDIODELAY", "21", 1);

    Watched w;
    std::string url = std::string("file:") + ZANDORO_FIXTURE_DIR + "/" + fixture;
    MediaControl->new_picture = 0;
    Clock::time_point start = Clock::now();
    media_play(url.c_str());
    Clock::time_point next_look = start;
    while (seconds_since(start) < play_seconds) {
        if (MediaControl->new_picture.exchange(0))
            w.shown.push_back(seconds_since(start));
        Offsets o;
        if (Clock::now() >= next_look && read_offsets(seconds_since(start), &o)) {
            w.offsets.push_back(o);
            next_look = Clock::now() + std::chrono::milliseconds(50);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    MediaControl->stop_request = 1;
    Clock::time_point stop = Clock::now();
    while (seconds_since(stop) < 10.0 && (current_playback || MediaControl->stop_request))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    w.stopped = !current_playback;
    setenv("SDL_AUDIODRIVER", "dummy", 1);

    // The device is closed with the playback, and the driver's file with it.
    std::string bytes = read_file(recording);
    w.sound.resize(bytes.size() / 2);
    memcpy(w.sound.data(), bytes.data(), w.sound.size() * 2);
    return w;
}

struct Block {
    double rms;
    double frequency;  // of the left channel, from its rising zero crossings
};

std::vector<Block> blocks(const std::vector<int16_t> &stereo)
{
    const size_t frames = (size_t)(48000 * block_seconds);
    std::vector<Block> out;
    for (size_t first = 0; (first + frames) * 2 <= stereo.size(); first += frames) {
        double sum = 0;
        int rising = 0;
        for (size_t i = first; i < first + frames; i++) {
            double v = stereo[2 * i];
            sum += v * v;
            if (i > first && stereo[2 * (i - 1)] < 0 && stereo[2 * i] >= 0)
                rising++;
        }
        out.push_back({sqrt(sum / frames), rising / block_seconds});
    }
    return out;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// After the jump the sound goes on: the second tone reaches the device within the
// playback, and from then on it sounds, without the first tone coming back, until the
// playback ends.
void expect_sound_goes_on(const Watched &w)
{
    std::vector<Block> b = blocks(w.sound);
    auto is_tone = [](const Block &x, double hz) { return x.rms > 1000 && fabs(x.frequency - hz) < hz * 0.1; };
    size_t first = 0;
    while (first < b.size() && !is_tone(b[first], 1000))
        first++;
    ASSERT_LT(first, b.size()) << "the sound after the jump never reached the device; "
                               << b.size() * block_seconds << " s recorded";
    size_t last = b.size();
    while (last > first && b[last - 1].rms <= 1000)
        last--;  // the silence the device plays while the playback ends
    long loud = std::count_if(b.begin() + (long)first, b.begin() + (long)last,
                              [](const Block &x) { return x.rms > 1000; });
    long before = std::count_if(b.begin() + (long)first, b.begin() + (long)last,
                                [&](const Block &x) { return is_tone(x, 440); });
    double span = (last - first) * block_seconds;
    EXPECT_GE(span, 3.0) << "seconds of sound after the jump; " << first * block_seconds
                         << " s recorded before it";
    EXPECT_GE(loud, (long)((last - first) * 9 / 10)) << "loud blocks of " << last - first;
    EXPECT_EQ(before, 0) << "the sound from before the jump came back";
}

// Pictures go on at the stream's 25 a second to the end, without a stall.
void expect_pictures_go_on(const Watched &w)
{
    ASSERT_GT(w.shown.size(), 100u);
    double gap = 0;
    for (size_t i = 1; i < w.shown.size(); i++)
        gap = std::max(gap, w.shown[i] - w.shown[i - 1]);
    EXPECT_LT(gap, 1.0) << "longest time without a new picture";
    double last = w.shown.back();
    EXPECT_GT(last, play_seconds - 0.5) << "pictures stopped";
    long recent = std::count_if(w.shown.begin(), w.shown.end(), [&](double t) { return t > last - 2.0; });
    EXPECT_NEAR(recent, 50, 10) << "pictures in the last 2 s";
    std::vector<double> steps;
    for (size_t i = w.shown.size() - 40; i < w.shown.size(); i++)
        steps.push_back(w.shown[i] - w.shown[i - 1]);
    EXPECT_NEAR(median(steps), 0.04, 0.01) << "median step between the last pictures";
}

// Within a few seconds of the jump both are back with the master clock: over the last two
// seconds the picture and the sound are each within a fraction of a second of it, where
// a clock left on the old time line puts them 60 s or 26.5 hours away.
void expect_back_in_step(const Watched &w)
{
    std::vector<double> picture, sound;
    for (const Offsets &o : w.offsets) {
        if (o.t > play_seconds - 2.0) {
            picture.push_back(o.picture);
            sound.push_back(o.sound);
        }
    }
    ASSERT_GT(picture.size(), 5u) << "clock readings in the last 2 s";
    EXPECT_NEAR(median(picture), 0.0, 0.5) << "picture minus master clock, s";
    EXPECT_NEAR(median(sound), 0.0, 0.5) << "sound minus master clock, s";
}

class TimestampJump : public testing::TestWithParam<const char *> {};

TEST_P(TimestampJump, SoundAndPictureGoOnAndComeBackInStep)
{
    Watched w = play(GetParam());
    ASSERT_TRUE(w.stopped);
    expect_sound_goes_on(w);
    expect_pictures_go_on(w);
    expect_back_in_step(w);
}

INSTANTIATE_TEST_SUITE_P(Streams, TimestampJump,
                         testing::Values("jump_back_60.ts", "jump_forward_60.ts", "pts_wrap.ts"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

}  // namespace
