// AMT: a network namespace where the group joins but nothing is ever sent to it, and a
// relay of the test's own on the built-in relay address (127.0.0.1 port 2268, advertising
// 127.0.0.2). The program, finding no multicast after its two seconds, opens the tunnel;
// the relay answers the Discovery, answers every Request with a Query of a 2-second
// interval, and while the membership is fresh carries a demo channel as Multicast Data at
// the pace of its clock. A membership not renewed within two intervals lapses and the data
// stops, as a relay drops a gateway that went quiet; so the picture that keeps changing for
// more than three intervals proves the refreshes. Stopping leaves the group and tears the
// tunnel down.
#include <gtest/gtest.h>

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/program_run.h"
#include "tests/support/test_relay.h"

namespace {

const char group[] = "239.1.1.1";
const uint16_t group_port = 5000;
const int interval_s = 2;  // the QQIC of every Query

// One 1316-byte datagram of the stream and when it is due, in microseconds from the start.
struct Chunk {
    Bytes bytes;
    long long due_us;
};

// Seven packets to a datagram, each due at the time of the last clock reference before it.
std::vector<Chunk> chunks_of(const std::string &ts)
{
    std::vector<Chunk> chunks;
    long long first_pcr = -1, due_us = 0;
    for (size_t at = 0; at + 188 <= ts.size(); at += 7 * 188) {
        size_t end = std::min(ts.size() / 188 * 188, at + 7 * 188);
        for (size_t p = at; p < end; p += 188) {
            const uint8_t *pkt = (const uint8_t *)ts.data() + p;
            // An adaptation field with a PCR: flags 0x10 at byte 5, base in the next 33 bits.
            if ((pkt[3] & 0x20) && pkt[4] >= 7 && (pkt[5] & 0x10)) {
                long long base = ((long long)pkt[6] << 25) | (pkt[7] << 17) | (pkt[8] << 9) | (pkt[9] << 1) |
                                 (pkt[10] >> 7);
                if (first_pcr < 0)
                    first_pcr = base;
                due_us = (base - first_pcr) * 100 / 9;
            }
        }
        chunks.push_back({Bytes(ts.begin() + (long)at, ts.begin() + (long)end), due_us});
    }
    return chunks;
}

class StreamingRelay {
public:
    std::atomic<int> discoveries{0}, requests{0}, joins{0}, leaves{0}, teardowns{0}, refused{0};
    std::atomic<long long> datagrams{0};
    std::atomic<long long> discovery_ms{0}, first_data_ms{0};

    bool open(std::string *why) { return relay_.open(why, 2268); }

    void start(std::vector<Chunk> chunks)
    {
        chunks_ = std::move(chunks);
        thread_ = std::thread([this] { run(); });
    }

    void stop()
    {
        quit_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    ~StreamingRelay() { stop(); }

    std::string events()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }

    // Requests and joins as they stood at one moment, and whether a Request was then
    // still waiting for its Update (they come a moment apart).
    struct Counts {
        int requests, joins;
        bool awaiting_update;
    };
    Counts counts()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return {requests, joins, awaiting_update_};
    }

private:
    void note(const std::string &what)
    {
        std::lock_guard<std::mutex> hold(lock_);
        events_ += std::to_string(program_now_ms() % 100000) + " " + what + "\n";
    }

    void on_discovery(const Bytes &msg, const sockaddr_in &from)
    {
        if (msg.size() != 8 || msg[0] != 0x01) {
            refused++;
            return;
        }
        uint32_t nonce;
        memcpy(&nonce, &msg[4], 4);
        discoveries++;
        if (!discovery_ms)
            discovery_ms = program_now_ms();
        note("discovery");
        relay_.send(TestRelay::discovery, amt_advertisement(nonce, TestRelay::advertised_addr), from);
    }

