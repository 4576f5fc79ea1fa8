// Ending the process from a thread other than the main one, as a playback's threads do
// on a fatal failure: the main loop goes on taking messages while the process ends, so
// nothing it uses may be destroyed by exit. The case runs the real main window, its
// message loop, SDL and the engine with an AMT tunnel up (inside a network namespace of
// its own, with the test relay on loopback), and calls exit(1) from a std::thread.
//
// An exit handler registered before any static object was built runs after their
// destructors: it holds the exit until the main loop has taken more messages and the
// relay has seen the tunnel's Teardown from media_atexit, and says what it saw.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "engine/media_control.h"
#include "shell/config.h"
#include "shell/main_window.h"
#include "tests/support/netns.h"
#include "tests/support/playback_harness.h"
#include "tests/support/program_run.h"
#include "tests/support/test_relay.h"
#include "tests/support/window_harness.h"
#include "tests/support/x_session.h"

namespace {

std::atomic<int> main_loop_ticks{0};
std::atomic<bool> exit_started{false};
TestRelay *relay;  // the child's, once open

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void say(const std::string &line)
{
    ssize_t n = write(STDERR_FILENO, line.data(), line.size());
    (void)n;
}

// On the main loop every 10 ms: counts, and keeps the posted-message queue busy.
void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD)
{
    main_loop_ticks++;
    PostMessageW(main_window, WM_USER, 0, 0);
}

// Runs last of all exit handlers (see hold_exit_registration).
void hold_exit()
{
    if (!exit_started)
        return;  // the test runner's own exit
    int from = main_loop_ticks;
    long long end = now_ms() + 10000;
    while (main_loop_ticks < from + 5 && now_ms() < end)
        usleep(2000);
    int ran = main_loop_ticks - from;
    say(ran >= 5 ? "main loop ran on after the destructors\n"
                 : "main loop stopped after " + std::to_string(ran) + " ticks\n");

    // media_atexit's leave Update and Teardown, after any Discovery or Request.
    bool teardown = false;
    Bytes msg;
    while (!teardown && relay && relay->receive(TestRelay::discovery, 5000, &msg))
        teardown = !msg.empty() && msg[0] == 0x07;
    say(teardown ? "relay: Teardown received\n" : "relay: no Teardown\n");
}

// Before every static object's constructor, so this handler runs after their destructors.
__attribute__((constructor(101))) void hold_exit_registration()
{
    atexit(hold_exit);
}

class ExitFromThread : public testing::Test {
protected:
    void SetUp() override
    {
        NETNS_REQUIRE();
        std::string why;
        if (!x_session_start(&x_, false, &why))
            GTEST_SKIP() << why;
    }
    void TearDown() override { x_session_stop(&x_); }
    XSession x_;
};

TEST_F(ExitFromThread, MainLoopRunsOnAndTheExitHandlersTearTheTunnelDown)
{
    ChildRun run = netns_run(
        [] {
            // Never destroyed: the exit handler below reads it after the destructors.
            relay = new TestRelay;
            std::string why;
            ASSERT_TRUE(relay->open(&why)) << why;
            ASSERT_TRUE(window_harness_up());
            harness_media_start();
            snprintf(PlayerConfig.amt_relay_addr, sizeof PlayerConfig.amt_relay_addr, "%s",
                     TestRelay::discovery_addr);
            PlayerConfig.amt_port = relay->port();
            ASSERT_NE(SetTimer(nullptr, 0, 10, tick), 0u);

            // No sender: the playback falls back to the relay, and its tunnel is up when
            // the Discovery arrives.
            media_play("igmp://239.7.7.10:5004");
            std::thread ender([] {
                Bytes msg;
                bool discovery = relay->receive(TestRelay::discovery, 15000, &msg) && msg[0] == 0x01;
                printf("tunnel %s\n", discovery ? "up" : "never up");
                long long end = now_ms() + 10000;
                while (main_loop_ticks < 20 && now_ms() < end)
                    usleep(2000);
                printf("ending the process from a thread\n");
                fflush(stdout);
                exit_started = true;
                exit(1);
            });
            ender.detach();
            ui_message_loop();
            ADD_FAILURE() << "the message loop ended";
        },
        program_test_limit_ms);

    EXPECT_TRUE(run.entered && !run.timed_out && run.exit_code == 1) << child_describe(run);
    EXPECT_NE(run.out.find("tunnel up\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ending the process from a thread\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("media_atexit()\n"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("main loop ran on after the destructors\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("relay: Teardown received\n"), std::string::npos) << run.err;
    EXPECT_EQ(sanitizer_report(run.err), "");
    for (const char *noise : {"GLib", "Gtk", "GLib-GObject", "CRITICAL", "WARNING"})
        EXPECT_EQ(run.err.find(noise), std::string::npos) << noise << " in:\n" << run.err;
}

}  // namespace
