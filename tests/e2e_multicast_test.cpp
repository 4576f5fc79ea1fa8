// Real multicast inside a network namespace: ffmpeg sends two demo channels to their
// groups, and the program, with a config.dat without fake_mcast, joins and plays what the
// demo portal asks for. Channel 1 shows, a change to channel 2 shows it and leaves group 1,
// and the portal's stop leaves group 2 too (the kernel's own list of memberships,
// /proc/net/igmp, is the judge). The display reaches Xvfb through its socket file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>

#include "tests/support/netns.h"
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
bool membership_becomes(const char *group, bool want, int timeout_ms = 5000)
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
    ChildRun run = netns_run(
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
            WorkDir dir("video_w:1024\nvideo_h:576\n");
            ASSERT_TRUE(dir.ok());
            DemoServer server;
            ASSERT_TRUE(server.start()) << server.log();
            ProgramRun program;
            ASSERT_TRUE(program.start_program(dir.path()));
            MainWindow w;
            ASSERT_TRUE(main_window_find(&w)) << program.out() << program.err();

            // The page plays channel 1 when it has loaded.
            Screenshot shot;
            ASSERT_TRUE(program.wait_for("media_play(igmp://239.1.1.1:5000)")) << program.out();
            long long one_ms = wait_for_colour(w, 920, 288, demo_channel_colour(1), 15000, &shot);
            ASSERT_GE(one_ms, 0) << rgb_text(client_pixel(shot, w, 920, 288)) << "\n"
                                 << program.out() << senders[0].err();
            EXPECT_TRUE(joined("239.1.1.1")) << memberships();
            EXPECT_FALSE(joined("239.1.1.2")) << memberships();
            screenshot_keep("multicast-1");

            long long keys_ms = program_now_ms();
            main_window_keys(w, "2");
            long long two_ms = wait_for_colour(w, 920, 288, demo_channel_colour(2), 15000, &shot);
            ASSERT_GE(two_ms, 0) << rgb_text(client_pixel(shot, w, 920, 288)) << "\n" << program.out();
            two_ms = program_now_ms() - keys_ms;
            EXPECT_TRUE(membership_becomes("239.1.1.1", false)) << memberships();
            EXPECT_TRUE(joined("239.1.1.2")) << memberships();

            main_window_keys(w, "s");
            ASSERT_TRUE(program.wait_for("portal: stop\n", 5000)) << program.out();
            EXPECT_TRUE(program.wait_for("decode_thread finished\n", 5000, 2)) << program.out();
            EXPECT_TRUE(membership_becomes("239.1.1.2", false)) << memberships();
            EXPECT_FALSE(joined("239.1.1.1")) << memberships();

            std::string out = program.out();
            // Native data came, so the relay was never tried.
            EXPECT_EQ(count_of(out, "trying AMT"), 0) << out;
            figure("multicast: channel 1 on screen %lld ms after Media_Play, channel 2 %lld ms after its key",
                   one_ms, two_ms);

            main_window_keys(w, "alt+f x");
            EXPECT_EQ(program.wait_exit(15000), 0) << program.out() << program.err();
            EXPECT_EQ(sanitizer_report(program.err()), "");
        },
        90000);
    figures_pass_on(run.out);
    EXPECT_TRUE(child_ok(run));
}

}  // namespace
