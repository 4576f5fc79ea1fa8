// Real multicast inside a network namespace: ffmpeg sends two demo channels to their
// groups, and the program, with a config.dat without fake_mcast, joins and plays what the
// demo portal asks for. Channel 1 shows, a change to channel 2 shows it and leaves group 1,
// and the portal's stop leaves group 2 too (the kernel's own list of memberships,
// /proc/net/igmp, is the judge). The display reaches Xvfb through its socket file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>

#include "tests/support/program_run.h"

namespace {

class E2eMulticast : public ProgramTest {};

bool joined(const char *group)
{
    std::vector<std::string> groups = igmp_groups();
    return std::find(groups.begin(), groups.end(), igmp_hex(group)) != groups.end();
}

std::string memberships()
{
    std::string text;
    for (const std::string &g : igmp_groups())
        text += g + " ";
    return text;
}

// Until the group's membership is as wanted; false after timeout_ms.
bool membership_becomes(const char *group, bool want, int timeout_ms = test_deadline_ms)
{
    long long end = program_now_ms() + timeout_ms;
    while (joined(group) != want) {
        if (program_now_ms() > end)
            return false;
        usleep(20000);
    }
    return true;
}

TEST_F(E2eMulticast, PlaysWhatFfmpegSendsAndLeavesTheGroupOnChangeAndStop)
{
    run_in_netns(
        [] {
            std::string why;
            std::string streams = demo_streams_dir(&why);
            ASSERT_FALSE(streams.empty()) << why;
            ProgramRun senders[2];
            for (int n = 1; n <= 2; n++) {
                std::string file = streams + "/239.1.1." + std::to_string(n) + ".ts";
                std::string url = "udp://239.1.1." + std::to_string(n) + ":5000?pkt_size=1316";
                ASSERT_TRUE(senders[n - 1].start({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re",
                                                  "-stream_loop", "-1", "-i", file, "-c", "copy", "-f", "mpegts",
                                                  url},
                                                 "/"));
            }
            DemoRun demo(video_size_config, false);
            ASSERT_TRUE(demo.start());
            ProgramRun &program = demo.program;
            MainWindow &w = demo.window;

            // The page plays channel 1 when it has loaded.
            Screenshot shot;
            ASSERT_TRUE(demo.first_picture(test_deadline_ms, &shot)) << senders[0].err();
            long long one_ms = demo.picture_ms - demo.play_ms;
            EXPECT_TRUE(joined("239.1.1.1")) << memberships();
            EXPECT_FALSE(joined("239.1.1.2")) << memberships();
            screenshot_keep("multicast-1");

            long long keys_ms = program_now_ms();
            main_window_keys(w, "2");
            long long two_ms = wait_for_colour(w, 920, 288, demo_channel_colour(2), test_deadline_ms, &shot);
            ASSERT_GE(two_ms, 0) << rgb_text(client_pixel(shot, w, 920, 288)) << "\n" << program.out();
            two_ms = program_now_ms() - keys_ms;
            EXPECT_TRUE(membership_becomes("239.1.1.1", false)) << memberships();
            EXPECT_TRUE(joined("239.1.1.2")) << memberships();

            main_window_keys(w, "s");
            ASSERT_TRUE(program.wait_for("portal: stop\n")) << program.out();
            EXPECT_TRUE(program.wait_for("decode_thread finished\n", test_deadline_ms, 2)) << program.out();
            EXPECT_TRUE(membership_becomes("239.1.1.2", false)) << memberships();
            EXPECT_FALSE(joined("239.1.1.1")) << memberships();

            std::string out = program.out();
            // Native data came, so the relay was never tried.
            EXPECT_EQ(count_of(out, "trying AMT"), 0) << out;
            figure("multicast: channel 1 on screen %lld ms after Media_Play, channel 2 %lld ms after its key",
                   one_ms, two_ms);

            EXPECT_TRUE(demo.exit_from_menu());
        },
        program_test_limit_ms);
}

}  // namespace
