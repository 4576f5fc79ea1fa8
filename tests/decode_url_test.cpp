#include "engine/decode_thread.h"

#include <gtest/gtest.h>

#include <string>

#include "shell/config.h"
#include "tests/support/capture.h"

namespace {

struct UrlCase {
    const char *url;
    const char *fake_mcast;
    InputKind kind;
    const char *group;
    int port;
    const char *path;
    const char *log;
};

const UrlCase url_cases[] = {
    {"igmp://239.1.2.3:1234", "", input_socket, "239.1.2.3", 1234, "", "decode_thread: mcast(239.1.2.3:1234)\n"},
    {"igmp://239.1.2.3", "", input_socket, "239.1.2.3", 5000, "", "decode_thread: mcast(239.1.2.3:5000)\n"},
    {"igmp://239.1.2.3:", "", input_socket, "239.1.2.3", 0, "", "decode_thread: mcast(239.1.2.3:0)\n"},
    {"igmp://239.1.2.3:x9", "", input_socket, "239.1.2.3", 0, "", "decode_thread: mcast(239.1.2.3:0)\n"},
    {"igmp://239.1.2.3:99999", "", input_socket, "239.1.2.3", 99999, "", "decode_thread: mcast(239.1.2.3:99999)\n"},
    // Digits past any long stop at its limit, which as an int32 is -1 (port 65535).
    {"igmp://239.1.2.3:99999999999999999999", "", input_socket, "239.1.2.3", -1, "",
     "decode_thread: mcast(239.1.2.3:-1)\n"},
    {"igmp:xx239.1.2.3", "", input_socket, "239.1.2.3", 5000, "", "decode_thread: mcast(239.1.2.3:5000)\n"},
    {"igmp:", "", input_socket, "", 5000, "", "decode_thread: mcast(:5000)\n"},
    {"igmp:/", "", input_socket, "", 5000, "", "decode_thread: mcast(:5000)\n"},
    {"igmp://", "", input_socket, "", 5000, "", "decode_thread: mcast(:5000)\n"},
    {"igmp://123456789012345678901:7", "", input_socket, "1234567890123456789", 7, "",
     "decode_thread: mcast(1234567890123456789:7)\n"},
    {"file:///tmp/a.ts", "", input_file, "", 0, "///tmp/a.ts", "decode_thread: file(///tmp/a.ts)\n"},
    {"file:rel/b.ts", "", input_file, "", 0, "rel/b.ts", "decode_thread: file(rel/b.ts)\n"},
    {"igmp://239.1.2.3:1234", "/srv/ch-", input_file, "239.1.2.3", 1234, "/srv/ch-239.1.2.3.ts",
     "decode_thread: mcast(239.1.2.3:1234)\n"},
    {"IGMP://239.1.2.3", "", input_refused, "", 0, "", "decode_thread: Request to play URL with unknown transport\n"},
    {"File:/tmp/a.ts", "", input_refused, "", 0, "", "decode_thread: Request to play URL with unknown transport\n"},
    {"http://x/", "", input_refused, "", 0, "", "decode_thread: Request to play URL with unknown transport\n"},
    {"", "", input_refused, "", 0, "", "decode_thread: Request to play URL with unknown transport\n"},
};

TEST(DecodeUrl, Table)
{
    for (const UrlCase &c : url_cases) {
        config_defaults();
        snprintf(PlayerConfig.fake_mcast, sizeof PlayerConfig.fake_mcast, "%s", c.fake_mcast);
        PlaybackState *state = new PlaybackState();
        snprintf(state->url, sizeof state->url, "%s", c.url);
        capture_stdout_begin();
        InputKind kind = decode_parse_url(state);
        std::string log = capture_stdout_end();
        EXPECT_EQ(kind, c.kind) << c.url;
        EXPECT_STREQ(state->mcast_group, c.group) << c.url;
        if (c.kind == input_socket || c.fake_mcast[0]) {
            EXPECT_EQ(state->mcast_port, c.port) << c.url;
        }
        EXPECT_STREQ(state->file_path, c.path) << c.url;
        EXPECT_STREQ(state->url, c.url) << "the URL itself stays as it was";
        EXPECT_EQ(log, c.log) << c.url;
        delete state;
    }
}

TEST(DecodeUrl, FakeMulticastPathTooLongIsRefused)
{
    config_defaults();
    std::string prefix(1015, 'p');
    snprintf(PlayerConfig.fake_mcast, sizeof PlayerConfig.fake_mcast, "%s", prefix.c_str());
    PlaybackState *state = new PlaybackState();
    snprintf(state->url, sizeof state->url, "igmp://239.255.255.250:1");  // 15 + 3 more
    capture_stdout_begin();
    EXPECT_EQ(decode_parse_url(state), input_refused);
    std::string log = capture_stdout_end();
    EXPECT_NE(log.find("fake multicast path too long"), std::string::npos) << log;
    EXPECT_STREQ(state->file_path, "");
    delete state;
}

TEST(DecodeUrl, BackPressureThresholds)
{
    PlaybackState *state = new PlaybackState();
    struct {
        int audio, video;
        bool full;
    } cases[] = {{0, 0, false},           {81920, 0, false}, {81921, 0, true},
                 {0, 1310720, false},     {0, 1310721, true}, {81920, 1310720, false}};
    for (auto &c : cases) {
        state->audio_queue.bytes = c.audio;
        state->video_queue.bytes = c.video;
        EXPECT_EQ(decode_queues_full(state), c.full) << c.audio << " " << c.video;
    }
    delete state;
}

}  // namespace
