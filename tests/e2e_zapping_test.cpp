// Zapping: ten channel changes through the demo portal's keys (arrows and Enter, page
// keys, digits), each reaching a picture of the new channel on screen; each change ends
// the playback before it, so the log shows one "decode_thread finished" per change; and
// the program then ends with 0 and, in a sanitizer build, without a report (leaks
// included). The list's highlight moving off a row leaves nothing of it behind in the
// translucent panel.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "tests/support/program_run.h"

namespace {

const uint32_t top_bar = 0x0A101E;  // the portal's opaque top bar

class E2eZapping : public ProgramTest {};

TEST_F(E2eZapping, TenChangesEachShowTheNewChannelAndEndTheOldPlayback)
{
    run_in_netns(
        [] {
            DemoRun demo;
            ASSERT_TRUE(demo.start());
            ProgramRun &program = demo.program;
            MainWindow &w = demo.window;
            // The page starts channel 1 itself; the keys go to it once it is on screen.
            ASSERT_TRUE(demo.first_picture());
            Screenshot first;
            ASSERT_GE(wait_for_colour(w, 600, 6, top_bar, test_deadline_ms, &first), 0)
                << rgb_text(client_pixel(first, w, 600, 6)) << "\n" << program.out();

            struct Zap {
                const char *keys;
                int channel;
            } zaps[] = {
                {"Down Return", 2}, {"3", 3}, {"Next", 4}, {"5", 5}, {"Down Return", 6},
                {"Next", 1},  // past the last channel to the first
                {"Prior", 6}, {"2", 2}, {"5", 5}, {"Up Return", 4},
            };
            long long slowest = 0, total = 0;
            std::string times;
            int done = 0;
            for (const Zap &zap : zaps) {
                std::string play = "media_play(igmp://239.1.1." + std::to_string(zap.channel) + ":5000)";
                int plays = count_of(program.out(), play);
                long long keys_ms = program_now_ms();
                main_window_keys(w, zap.keys);
                ASSERT_TRUE(program.wait_for(play, test_deadline_ms, plays + 1))
                    << "keys " << zap.keys << "\n" << program.out();
                Screenshot shot;
                long long ms =
                    wait_for_colour(w, 920, 288, demo_channel_colour(zap.channel), test_deadline_ms, &shot);
                ASSERT_GE(ms, 0) << "keys " << zap.keys << ": channel " << zap.channel << " not on screen, "
                                 << rgb_text(client_pixel(shot, w, 920, 288)) << "\n" << program.out();
                ms = program_now_ms() - keys_ms;
                done++;
                if (done == 1) {
                    // The highlight has left row 1 of the translucent list: row 1 must look like
                    // row 3 over the same video, with nothing of the old highlight left in it.
                    long long until = program_now_ms() + test_deadline_ms;
                    int apart = 0;
                    bool portal = false;
                    Rgb row1{}, row3{};
                    do {
                        ASSERT_TRUE(screenshot_take(&shot, &w));
                        portal = colour_shows(client_pixel(shot, w, 600, 6), top_bar, 8);
                        row1 = client_pixel(shot, w, 200, 116);
                        row3 = client_pixel(shot, w, 200, 218);
                        apart = abs(row1.r - row3.r) + abs(row1.g - row3.g) + abs(row1.b - row3.b);
                    } while ((!portal || apart > 12) && program_now_ms() < until);
                    EXPECT_TRUE(portal) << rgb_text(client_pixel(shot, w, 600, 6));
                    EXPECT_LE(apart, 12) << "row 1 " << rgb_text(row1) << ", row 3 " << rgb_text(row3);
                    screenshot_keep("zapping-1");
                }
                EXPECT_TRUE(program.wait_for("decode_thread finished\n", test_deadline_ms, done)) << program.out();
                times += (times.empty() ? "" : " ") + std::to_string(ms);
                total += ms;
                slowest = std::max(slowest, ms);
                if (done == 5)
                    screenshot_keep("zapping-5");
            }
            figure("zapping: the new channel on screen %s ms after its keys (mean %lld, slowest %lld; "
                   "keys and screenshots take ~50 ms of it)",
                   times.c_str(), total / done, slowest);
            std::string out = program.out();
            EXPECT_EQ(count_of(out, "media_play(igmp://"), 11) << out;
            EXPECT_EQ(count_of(out, "decode_thread starting\n"), 11) << out;
            EXPECT_EQ(count_of(out, "decode_thread finished\n"), 10) << out;
            EXPECT_EQ(count_of(out, "killing"), 0) << out;

            EXPECT_TRUE(demo.exit_from_menu());
        },
        program_test_limit_ms);
}

}  // namespace
