// Start-up to picture: the real program, the demo portal from the demo server and the
// demo channels through fake_mcast. The portal shows within seconds, and once the page has
// asked for channel 1, the channel's picture shows through the key-colour area with the
// portal's opaque top bar over it; the composite sits at the client area's top-left at
// 100 % and at 50 % (View > 50%), and again at 100 %, where the client is the full
// video size. File > Exit ends it with 0. A video size the display cannot hold ends the
// program with one plain line before any window or request.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/program_run.h"

namespace {

const uint32_t top_bar = 0x0A101E;   // opaque, rows 0-41 of 576
const uint32_t bar_line = 0x38BDF8;  // rows 42-43

class E2eStartup : public ProgramTest {};

// The rows of column x, from y0 to y1, as text for a failure message.
std::string column(const Screenshot &shot, const MainWindow &w, int x, int y0, int y1)
{
    std::string text;
    for (int y = y0; y <= y1; y++)
        text += std::to_string(y) + ":" + rgb_text(client_pixel(shot, w, x, y)) + " ";
    return text;
}

// What the full layout puts where, at `scale` percent: the top bar and its line over the
// video, the video right of the middle picture and left of the channel list, the list's
// translucent panel (not the bare video) at its left edge.
void expect_full_layout(const Screenshot &shot, const MainWindow &w, int scale, uint32_t channel)
{
    auto at = [&](int x, int y) { return client_pixel(shot, w, x * scale / 100, y * scale / 100); };
    std::string where = " at " + std::to_string(scale) + " %; column 920: " +
                        column(shot, w, 920 * scale / 100, 0, 50 * scale / 100);
    EXPECT_TRUE(colour_shows(at(600, 6), top_bar, 8)) << rgb_text(at(600, 6)) << where;
    EXPECT_TRUE(colour_shows(at(920, 36), top_bar, 8)) << rgb_text(at(920, 36)) << where;
    EXPECT_TRUE(colour_shows(at(920, 288), channel, 8)) << rgb_text(at(920, 288)) << where;
    EXPECT_TRUE(colour_shows(at(920, 60), channel, 8)) << rgb_text(at(920, 60)) << where;
    EXPECT_TRUE(colour_shows(at(960, 500), channel, 8)) << rgb_text(at(960, 500)) << where;
    EXPECT_TRUE(colour_shows(at(10, 200), channel, 8)) << rgb_text(at(10, 200)) << where;
    EXPECT_FALSE(colour_shows(at(28, 200), channel, 24)) << rgb_text(at(28, 200)) << where;
    if (scale == 100) {
        // The line exactly on rows 42 and 43 pins the picture to the client's top edge.
        for (int y = 38; y <= 48; y++) {
            bool line = colour_shows(at(920, y), bar_line, 24);
            EXPECT_EQ(line, y == 42 || y == 43) << "row " << y << ": " << rgb_text(at(920, y)) << where;
        }
        EXPECT_TRUE(colour_shows(at(920, 48), channel, 8)) << where;
        // And the list's left edge at x = 20 pins it to the left one.
        EXPECT_TRUE(colour_shows(at(17, 200), channel, 8)) << rgb_text(at(17, 200)) << where;
        EXPECT_FALSE(colour_shows(at(22, 200), channel, 8)) << rgb_text(at(22, 200)) << where;
    }
}

TEST_F(E2eStartup, PortalThenVideoThroughTheKeyColourAtTopLeftAt100And50Percent)
{
    run_in_netns(
        [] {
            DemoRun demo;
            ASSERT_TRUE(demo.start());
            ProgramRun &program = demo.program;
            MainWindow &w = demo.window;
            long long window_ms = program_now_ms() - program.started_ms();
            Screenshot shot;
            long long portal_ms = wait_for_colour(w, 600, 6, top_bar, test_deadline_ms, &shot);
            ASSERT_GE(portal_ms, 0) << "no portal on screen: " << rgb_text(client_pixel(shot, w, 600, 6))
                                    << " client " << w.client << " " << w.width << "x" << w.height << "+"
                                    << w.x << "+" << w.y << "\n"
                                    << program.out() << program.err();
            portal_ms = program_now_ms() - program.started_ms();
            Rgb key_area_then = client_pixel(shot, w, 920, 288);
            screenshot_keep("startup-portal");
            ASSERT_TRUE(program.wait_for("portal: play 1 Testcard igmp://239.1.1.1:5000")) << program.out();
            ASSERT_TRUE(demo.first_picture(test_deadline_ms, &shot));
            const uint32_t channel = demo_channel_colour(1);
            figure("start-up: window after %lld ms, portal on screen after %lld ms, first picture %lld ms "
                   "after start (%lld ms after Media_Play); first client area %dx%d; the key area showed %s "
                   "when the portal first did",
                   window_ms, portal_ms, demo.picture_ms - program.started_ms(), demo.picture_ms - demo.play_ms,
                   w.width, w.height, rgb_text(key_area_then).c_str());
            screenshot_keep("startup-100");
            EXPECT_NO_FATAL_FAILURE(expect_full_layout(shot, w, 100, channel));

            main_window_keys(w, "alt+v Down Return");
            ASSERT_TRUE(main_window_size_becomes(&w, 512, 288)) << "client area " << w.width << "x" << w.height;
            long long half_ms = wait_for_colour(w, 460, 144, channel, test_deadline_ms, &shot);
            ASSERT_GE(half_ms, 0) << rgb_text(client_pixel(shot, w, 460, 144)) << "\n"
                                  << column(shot, w, 460, 0, 30);
            screenshot_keep("startup-50");
            EXPECT_NO_FATAL_FAILURE(expect_full_layout(shot, w, 50, channel));

            // Back at 100 % the client area counts the window's edge: the whole picture.
            main_window_keys(w, "alt+v Return", 400, 200);
            ASSERT_TRUE(main_window_size_becomes(&w, 1024, 576)) << "client area " << w.width << "x" << w.height;
            ASSERT_GE(wait_for_colour(w, 1020, 300, channel, test_deadline_ms, &shot), 0)
                << rgb_text(client_pixel(shot, w, 1020, 300)) << "\n" << column(shot, w, 1020, 280, 320);
            EXPECT_NO_FATAL_FAILURE(expect_full_layout(shot, w, 100, channel));

            EXPECT_TRUE(demo.exit_from_menu());
        },
        program_test_limit_ms);
}

TEST_F(E2eStartup, AVideoSizeTheDisplayCannotHoldEndsWithOneLineBeforeAnyWindow)
{
    run_in_netns(
        [] {
            DemoRun demo("video_w:99999\nvideo_h:576\n", false);
            ASSERT_TRUE(demo.start("", {}, false));
            int code = demo.program.wait_exit(test_deadline_ms);
            std::string err = demo.program.err();
            EXPECT_EQ(code, 1) << err;
            EXPECT_EQ(err,
                      "config.dat: video_w and video_h must be at most 16383, the largest picture the display "
                      "can hold (got 99999 x 576)\n");
            EXPECT_EQ(count_of(err, "Gdk"), 0) << err;
            // Ended before the version check, so before any window could be made.
            EXPECT_EQ(count_of(demo.server.log(), "version check:"), 0) << demo.server.log();
            EXPECT_EQ(x_command("xdotool search --name '^Tarnell$'"), "");
        },
        program_test_limit_ms);
}

}  // namespace
