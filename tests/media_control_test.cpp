// Play and stop requests through the real media control thread and decode_thread, on
// file inputs (no network).
#include "engine/media_control.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "engine/picture_scale.h"
#include "shell/config.h"
#include "tests/support/capture.h"

namespace {

const std::string fixture = std::string(ZANDORO_FIXTURE_DIR) + "/mpeg2_mp2.ts";

// Generous: a playback's start and teardown are many times slower on a loaded machine or
// under a sanitizer.
bool wait_until(const std::function<bool()> &done, int timeout_ms = 30000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// The engine lives as long as the process, like the program's.
class MediaControlTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        config_defaults();
        media_init();
    }
    void SetUp() override
    {
        PlayerConfig.override_media_url[0] = 0;
        PlayerConfig.fake_mcast[0] = 0;
        tap_ = new StdoutTap();
    }
    void TearDown() override
    {
        stop_and_wait();
        std::string text = tap_->text();
        delete tap_;
        if (HasFailure())
            printf("--- engine log ---\n%s", text.c_str());
    }
    // A stop made before a waiting request has started is cleared by that start, so keep
    // asking until nothing plays and nothing waits.
    static void stop_and_wait()
    {
        ASSERT_TRUE(wait_until([] {
            if (current_playback && !media_request_pending())
                MediaControl->stop_request = 1;
            return current_playback == nullptr && !media_request_pending();
        }));
        MediaControl->stop_request = 0;
    }
    std::string log() { return tap_->text(); }
    bool wait_for_log(const std::string &what, int timeout_ms = 30000) { return tap_->wait_for(what, timeout_ms); }
    StdoutTap *tap_ = nullptr;
};

TEST_F(MediaControlTest, OverrideUrlIsPlayedWhileTheRequestIsLogged)
{
    snprintf(PlayerConfig.override_media_url, sizeof PlayerConfig.override_media_url, "file:%s",
             fixture.c_str());
    media_play("file:/requested.ts");
    ASSERT_TRUE(wait_for_log("decode_thread: file(" + fixture + ")"));
    std::string text = log();
    EXPECT_NE(text.find("media_play(file:/requested.ts)\n"), std::string::npos);
    EXPECT_EQ(text.find("requested.ts)\ndecode_thread: file(/requested.ts)"), std::string::npos);
    EXPECT_TRUE(wait_for_log("decode_thread: rx_fd = "));
    EXPECT_TRUE(wait_for_log("New PID 1000")) << "the file reached the demultiplexer";
}

TEST_F(MediaControlTest, LaterOfTwoQuickRequestsWins)
{
    media_play("file:/first.ts");
    media_play("file:/second.ts");
    ASSERT_TRUE(wait_for_log("decode_thread: file(/second.ts)"));
    std::string text = log();
    EXPECT_EQ(text.find("file(/first.ts)"), std::string::npos);
    EXPECT_EQ(count_of(text, "Starting new decode_thread...\n"), 1u);
}

TEST_F(MediaControlTest, RequestDuringPlaybackWaitsForItsTeardown)
{
    media_play(("file:" + fixture).c_str());
    ASSERT_TRUE(wait_for_log("decode_thread: rx_fd"));
    PlaybackState *first = current_playback;
    ASSERT_NE(first, nullptr);

    MediaControl->rebuild_scaler = 0;
    media_play("file:/missing-second.ts");
    ASSERT_TRUE(wait_for_log("decode_thread: file(/missing-second.ts)"));
    std::string text = log();
    // The first playback unregisters after closing its audio device; only then may the
    // second start (its "finished" line may come later still).
    size_t closed = text.find("os_audio_close() done\n");
    size_t second = text.find("Starting new decode_thread...", text.find("decode_thread: rx_fd"));
    ASSERT_NE(closed, std::string::npos);
    EXPECT_LT(closed, second) << "the second start waits for the first teardown";
    EXPECT_EQ(MediaControl->rebuild_scaler, 1);
    EXPECT_NE(text.find("make_black_picture(): Calling av_picture_pad()\nmake_black_picture(): back\n", second),
              std::string::npos);
    // A file that cannot be opened still plays (silently) until stopped.
    EXPECT_TRUE(wait_for_log("decode_thread: rx_fd = -1\n"));
    EXPECT_NE(current_playback, nullptr);
}

TEST_F(MediaControlTest, BlackPictureIsY0WithNeutralChromaOverWholePlanes)
{
    int w = PlayerConfig.video_w, h = PlayerConfig.video_h;
    for (int plane = 0; plane < 3; plane++)
        memset(OutputPicture->data[plane], 0x55, OutputPicture->linesize[plane] * (plane ? h / 2 : h));
    make_black_picture();
    for (int plane = 0; plane < 3; plane++) {
        int rows = plane ? h / 2 : h, cols = plane ? w / 2 : w;
        uint8_t want = plane ? 0x80 : 0;
        for (int y = 0; y < rows; y++)
            for (int x = 0; x < cols; x++)
                ASSERT_EQ(OutputPicture->data[plane][y * OutputPicture->linesize[plane] + x], want)
                    << plane << " " << x << "," << y;
    }
    EXPECT_EQ(log(), "make_black_picture(): Calling av_picture_pad()\nmake_black_picture(): back\n");
}

TEST_F(MediaControlTest, StopWithNothingPlayingDoesNotStopTheNextPlayback)
{
    MediaControl->stop_request = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(MediaControl->stop_request, 1) << "waits while nothing is registered";
    media_play(("file:" + fixture).c_str());
    ASSERT_TRUE(wait_until([] { return current_playback != nullptr; }));
    EXPECT_EQ(MediaControl->stop_request, 0) << "cleared by the start";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NE(current_playback, nullptr) << "a file played to its end stays registered";
    EXPECT_EQ(log().find("decode_thread finished"), std::string::npos);
}

