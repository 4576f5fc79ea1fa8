// Whole playbacks of streams written by ffmpeg, through the real engine: media_play with a
// "file:" URL, the media control thread, decode_thread and the demuxer, both decoders, the
// display pacing and the scaler into OutputPicture, and SDL's dummy audio device.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/clock.h"
#include "engine/media_control.h"
#include "engine/picture_scale.h"
#include "engine/playback.h"
#include "shell/config.h"
#include "tests/support/capture.h"
#include "tests/support/files.h"
#include "tests/support/playback_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Plane {
    std::vector<uint8_t> bytes;
    int linesize;
    uint8_t at(int x, int y) const { return bytes[(size_t)y * linesize + x]; }
};

struct Watched {
    // Seconds after media_play at which the display's count of pictures first reached
    // 1, 2, 3 ... (the render tick's flag folds pictures together when it looks late).
    std::vector<double> shown;
    // How far ahead of the PCR clock each picture was when the test saw it: at least as
    // far as when it was shown, since the clock only runs on.
    std::vector<double> lead;
    Plane planes[3];            // OutputPicture as it was at the tenth picture
    int loudest = 0;            // largest sample magnitude seen in the audio staging buffer
    bool consumed = false;      // the demuxer reached the end of the file
    bool drained = false;       // and the display used up every picture the decoders gave
    bool stopped = false;
};

Plane copy_plane(int p, int rows)
{
    Plane plane;
    plane.linesize = OutputPicture->linesize[p];
    plane.bytes.assign(OutputPicture->data[p], OutputPicture->data[p] + (size_t)plane.linesize * rows);
    return plane;
}

// Peeks at the audio staging buffer, which the callback copies into the device buffer.
// Not under SDL's audio lock: once the file has ended the callback waits for packets with
// the lock held, as it must never hand back a partly filled buffer. A torn read only
// blurs the figure.
int loudest_staged_sample()
{
    PlaybackState *state = current_playback;
    if (!state || !state->audio_codec)
        return 0;
    int loudest = 0;
    int len = std::min((int)state->audio_buf_len, (int)audio_buf_size);
    const int16_t *samples = (const int16_t *)state->audio_buf;
    for (int i = 0; i < len / 2; i++)
        loudest = std::max(loudest, abs((int)__atomic_load_n(&samples[i], __ATOMIC_RELAXED)));
    return loudest;
}