    void on_advertised(const Bytes &msg, const sockaddr_in &from)
    {
        if (msg.size() == 8 && msg[0] == 0x03) {
            previous_nonce_ = nonce_;
            memcpy(previous_mac_, mac_, 6);
            memcpy(&nonce_, &msg[4], 4);
            {
                std::lock_guard<std::mutex> hold(lock_);
                requests++;
                awaiting_update_ = true;
            }
            note("request");
            QueryOptions q;
            q.nonce = nonce_;
            q.qqic = interval_s;
            q.mac[5] = (uint8_t)requests;  // a fresh MAC each time; the Update must echo it
            memcpy(mac_, q.mac, 6);
            relay_.send(TestRelay::advertised, amt_query(q), from);
            return;
        }
        if (msg.size() >= 40 && msg[0] == 0x05) {
            uint32_t nonce;
            memcpy(&nonce, &msg[8], 4);
            uint32_t to;
            memcpy(&to, &msg[36], 4);
            // An Update sent while a refresh Request is still unanswered carries the previous
            // Query's MAC, the most recent the gateway has: a relay that changes its secret
            // key goes on accepting MACs made with the previous one.
            bool latest = memcmp(&msg[2], mac_, 6) == 0 && nonce == nonce_;
            bool previous = memcmp(&msg[2], previous_mac_, 6) == 0 && nonce == previous_nonce_;
            if ((!latest && !previous) || to != inet_addr(group)) {
                refused++;
                note("update refused");
                return;
            }
            if (!latest)
                note("update with the previous Query's MAC");
            if (msg[32] == 0x16) {
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    joins++;
                    awaiting_update_ = false;
                }
                gateway_ = from;
                fresh_until_us_ = now_us() + 2 * interval_s * 1000000LL;
                note("join");
            } else if (msg[32] == 0x17) {
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    leaves++;
                    awaiting_update_ = false;
                }
                fresh_until_us_ = 0;
                note("leave");
            }
            return;
        }
        if (!msg.empty() && msg[0] == 0x07) {
            teardowns++;
            fresh_until_us_ = 0;
            note("teardown");
            return;
        }
        refused++;
    }

    static long long now_us() { return program_now_ms() * 1000; }

    void run()
    {
        long long stream_start_us = -1;
        size_t next = 0;
        bool lapsed_noted = false;
        while (!quit_) {
            pollfd fds[2] = {{relay_.sock(TestRelay::discovery), POLLIN, 0},
                             {relay_.sock(TestRelay::advertised), POLLIN, 0}};
            if (poll(fds, 2, 2) > 0) {
                Bytes msg;
                sockaddr_in from;
                if ((fds[0].revents & POLLIN) && relay_.receive(TestRelay::discovery, 0, &msg, &from))
                    on_discovery(msg, from);
                if ((fds[1].revents & POLLIN) && relay_.receive(TestRelay::advertised, 0, &msg, &from))
                    on_advertised(msg, from);
            }
            // The channel runs from the first join on; what falls due while no membership is
            // fresh is dropped, as a relay's forwarding would.
            long long now = now_us();
            if (stream_start_us < 0) {
                if (fresh_until_us_ == 0)
                    continue;
                stream_start_us = now;
            }
            bool fresh = now < fresh_until_us_;
            if (!fresh && fresh_until_us_ != 0 && !lapsed_noted) {
                note("membership lapsed");
                lapsed_noted = true;
            }
            if (fresh)
                lapsed_noted = false;
            while (next < chunks_.size() && stream_start_us + chunks_[next].due_us <= now) {
                if (fresh) {
                    DataOptions d;
                    d.group = group;
                    d.port = group_port;
                    d.payload = chunks_[next].bytes;
                    relay_.send(TestRelay::advertised, amt_multicast_data(d), gateway_);
                    if (!first_data_ms)
                        first_data_ms = program_now_ms();
                    datagrams++;
                }
                next++;
            }
        }
    }

    TestRelay relay_;
    std::vector<Chunk> chunks_;
    std::thread thread_;
    std::atomic<bool> quit_{false};
    // Relay thread only.
    uint32_t nonce_ = 0, previous_nonce_ = 0;
    uint8_t mac_[6] = {}, previous_mac_[6] = {};
    sockaddr_in gateway_{};
    long long fresh_until_us_ = 0;
    std::mutex lock_;  // guards events_ and awaiting_update_, and pairs requests with joins
    std::string events_;
    bool awaiting_update_ = false;
};

class E2eAmt : public ProgramTest {};

// How much the moving middle of the picture differs between two screenshots: the summed
// difference over a grid of points.
long long middle_change(const Screenshot &a, const Screenshot &b, const MainWindow &w)
{
    long long sum = 0;
    for (int y = 130; y < 440; y += 6)
        for (int x = 220; x < 800; x += 6) {
            Rgb p = client_pixel(a, w, x, y), q = client_pixel(b, w, x, y);
            sum += abs(p.r - q.r) + abs(p.g - q.g) + abs(p.b - q.b);
        }
    return sum;
}