TEST_F(MediaControlTest, FakeMulticastReadsPrefixGroupDotTs)
{
    char dir[] = "/tmp/zandoro-fake-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/ch-239.9.9.9.ts";
    ASSERT_EQ(symlink(fixture.c_str(), link.c_str()), 0);
    snprintf(PlayerConfig.fake_mcast, sizeof PlayerConfig.fake_mcast, "%s/ch-", dir);
    media_play("igmp://239.9.9.9:1234");
    EXPECT_TRUE(wait_for_log("New PID 1000"));
    std::string text = log();
    EXPECT_NE(text.find("decode_thread: mcast(239.9.9.9:1234)\n"), std::string::npos);
    EXPECT_EQ(text.find("rx_fd"), std::string::npos) << "nothing more is logged for a fake group";
    stop_and_wait();
    unlink(link.c_str());
    rmdir(dir);
}

TEST_F(MediaControlTest, LongUrlIsCutTo1023Characters)
{
    std::string url = "file:/" + std::string(1100, 'u');
    media_play(url.c_str());
    ASSERT_TRUE(wait_for_log("decode_thread: rx_fd"));
    EXPECT_NE(log().find("decode_thread: file(" + url.substr(5, 1018) + ")\n"), std::string::npos);
}

TEST_F(MediaControlTest, UnknownSchemeIsRefusedAndTheNextRequestPlays)
{
    media_play("rtsp://x/");
    ASSERT_TRUE(wait_for_log("decode_thread finished"));
    EXPECT_NE(log().find("Request to play URL with unknown transport"), std::string::npos);
    media_play(("file:" + fixture).c_str());
    EXPECT_TRUE(wait_for_log("decode_thread: rx_fd"));
}

// Only regular files are opened, and a file that cannot be opened says why: otherwise the
// viewer gets a black picture and the log a bare "rx_fd = -1".
TEST_F(MediaControlTest, OnlyRegularFilesAreOpenedAndAFailedOpenSaysWhy)
{
    // A pipe without a writer would hold the open for ever, and the playback with it.
    char dir[] = "/tmp/zandoro-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string fifo = std::string(dir) + "/pipe.ts";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string long_name = std::string(dir) + "/" + std::string(300, 'n') + ".ts";
    struct {
        std::string path;
        std::string before;  // the line before rx_fd's
        std::string after;   // the line after it
    } cases[] = {
        {fifo, "decode_thread: " + fifo + " is not a regular file\n", ""},
        {"/dev/zero", "decode_thread: /dev/zero is not a regular file\n", ""},
        {dir, "decode_thread: " + std::string(dir) + " is not a regular file\n", ""},
        {"/no/such.ts", "", "decode_thread: cannot open /no/such.ts: No such file or directory\n"},
        {fifo + "/x.ts", "", "decode_thread: cannot open " + fifo + "/x.ts: Not a directory\n"},
        {long_name, "", "decode_thread: cannot open " + long_name + ": File name too long\n"},
    };
    size_t refused = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        media_play(("file:" + c.path).c_str());
        // This playback's own line, not an earlier one's.
        refused++;
        ASSERT_TRUE(wait_until([&] { return count_of(log(), "decode_thread: rx_fd = -1\n") == refused; }));
        std::string line = c.before + "decode_thread: rx_fd = -1\n" + c.after;
        EXPECT_TRUE(wait_until([&] { return log().find(line) != std::string::npos; })) << log();
        EXPECT_EQ(count_of(log(), "cannot open " + c.path + ":"), c.after.empty() ? 0u : 1u);
        stop_and_wait();
    }
    // A fake multicast file has no rx_fd line, but says why as well.
    snprintf(PlayerConfig.fake_mcast, sizeof PlayerConfig.fake_mcast, "/no/such/ch-");
    media_play("igmp://239.9.9.8:1234");
    EXPECT_TRUE(wait_for_log("decode_thread: cannot open /no/such/ch-239.9.9.8.ts: No such file or directory\n"));
    stop_and_wait();
    PlayerConfig.fake_mcast[0] = 0;

    media_play(("file:" + fixture).c_str());
    EXPECT_TRUE(wait_for_log("New PID"));
    EXPECT_EQ(count_of(log(), "cannot open " + fixture), 0u);
    unlink(fifo.c_str());
    rmdir(dir);
}

// Each stop is followed at once by the next play: the new playback starts only after the
// old one's teardown, hundreds of times, without a leak (LeakSanitizer) or a hang.
TEST_F(MediaControlTest, ChurnOfPlayStopPlay)
{
    const std::string url = "file:" + fixture;
    for (size_t i = 1; i <= 200; i++) {
        media_play(url.c_str());
        ASSERT_TRUE(wait_until([&] { return count_of(log(), "decode_thread: rx_fd") >= i; })) << i;
        MediaControl->stop_request = 1;
    }
    stop_and_wait();
    // The last line of a teardown comes after the playback has unregistered.
    EXPECT_TRUE(wait_until([&] { return count_of(log(), "decode_thread finished\n") == 200; }));
    std::string text = log();
    EXPECT_EQ(count_of(text, "Starting new decode_thread...\n"), 200u);
    EXPECT_EQ(count_of(text, "decode_thread finished\n"), 200u);
    // "killing ..." lines are allowed: under a loaded machine a thread may take longer than
    // the teardown's 120 ms to start, and is joined all the same.
}

}  // namespace
