// The real program meeting failures from outside, as a viewer would: a machine that is
// offline (loopback only, no multicast route), groups the join refuses, a ten-megabyte
// URL, and a sound device SDL cannot open. Each ends at most its own playback: the
// program keeps running and plays the next channel, whose picture shows on screen.
//
// The portal is a test page that covers the window in the key colour and plays whatever
// URL the test puts at /play (it asks every 100 ms); "huge" makes it play a URL of
// 10 MiB built in the page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/http_server.h"
#include "tests/support/netns.h"
#include "tests/support/program_run.h"

namespace {

const char portal_page[] = R"(<!DOCTYPE html>
<html><head><title>failures portal</title></head>
<body style="margin:0; background:#F048E0">
<script>
let last = '';
function poll() {
  fetch('/play', {cache: 'no-store'}).then(r => r.text()).then(url => {
    if (url && url !== last) {
      last = url;
      console.log('portal play ' + url);
      Zandoro.Media_Play(url === 'huge' ? 'igmp://239.9.9.9:' + '9'.repeat(10 << 20) : url);
    }
  }).catch(() => {}).finally(() => setTimeout(poll, 100));
}
window.addEventListener('load', poll);
</script></body></html>)";

class E2eFailures : public ProgramTest {};

struct Portal {
    LoopbackHttpServer server;
    WorkDir dir{video_size_config};
    std::string streams;
    std::string why;

    testing::AssertionResult start(const std::string &first_url)
    {
        streams = demo_streams_dir(&why);
        if (streams.empty())
            return testing::AssertionFailure() << why;
        if (!dir.ok())
            return testing::AssertionFailure() << "no work directory";
        if (!server.start(8080))
            return testing::AssertionFailure() << "no server on 127.0.0.1:8080";
        server.set_page("/cgi-bin/zandoro_version_check", "text/plain", "OK");
        server.set_page("/portal/index.html", "text/html", portal_page);
        play(first_url);
        return testing::AssertionSuccess();
    }
    void play(const std::string &url) { server.set_page("/play", "text/plain", url); }
    std::string channel(int n) { return "file:" + streams + "/239.1.1." + std::to_string(n) + ".ts"; }
};

// The end of the program's log, for a failure message.
std::string log_tail(const std::string &out)
{
    return out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
}

// Still running 5 s after a failure: it did not end on the way.
testing::AssertionResult runs_on(ProgramRun &program)
{
    sleep(5);
    if (program.running())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the program ended, exit code " << program.wait_exit(0) << "\n"
                                       << program.out() << program.err();
}

TEST_F(E2eFailures, FailedJoinsOnAnOfflineMachineLeaveTheProgramPlaying)
{
    run_in_netns(
        [] {
            std::string why;
            ASSERT_TRUE(netns_drop_multicast_route(&why)) << why;
            Portal portal;
            ASSERT_TRUE(portal.start("igmp://239.9.9.9:5000"));
            ProgramRun program;
            ASSERT_TRUE(program.start_program(portal.dir.path()));
            MainWindow w;
            ASSERT_TRUE(main_window_find(&w, test_deadline_ms)) << program.out() << program.err();

            ASSERT_TRUE(program.wait_for_err("adding multicast group: No such device\n"))
                << program.out() << program.err();
            EXPECT_TRUE(runs_on(program));

            // A group the join refuses, then ten megabytes of URL.
            portal.play("igmp://999.1.1.1");
            EXPECT_TRUE(program.wait_for_err("adding multicast group: Invalid argument\n"))
                << program.out() << program.err();
            portal.play("huge");
            EXPECT_TRUE(program.wait_for_err("adding multicast group: No such device\n", 30000, 2))
                << program.err();

            // The next channel plays.
            portal.play(portal.channel(1));
            Screenshot shot;
            EXPECT_GE(wait_for_colour(w, 920, 288, demo_channel_colour(1), 20000, &shot), 0)
                << rgb_text(client_pixel(shot, w, 920, 288)) << "\n" << program.err();
            EXPECT_EQ(count_of(program.out(), "trying AMT"), 0);

            main_window_keys(w, "alt+f x");
            EXPECT_EQ(program.wait_exit(test_deadline_ms), 0) << program.err() << log_tail(program.out());
            EXPECT_EQ(sanitizer_report(program.err()), "");
        },
        program_test_limit_ms);
}

TEST_F(E2eFailures, WithoutASoundDeviceThePicturePlaysAndTheNextPlaybackTriesAgain)
{
    run_in_netns(
        [] {
            Portal portal;
            ASSERT_TRUE(portal.start(""));
            ProgramRun program;
            // SDL finds no such driver, as on a machine without a sound server or card.
            ASSERT_TRUE(program.start_program(portal.dir.path(), {{"SDL_AUDIODRIVER", "no-such-driver"}}));
            MainWindow w;
            ASSERT_TRUE(main_window_find(&w, test_deadline_ms)) << program.out() << program.err();

            for (int n = 1; n <= 2; n++) {
                SCOPED_TRACE("channel " + std::to_string(n));
                portal.play(portal.channel(n));
                EXPECT_TRUE(program.wait_for_err("SDL_OpenAudioDevice: ", 20000, n)) << program.err();
                Screenshot shot;
                EXPECT_GE(wait_for_colour(w, 920, 288, demo_channel_colour(n), 20000, &shot), 0)
                    << rgb_text(client_pixel(shot, w, 920, 288)) << "\n" << program.err();
            }
            EXPECT_TRUE(runs_on(program));
            EXPECT_EQ(count_of(program.err(), "SDL_OpenAudioDevice: "), 2) << program.err();

            main_window_keys(w, "alt+f x");
            EXPECT_EQ(program.wait_exit(test_deadline_ms), 0) << program.err() << log_tail(program.out());
            EXPECT_EQ(sanitizer_report(program.err()), "");
        },
        program_test_limit_ms);
}

}  // namespace