TEST_F(E2eAmt, PictureAfterTheFallbackKeepsComingOverThreeQueryIntervals)
{
    run_in_netns(
        [] {
            std::string why;
            // 32 s of the channel: enough for the watch below after a late first picture.
            std::string file = demo_stream_repeated(1, 4, &why);
            ASSERT_FALSE(file.empty()) << why;
            StreamingRelay relay;
            ASSERT_TRUE(relay.open(&why)) << why;
            relay.start(chunks_of(read_file(file)));

            DemoRun demo(video_size_config, false);
            ASSERT_TRUE(demo.start());
            ProgramRun &program = demo.program;
            MainWindow &w = demo.window;

            Screenshot first;
            ASSERT_TRUE(demo.first_picture(test_deadline_ms, &first)) << relay.events();
            long long play_ms = demo.play_ms;
            long long picture_ms = demo.picture_ms - play_ms;
            EXPECT_TRUE(program.wait_for("Not received any multicast, trying AMT...\n")) << program.out();
            long long fallback_ms = relay.discovery_ms - play_ms;
            EXPECT_GE(fallback_ms, 1500);  // two whole seconds by the clock's seconds, at least 1 s
            EXPECT_EQ(relay.discoveries, 1);

            // Watch for more than three intervals from the first picture, a screenshot a second
            // (a busy machine may show it well after the first data).
            long long watch_until = demo.picture_ms + (3 * interval_s + 2) * 1000;
            Screenshot before = first, now;
            int changed = 0, looked = 0;
            while (program_now_ms() < watch_until) {
                usleep(1000000);
                ASSERT_TRUE(screenshot_take(&now, &w)) << program.out() << program.err();
                looked++;
                EXPECT_TRUE(colour_shows(client_pixel(now, w, 920, 288), demo_channel_colour(1), 8))
                    << rgb_text(client_pixel(now, w, 920, 288)) << "\n" << relay.events();
                if (middle_change(before, now, w) > 20000)
                    changed++;
                before = now;
            }
            screenshot_keep("amt-after-refreshes");
            // Every Request answered by its joining Update, counted at one moment when none is
            // between the two.
            StreamingRelay::Counts counts = relay.counts();
            long long settle_until = program_now_ms() + test_deadline_ms;
            while (counts.awaiting_update && program_now_ms() < settle_until) {
                usleep(10000);
                counts = relay.counts();
            }
            int requests = counts.requests;
            // The last second too: the tunnel still carries the picture.
            EXPECT_GE(changed, looked - 1) << relay.events();
            usleep(500000);
            ASSERT_TRUE(screenshot_take(&now, &w)) << program.out() << program.err();
            EXPECT_GT(middle_change(before, now, w), 20000) << "the picture stands still\n" << relay.events();
            EXPECT_GE(requests, 4) << relay.events();  // the first and three refreshes
            EXPECT_FALSE(counts.awaiting_update) << "a Request without its Update\n" << relay.events();
            EXPECT_EQ(counts.joins, requests) << relay.events();
            EXPECT_EQ(count_of(relay.events(), "lapsed"), 0) << relay.events();
            EXPECT_EQ(relay.refused, 0) << relay.events();

            // Stopping leaves the group through the tunnel and tears it down.
            main_window_keys(w, "s");
            ASSERT_TRUE(program.wait_for("decode_thread finished\n")) << program.out();
            long long end = program_now_ms() + test_deadline_ms;
            while ((relay.leaves == 0 || relay.teardowns == 0) && program_now_ms() < end)
                usleep(20000);
            EXPECT_EQ(relay.leaves, 1) << relay.events();
            EXPECT_EQ(relay.teardowns, 1) << relay.events();
            std::vector<std::string> groups = igmp_groups();
            EXPECT_EQ(std::find(groups.begin(), groups.end(), igmp_hex(group)), groups.end());

            figure("AMT: first picture %lld ms after Media_Play (Discovery after %lld ms, data after %lld ms); "
                   "%d Requests in %lld ms of data (%d refreshes at a %d s interval), %lld datagrams",
                   picture_ms, fallback_ms, relay.first_data_ms - play_ms, requests,
                   program_now_ms() - relay.first_data_ms, requests - 1, interval_s, relay.datagrams.load());

            EXPECT_TRUE(demo.exit_from_menu());
            relay.stop();
        },
        program_test_limit_ms);
}

}  // namespace
