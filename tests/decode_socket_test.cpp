// decode_thread on socket input, inside a network namespace of the test's own: native
// multicast, the fallback to an AMT tunnel when none arrives, and its teardown when native
// data turns up after all. Each case runs in a child process, since the engine and the
// "multicast seen" flag live as long as the process.
#include "engine/decode_thread.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "engine/media_control.h"
#include "shell/config.h"
#include "tests/support/capture.h"
#include "tests/support/deadline.h"
#include "tests/support/files.h"
#include "tests/support/netns.h"
#include "tests/support/playback_harness.h"
#include "tests/support/test_relay.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string fixture = std::string(ZANDORO_FIXTURE_DIR) + "/mpeg2_mp2.ts";

bool igmp_member(const char *group)
{
    char word[16];
    snprintf(word, sizeof word, "%08X", inet_addr(group));
    return read_file("/proc/net/igmp").find(word) != std::string::npos;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Sends the start of the fixture (its PAT and PMT) to the group as datagrams of seven
// packets, again and again until `done` or 20 s have passed.
bool send_until(const char *group, uint16_t port, StdoutTap &tap, const std::string &done)
{
    std::string stream = read_file(fixture).substr(0, 188 * 70);
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = loopback_endpoint(group, port);
    bool seen = false;
    auto end = Clock::now() + std::chrono::milliseconds(test_deadline_ms);
    while (!seen && Clock::now() < end) {
        for (size_t at = 0; at < stream.size(); at += 188 * 7)
            sendto(s, stream.data() + at, 188 * 7, 0, (sockaddr *)&to, sizeof to);
        seen = tap.wait_for(done, 50);
    }
    closesocket(s);
    return seen;
}

bool wait_until_count(StdoutTap &tap, const std::string &what, size_t n)
{
    auto end = Clock::now() + std::chrono::milliseconds(test_deadline_ms);
    while (count_of(tap.text(), what) < n) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool stop_playback(StdoutTap &tap, size_t finished_before)
{
    MediaControl->stop_request = 1;
    auto end = Clock::now() + std::chrono::milliseconds(test_deadline_ms);
    while (count_of(tap.text(), "decode_thread finished\n") <= finished_before) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(DecodeSocket, NativeMulticastIsDemultiplexedAndTheGroupLeftAtStop)
{
    NETNS_REQUIRE();
    ChildRun run = netns_run(
        [] {
            harness_media_start();
            StdoutTap tap;
            media_play("igmp://239.7.7.7:5004");
            ASSERT_TRUE(tap.wait_for("decode_thread: mcast(239.7.7.7:5004)\n"));
            EXPECT_TRUE(send_until("239.7.7.7", 5004, tap, "New PID 1000"));
            EXPECT_TRUE(igmp_member("239.7.7.7"));
            ASSERT_TRUE(stop_playback(tap, 0));
            EXPECT_FALSE(igmp_member("239.7.7.7"));
            EXPECT_EQ(tap.text().find("trying AMT"), std::string::npos);
        },
        60000);
    EXPECT_TRUE(child_ok(run));
}

TEST(DecodeSocket, SilentGroupFallsBackToAmtOnceThenNativeDataClosesTheTunnel)
{
    NETNS_REQUIRE();
    ChildRun run = netns_run(
        [] {
            TestRelay relay;
            std::string why;
            ASSERT_TRUE(relay.open(&why)) << why;
            harness_media_start();
            snprintf(PlayerConfig.amt_relay_addr, sizeof PlayerConfig.amt_relay_addr, "%s",
                     TestRelay::discovery_addr);
            PlayerConfig.amt_port = relay.port();

            StdoutTap tap;
            // The fallback comes in the third whole second after the playback's start, so
            // over 2 s after the request; measured from when the test saw the group
            // opened, it is at most a pass of the input loop past 3 s.
            auto requested = Clock::now();
            media_play("igmp://239.7.7.8:5004");
            ASSERT_TRUE(tap.wait_for("decode_thread: mcast(239.7.7.8:5004)\n", test_deadline_ms));
            auto opened = Clock::now();
            Bytes msg;
            ASSERT_TRUE(relay.receive(TestRelay::discovery, 20000, &msg));
            EXPECT_GE(std::chrono::duration<double>(Clock::now() - requested).count(), 2.0);
            double waited = std::chrono::duration<double>(Clock::now() - opened).count();
            EXPECT_LE(waited, 3.3);
            ASSERT_GE(msg.size(), 1u);
            EXPECT_EQ(msg[0], 0x01) << "a Relay Discovery";
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(count_of(tap.text(), "Not received any multicast, trying AMT...\n"), 1u);

            // Native data after all: processed first, then the tunnel goes.
            EXPECT_TRUE(send_until("239.7.7.8", 5004, tap, "New PID 1000"));
            ASSERT_TRUE(relay.receive(TestRelay::discovery, 2000, &msg));
            EXPECT_EQ(msg[0], 0x05) << "the leave Update";
            ASSERT_TRUE(relay.receive(TestRelay::discovery, 2000, &msg));
            EXPECT_EQ(msg[0], 0x07) << "the Teardown";
            EXPECT_EQ(msg.size(), 30u);
            std::string text = tap.text();
            EXPECT_LT(text.find("New PID 1000"), text.find("0000 : 07 ")) << text;

            // Multicast has been seen: no playback of this process falls back again.
            ASSERT_TRUE(stop_playback(tap, 0));
            media_play("igmp://239.7.7.9:5004");
            std::this_thread::sleep_for(std::chrono::milliseconds(3500));
            EXPECT_EQ(count_of(tap.text(), "trying AMT"), 1u);
            EXPECT_FALSE(relay.receive(TestRelay::discovery, 100, &msg));
            ASSERT_TRUE(stop_playback(tap, 1));
        },
        90000);
    EXPECT_TRUE(child_ok(run));
}

// An offline machine (loopback only, no multicast route) and groups a page may name: the
// join fails with its perror line and ends that playback only, which stays registered,
// silent, until the next request; a file played next shows pictures.
TEST(DecodeSocket, FailedJoinsEndOnlyTheirPlaybackAndAFilePlaysNext)
{
    NETNS_REQUIRE();
    ChildRun run = netns_run(
        [] {
            std::string why;
            ASSERT_TRUE(netns_drop_multicast_route(&why)) << why;
            harness_media_start();
            int real_err = dup(STDERR_FILENO);
            StdoutTap tap;
            dup2(STDOUT_FILENO, STDERR_FILENO);  // the perror lines into the tap as well
            // Failures are printed into the tap too: on the way out, show them and the log.
            struct Report {
                StdoutTap &tap;
                int fd;
                ~Report()
                {
                    if (testing::Test::HasFailure()) {
                        std::string text = tap.text().substr(0, 20000);
                        ssize_t n = write(fd, text.data(), text.size());
                        (void)n;
                    }
                }
            } report{tap, real_err};

            struct {
                std::string url;
                std::string line;  // on standard error
            } cases[] = {
                {"igmp://239.9.9.9:5000", "adding multicast group: No such device\n"},
                {"igmp://999.1.1.1", "adding multicast group: Invalid argument\n"},
                {"igmp://example", "adding multicast group: Invalid argument\n"},
                {"igmp://", "adding multicast group: Invalid argument\n"},
                {"igmp://239.9.9.9:99999", "adding multicast group: No such device\n"},
                // Ten megabytes: cut to 1023 characters, the port's digits far past any int.
                {"igmp://239.9.9.9:" + std::string(10 << 20, '9'), "adding multicast group: No such device\n"},
            };
            size_t failed = 0;
            std::map<std::string, size_t> lines;
            for (const auto &c : cases) {
                SCOPED_TRACE(c.url.substr(0, 40));
                media_play(c.url.c_str());
                failed++;
                lines[c.line]++;
                ASSERT_TRUE(wait_until_count(tap, "adding multicast group: ", failed)) << tap.text().substr(0, 4000);
                EXPECT_EQ(count_of(tap.text(), c.line), lines[c.line]);
                // Registered, like a file that cannot be opened, until the next request.
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                EXPECT_NE(current_playback.load(), nullptr);
                EXPECT_LE(count_of(tap.text(), "decode_thread finished\n"), failed - 1);
            }

            MediaControl->new_picture = 0;
            media_play(("file:" + fixture).c_str());
            ASSERT_TRUE(tap.wait_for("decode_thread: rx_fd = ", test_deadline_ms));
            auto end = Clock::now() + std::chrono::milliseconds(test_deadline_ms);
            while (!MediaControl->new_picture && Clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_TRUE(MediaControl->new_picture) << "no picture from the file";
            EXPECT_TRUE(wait_until_count(tap, "decode_thread finished\n", failed));
            std::string text = tap.text();
            EXPECT_EQ(count_of(text, "trying AMT"), 0u);
            EXPECT_EQ(count_of(text, "dropping multicast group"), 0u) << "nothing was joined, nothing is left";
            ASSERT_TRUE(stop_playback(tap, failed));
        },
        110000);
    EXPECT_TRUE(child_ok(run));
}

}  // namespace