// Plays a copy of `fixture` with the end mark, acting as the render tick (clearing
// new_picture), until the demuxer has read it all and the display has used up every
// picture the decoders gave; then stops it and waits for the playback to end.
Watched play(const char *fixture)
{
    harness_media_start();
    Watched w;
    ScratchDir dir("zandoro-e2e");
    std::string path = dir.file(fixture);
    write_file(path, read_file(harness_fixture(fixture)) + harness_end_mark());
    auto tap = std::make_unique<StdoutTap>();  // for the end mark's line
    MediaControl->new_picture = 0;
    uint32_t shown_before = pictures_shown;
    Clock::time_point start = Clock::now();
    media_play(("file:" + path).c_str());
    Clock::time_point next_audio_look = start;
    Clock::time_point deadline = start + std::chrono::milliseconds(harness_event_timeout_ms);
    while (Clock::now() < deadline) {
        MediaControl->new_picture = 0;
        uint32_t shown = pictures_shown - shown_before;
        PlaybackState *now_state = current_playback;
        while (w.shown.size() < shown) {
            w.shown.push_back(seconds_since(start));
            w.lead.push_back(now_state ? now_state->shown_pts - pcr_clock_now(now_state) : 0.0);
        }
        if (w.shown.size() >= 10 && w.planes[0].bytes.empty()) {
            int h = PlayerConfig.video_h;
            w.planes[0] = copy_plane(0, h);
            w.planes[1] = copy_plane(1, (h + 1) / 2);
            w.planes[2] = copy_plane(2, (h + 1) / 2);
        }
        if (Clock::now() >= next_audio_look) {
            w.loudest = std::max(w.loudest, loudest_staged_sample());
            next_audio_look = Clock::now() + std::chrono::milliseconds(5);
        }
        if (!w.consumed)
            w.consumed = tap->text().find(harness_end_line) != std::string::npos;
        PlaybackState *state = current_playback;
        if (w.consumed && state && harness_playback_drained(state)) {
            w.drained = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    w.stopped = harness_stop_playback();
    std::string log = tap->text();
    tap.reset();
    fputs(log.c_str(), stdout);
    printf("%s: %zu pictures shown, the first after %.3f s, the last after %.3f s\n", fixture, w.shown.size(),
           w.shown.empty() ? 0.0 : w.shown.front(), w.shown.empty() ? 0.0 : w.shown.back());
    return w;
}

// smptebars' seven upper bars (Y, U, V), left to right.
const int bar_colours[7][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                               {84, 184, 198},  {65, 100, 212}, {35, 212, 114}};

// The bars of a picture fitted at x0 with width `width`, across the full output height.
void expect_bars(const Watched &w, int x0, int width)
{
    ASSERT_FALSE(w.planes[0].bytes.empty()) << "fewer than 10 pictures shown";
    int y = PlayerConfig.video_h / 3;
    for (int i = 0; i < 7; i++) {
        int x = x0 + (int)((i + 0.5) * width / 7);
        int got[3] = {w.planes[0].at(x, y), w.planes[1].at(x / 2, y / 2), w.planes[2].at(x / 2, y / 2)};
        for (int c = 0; c < 3; c++)
            EXPECT_NEAR(got[c], bar_colours[i][c], 12) << "bar " << i << " plane " << c;
    }
    // Beside a narrower picture: black bars.
    if (x0 > 0) {
        EXPECT_EQ(w.planes[0].at(x0 / 2, y), 0);
        EXPECT_EQ(w.planes[1].at(x0 / 4, y / 2), 128);
    }
}

// The display holds the pictures to the PCR clock, so the stream's last picture comes
// near its time (unpaced, the 4 s stream would be over within a moment of its reading).
// The first pictures may come early (the clock starts behind the stream) or late (the
// decoder starting slowly on a busy machine, then the display catching up). How fast
// they come depends on the decoder keeping up: the last two seconds at the stream's 25
// a second on an idle machine, faster while catching up on a busy one: figures only.
void expect_paced(const Watched &w)
{
    ASSERT_GT(w.shown.size(), 60u) << "pictures shown";
    EXPECT_LT(w.lead.back(), 0.5) << "seconds the last picture came ahead of the PCR clock";
    double last = w.shown.back();
    long recent = std::count_if(w.shown.begin(), w.shown.end(), [&](double t) { return t > last - 2.0; });
    std::vector<double> steps;
    for (size_t i = w.shown.size() - 40; i < w.shown.size(); i++)
        steps.push_back(w.shown[i] - w.shown[i - 1]);
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    printf("pictures in the last 2 s of display: %ld (25 a second: 50); median step between pictures: %.3f s; "
           "the last %.3f s ahead of the PCR clock\n",
           recent, steps[steps.size() / 2], w.lead.back());
}

void expect_black_output()
{
    size_t luma = (size_t)OutputPicture->linesize[0] * PlayerConfig.video_h;
    size_t chroma = (size_t)OutputPicture->linesize[1] * (PlayerConfig.video_h / 2);
    EXPECT_EQ(std::count(OutputPicture->data[0], OutputPicture->data[0] + luma, 0), (long)luma);
    EXPECT_EQ(std::count(OutputPicture->data[1], OutputPicture->data[1] + chroma, 0x80), (long)chroma);
    EXPECT_EQ(std::count(OutputPicture->data[2], OutputPicture->data[2] + chroma, 0x80), (long)chroma);
}

TEST(PlaybackE2e, Mpeg2StandardDefinitionWithMp2)
{
    Watched w = play("mpeg2_720x576_mp2.ts");
    EXPECT_TRUE(w.consumed) << "the demuxer did not reach the end of the file";
    EXPECT_TRUE(w.drained) << "pictures still waiting after " << harness_event_timeout_ms << " ms";
    ASSERT_TRUE(w.stopped);
    ASSERT_FALSE(w.shown.empty()) << "no picture reached the output";
    // 720 x 576 square samples: 1.25 wide, so 720 x 576 in the middle of 1024 x 576.
    expect_bars(w, 152, 720);
    expect_paced(w);
    EXPECT_GT(w.loudest, 2000) << "the audio device was given no sound";
    expect_black_output();
}

TEST(PlaybackE2e, H264HighDefinitionWithMp2)
{
    Watched w = play("h264_1080_mp2.ts");
    EXPECT_TRUE(w.consumed) << "the demuxer did not reach the end of the file";
    EXPECT_TRUE(w.drained) << "pictures still waiting after " << harness_event_timeout_ms << " ms";
    ASSERT_TRUE(w.stopped);
    ASSERT_FALSE(w.shown.empty()) << "no picture reached the output";
    expect_bars(w, 0, PlayerConfig.video_w);  // 16:9 fills 1024 x 576
    expect_paced(w);
    EXPECT_GT(w.loudest, 2000) << "the audio device was given no sound";
    expect_black_output();
}

// No sound server or card: the playback goes on without sound, its pictures paced by the
// PCR clock as ever (its audio must not fill the queue and stop the input), and the next
// playback opens the device once there is one.
TEST(PlaybackE2e, WithoutASoundDeviceThePicturesArePacedAndTheNextPlaybackTriesAgain)
{
    harness_media_start();
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    capture_stderr_begin();
    Watched w = play("mpeg2_mp2_10s.ts");
    std::string err = capture_stderr_end();
    ASSERT_TRUE(w.stopped);
    EXPECT_EQ(count_of(err, "SDL_OpenAudioDevice: "), 1u) << err;
    // Pictures keep coming to the end of the file, held to the PCR clock without audio.
    EXPECT_TRUE(w.consumed) << "the demuxer did not reach the end of the file";
    EXPECT_TRUE(w.drained) << "the pictures stopped";
    expect_paced(w);
    EXPECT_EQ(w.loudest, 0) << "sound without a device";

    setenv("SDL_AUDIODRIVER", "dummy", 1);
    capture_stderr_begin();
    w = play("mpeg2_mp2_10s.ts");
    err = capture_stderr_end();
    ASSERT_TRUE(w.stopped);
    EXPECT_EQ(count_of(err, "SDL_OpenAudioDevice: "), 0u) << err;
    EXPECT_GT(w.loudest, 2000) << "the next playback did not open the device";
}

}  // namespace
