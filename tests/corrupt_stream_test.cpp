// Damaged transport streams through the whole engine, from a "file:" URL: the control
// thread, decode_thread and the demuxer, both decoders, the display pacing and SDL's
// dummy audio device. Each case damages the first 2.4 s of a fixture the way a network
// or a bad muxer does; the playback must survive it, keep showing what can be decoded,
// stop cleanly, and report every continuity break in the demuxer's own words.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/media_control.h"
#include "engine/playback.h"
#include "tests/support/capture.h"
#include "tests/support/files.h"
#include "tests/support/playback_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
typedef std::vector<uint8_t> Bytes;

enum {
    packet_size = 188,
    // ffmpeg's mpegts muxer: PMT, then the streams in order.
    pmt_pid = 0x1000,
    video_pid = 0x100,
    audio_pid = 0x101,
    null_pid = 0x1FFF,
    // The start of every stream stays whole, so the playback has its program before the
    // damage begins (as a receiver that joined a clean stream).
    clean_start_packets = 40,
};

const double stream_seconds = 2.4;  // of the 4 s fixtures

int packet_pid(const uint8_t *p)
{
    return (p[1] & 0x1F) << 8 | p[2];
}

bool has_payload(const uint8_t *p)
{
    return p[3] & 0x10;
}

// The first `seconds` of a 4-second fixture, in whole packets.
Bytes fixture_start(const char *name, double seconds)
{
    std::string file = read_file(std::string(ZANDORO_FIXTURE_DIR) + "/" + name);
    Bytes all(file.begin(), file.end());
    size_t packets = (size_t)(all.size() / packet_size * seconds / 4.0);
    all.resize(packets * packet_size);
    return all;
}

// ---- the damage ----

// Every bit flipped with probability `rate`, the start left whole.
Bytes flip_bits(const Bytes &in, double rate, std::mt19937 &rng, int *flips)
{
    Bytes out = in;
    *flips = 0;
    std::geometric_distribution<long> gap(rate);
    size_t bits = out.size() * 8;
    for (size_t bit = clean_start_packets * packet_size * 8 + gap(rng); bit < bits; bit += 1 + gap(rng)) {
        out[bit / 8] ^= (uint8_t)(1 << (bit % 8));
        (*flips)++;
    }
    return out;
}

// One packet at a random place in every `period` packets after the start dropped
// (copies 0) or sent twice (copies 2).
Bytes drop_or_repeat(const Bytes &in, int period, int copies, std::mt19937 &rng, int *hits)
{
    Bytes out;
    *hits = 0;
    std::uniform_int_distribution<int> place(0, period - 1);
    int chosen = place(rng);
    for (size_t at = 0, i = 0; at < in.size(); at += packet_size, i++) {
        int n = 1;
        if (i >= clean_start_packets) {
            int in_period = (int)((i - clean_start_packets) % period);
            if (in_period == chosen) {
                n = copies;
                (*hits)++;
            }
            if (in_period == period - 1)
                chosen = place(rng);
        }
        for (int k = 0; k < n; k++)
            out.insert(out.end(), in.begin() + at, in.begin() + at + packet_size);
    }
    return out;
}

// Every third PES packet of both streams loses its second half (at least its last TS
// packet); the counters after the cut are renumbered, so nothing is reported lost.
Bytes truncate_pes(const Bytes &in, int *cut)
{
    *cut = 0;
    std::vector<size_t> starts[2];  // packet indices of each PES start, video then audio
    size_t count = in.size() / packet_size;
    std::vector<int> unit_of(count, -1);
    for (size_t i = 0; i < count; i++) {
        const uint8_t *p = &in[i * packet_size];
        int s = packet_pid(p) == video_pid ? 0 : packet_pid(p) == audio_pid ? 1 : -1;
        if (s < 0)
            continue;
        if (p[1] & 0x40)
            starts[s].push_back(i);
        unit_of[i] = starts[s].empty() ? -1 : (int)starts[s].size() - 1;
    }
    // Packets to drop: the back half of each chosen unit's packets.
    std::vector<bool> drop(count, false);
    for (int s = 0; s < 2; s++) {
        int pid = s == 0 ? video_pid : audio_pid;
        for (size_t u = 1; u + 1 < starts[s].size(); u += 3) {
            if (starts[s][u] < clean_start_packets)
                continue;
            std::vector<size_t> members;
            for (size_t i = starts[s][u]; i < starts[s][u + 1]; i++)
                if (packet_pid(&in[i * packet_size]) == pid)
                    members.push_back(i);
            if (members.size() < 2)
                continue;
            for (size_t k = (members.size() + 1) / 2; k < members.size(); k++)
                drop[members[k]] = true;
            (*cut)++;
        }
    }
    Bytes out;
    int removed[2] = {0, 0};
    for (size_t i = 0; i < count; i++) {
        const uint8_t *p = &in[i * packet_size];
        int s = unit_of[i] < 0 ? -1 : packet_pid(p) == video_pid ? 0 : 1;
        if (drop[i]) {
            removed[s]++;
            continue;
        }
        size_t at = out.size();
        out.insert(out.end(), p, p + packet_size);
        if (s >= 0)
            out[at + 3] = (uint8_t)((p[3] & 0xF0) | ((p[3] - removed[s]) & 0x0F));
    }
    return out;
}

// CRC_32 of MPEG-2 sections (polynomial 0x04C11DB7, no reflection, initial all ones).
uint32_t section_crc(const uint8_t *data, size_t len)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < len; i++) {
        crc ^= (uint32_t)data[i] << 24;
        for (int b = 0; b < 8; b++)
            crc = crc & 0x80000000 ? crc << 1 ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

// Each PMT section carries the number of whole seconds of stream time (by the PCR) as
// its version, with its CRC_32 made good: a new version every second.
Bytes pmt_version_every_second(const Bytes &in, int *sections)
{
    Bytes out = in;
    *sections = 0;
    int64_t first_pcr = -1, pcr = -1;
    for (size_t at = 0; at < out.size(); at += packet_size) {
        uint8_t *p = &out[at];
        if ((p[3] & 0x20) && p[4] > 0 && (p[5] & 0x10)) {
            pcr = (int64_t)p[6] << 25 | p[7] << 17 | p[8] << 9 | p[9] << 1 | p[10] >> 7;
            if (first_pcr < 0)
                first_pcr = pcr;
        }
        if (packet_pid(p) != pmt_pid || !(p[1] & 0x40) || (p[3] & 0x20))
            continue;
        uint8_t *section = p + 5 + p[4];
        int section_length = (section[1] & 0x0F) << 8 | section[2];
        int version = first_pcr < 0 ? 0 : (int)((pcr - first_pcr) / 90000) % 32;
        section[5] = (uint8_t)((section[5] & 0xC1) | version << 1);
        size_t crc_at = 3 + (size_t)section_length - 4;
        uint32_t crc = section_crc(section, crc_at);
        for (int k = 0; k < 4; k++)
            section[crc_at + k] = (uint8_t)(crc >> (24 - 8 * k));
        (*sections)++;
    }
    return out;
}

// After every 50th packet, one junk block of packet size that does not start with the
// sync byte, then a null packet full of junk.
Bytes garbage_between(const Bytes &in, std::mt19937 &rng, int *junk_blocks)
{
    Bytes out;
    *junk_blocks = 0;
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t at = 0, i = 0; at < in.size(); at += packet_size, i++) {
        out.insert(out.end(), in.begin() + at, in.begin() + at + packet_size);
        if (i < clean_start_packets || i % 50 != 0)
            continue;
        size_t junk = out.size();
        for (int k = 0; k < 2 * packet_size; k++)
            out.push_back((uint8_t)byte(rng));
        if (out[junk] == 0x47)
            out[junk] = 0x46;
        uint8_t *null_packet = &out[junk + packet_size];
        null_packet[0] = 0x47;
        null_packet[1] = (uint8_t)((null_packet[1] & 0xE0) | null_pid >> 8);
        null_packet[2] = null_pid & 0xFF;
        (*junk_blocks)++;
    }
    return out;
}

// `size` random bytes.
Bytes random_stream(size_t size, std::mt19937 &rng)
{
    Bytes out(size);
    std::uniform_int_distribution<int> byte(0, 255);
    for (uint8_t &b : out)
        b = (uint8_t)byte(rng);
    return out;
}

// The payload of one packet in ten after the start replaced by random bytes, headers
// and adaptation fields left whole: sections, PES headers and pictures turn to noise
// while the counters stay continuous.
Bytes randomise_payloads(const Bytes &in, std::mt19937 &rng, int *packets)
{
    Bytes out = in;
    *packets = 0;
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t at = clean_start_packets * packet_size, i = 0; at < out.size(); at += packet_size, i++) {
        uint8_t *p = &out[at];
        if (i % 10 != 0 || !has_payload(p))
            continue;
        int offset = p[3] & 0x20 ? 5 + p[4] : 4;
        for (int k = offset; k < packet_size; k++)
            p[k] = (uint8_t)byte(rng);
        (*packets)++;
    }
    return out;
}

// What the demuxer must report for a stream whose packet headers are intact: the
// program's PIDs are registered before the first damage, and a packet with payload
// whose counter is not one more than the last packet's on its PID is a loss.
std::vector<std::string> expected_continuity_lines(const Bytes &stream)
{
    std::vector<std::string> lines;
    int last_cc[8192];
    for (int &cc : last_cc)
        cc = -1;
    for (size_t at = 0; at + packet_size <= stream.size(); at += packet_size) {
        const uint8_t *p = &stream[at];
        int pid = packet_pid(p);
        if (p[0] != 0x47 || (pid != 0 && pid != pmt_pid && pid != video_pid && pid != audio_pid))
            continue;
        int cc = p[3] & 0x0F;
        if (has_payload(p) && last_cc[pid] >= 0) {
            int d = (cc - last_cc[pid] + 16) % 16;
            if (d != 1) {
                if (d == 0)
                    d = 16;
                char line[80];
                snprintf(line, sizeof line, "PID %5d lost %d packet(s) (%d -> %d)", pid, d - 1, last_cc[pid], cc);
                lines.push_back(line);
            }
        }
        last_cc[pid] = cc;
    }
    return lines;
}

// ---- playing ----

struct Played {
    int pictures = 0;
    bool consumed = false;  // the demuxer reached the end of the file
    bool stopped = false;
    std::string log;
};

// Plays `stream` from a file, acting as the render tick, until the demuxer has read all
// of it and the display has shown at least `least_pictures` and used up what the decoders
// gave; then stops it. The count is the display's own, whatever the machine's speed.
Played play(const Bytes &stream, int least_pictures)
{
    harness_media_start();
    Played result;
    ScratchDir dir("zandoro-corrupt");
    if (dir.path().empty())
        return result;
    std::string path = dir.file("stream.ts");
    write_file(path, std::string(stream.begin(), stream.end()) + harness_end_mark());

    StdoutTap tap;
    MediaControl->new_picture = 0;
    uint32_t shown_before = pictures_shown;
    media_play(("file:" + path).c_str());
    result.consumed = tap.wait_for(harness_end_line, harness_event_timeout_ms);
    auto deadline = Clock::now() + std::chrono::milliseconds(harness_event_timeout_ms);
    while (result.consumed && Clock::now() < deadline) {
        MediaControl->new_picture = 0;
        PlaybackState *state = current_playback;
        if ((int)(pictures_shown - shown_before) >= least_pictures && state && harness_playback_drained(state))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    result.pictures = (int)(pictures_shown - shown_before);
    result.stopped = harness_stop_playback();
    // The teardown's last line: nothing of this playback prints after it.
    tap.wait_for("decode_thread finished\n", harness_event_timeout_ms);
    result.log = tap.text();
    return result;
}

std::vector<std::string> log_lines(const std::string &log)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        lines.push_back(log.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::vector<std::string> lines_containing(const std::string &log, const std::string &what)
{
    std::vector<std::string> found;
    for (const std::string &line : log_lines(log))
        if (line.find(what) != std::string::npos)
            found.push_back(line);
    return found;
}

std::vector<std::string> lines_starting(const std::string &log, const std::string &what)
{
    std::vector<std::string> found;
    for (const std::string &line : log_lines(log))
        if (line.rfind(what, 0) == 0)
            found.push_back(line);
    return found;
}

// ---- the cases ----

enum Damage {
    none,
    bit_flips_1e5,
    bit_flips_1e4,
    dropped_packets,
    repeated_packets,
    truncated_pes,
    pmt_version_each_second,
    garbage_between_packets,
    random_payloads,
    random_bytes,
};

struct Case {
    const char *name;
    const char *fixture;
    Damage damage;
    // The demuxer's reports follow from the damaged stream exactly (headers intact).
    bool exact_continuity;
    // Pictures that must reach the output, of the 60 in the stream.
    int least_pictures;
};

std::ostream &operator<<(std::ostream &os, const Case &c)
{
    return os << c.name;
}

const Case cases[] = {
    {"Mpeg2Clean", "mpeg2_720x576_mp2.ts", none, true, 40},
    {"Mpeg2BitFlips1e5", "mpeg2_720x576_mp2.ts", bit_flips_1e5, false, 20},
    {"Mpeg2BitFlips1e4", "mpeg2_720x576_mp2.ts", bit_flips_1e4, false, 10},
    {"Mpeg2DroppedPackets", "mpeg2_720x576_mp2.ts", dropped_packets, true, 20},
    {"Mpeg2RepeatedPackets", "mpeg2_720x576_mp2.ts", repeated_packets, true, 20},
    {"Mpeg2TruncatedPes", "mpeg2_720x576_mp2.ts", truncated_pes, true, 20},
    {"Mpeg2PmtVersionEachSecond", "mpeg2_720x576_mp2.ts", pmt_version_each_second, true, 40},
    {"Mpeg2GarbageBetweenPackets", "mpeg2_720x576_mp2.ts", garbage_between_packets, true, 40},
    {"H264Clean", "h264_1080_mp2.ts", none, true, 40},
    {"H264BitFlips1e5", "h264_1080_mp2.ts", bit_flips_1e5, false, 20},
    {"H264BitFlips1e4", "h264_1080_mp2.ts", bit_flips_1e4, false, 10},
    {"H264DroppedPackets", "h264_1080_mp2.ts", dropped_packets, true, 20},
    {"H264RepeatedPackets", "h264_1080_mp2.ts", repeated_packets, true, 20},
    {"H264TruncatedPes", "h264_1080_mp2.ts", truncated_pes, true, 20},
    {"H264PmtVersionEachSecond", "h264_1080_mp2.ts", pmt_version_each_second, true, 40},
    {"H264GarbageBetweenPackets", "h264_1080_mp2.ts", garbage_between_packets, true, 40},
    {"Mpeg2RandomPayloads", "mpeg2_720x576_mp2.ts", random_payloads, true, 10},
    {"H264RandomPayloads", "h264_1080_mp2.ts", random_payloads, true, 10},
    {"RandomBytes", "mpeg2_720x576_mp2.ts", random_bytes, false, 0},
};

class CorruptStream : public testing::TestWithParam<Case> {};

TEST_P(CorruptStream, PlaysOnAndReportsLosses)
{
    const Case &c = GetParam();
    Bytes original = fixture_start(c.fixture, stream_seconds);
    ASSERT_GT(original.size(), 100u * packet_size) << c.fixture;

    std::mt19937 rng(20240611);  // fixed: every run damages the same bytes
    int events = 0;                // bits flipped, packets dropped or repeated, PES cut ...
    Bytes stream;
    switch (c.damage) {
    case none: stream = original; break;
    case bit_flips_1e5: stream = flip_bits(original, 1e-5, rng, &events); break;
    case bit_flips_1e4: stream = flip_bits(original, 1e-4, rng, &events); break;
    case dropped_packets: stream = drop_or_repeat(original, 100, 0, rng, &events); break;
    case repeated_packets: stream = drop_or_repeat(original, 100, 2, rng, &events); break;
    case truncated_pes: stream = truncate_pes(original, &events); break;
    case pmt_version_each_second: stream = pmt_version_every_second(original, &events); break;
    case garbage_between_packets: stream = garbage_between(original, rng, &events); break;
    case random_payloads: stream = randomise_payloads(original, rng, &events); break;
    case random_bytes: stream = random_stream(original.size(), rng); break;
    }
    if (c.damage != none && c.damage != random_bytes) {
        ASSERT_GT(events, 0) << "the damage changed nothing";
    }

    Played played = play(stream, c.least_pictures);
    EXPECT_TRUE(played.consumed) << "the demuxer did not reach the end of the file";
    ASSERT_TRUE(played.stopped) << "the playback did not end after the stop";
    EXPECT_NE(played.log.find("decode_thread finished\n"), std::string::npos);
    EXPECT_GE(played.pictures, c.least_pictures) << "pictures that reached the output\n" << played.log.substr(0, 4000);

    // Every loss report is in the demuxer's words, with a count that fits its counters.
    std::vector<std::string> reported = lines_containing(played.log, " lost ");
    printf("%s: %zu packets, %d damaged, %d pictures shown, %zu losses reported\n", c.name,
           stream.size() / packet_size, events, played.pictures, reported.size());
    for (const std::string &line : reported) {
        int pid, lost, from, to;
        ASSERT_EQ(sscanf(line.c_str(), "PID %d lost %d packet(s) (%d -> %d)", &pid, &lost, &from, &to), 4) << line;
        char again[80];
        snprintf(again, sizeof again, "PID %5d lost %d packet(s) (%d -> %d)", pid, lost, from, to);
        EXPECT_EQ(line, again);
        EXPECT_TRUE(from < 16 && to < 16 && lost >= 1 && lost <= 15) << line;
        EXPECT_EQ((from + lost + 1) % 16, to) << line;
    }
    if (c.exact_continuity) {
        std::vector<std::string> expected = expected_continuity_lines(stream);
        EXPECT_EQ(reported, expected);
        if (c.damage == dropped_packets || c.damage == repeated_packets) {
            EXPECT_FALSE(expected.empty()) << "the damage broke no counter";
        }
    }

    switch (c.damage) {
    case pmt_version_each_second: {
        // Each new version is handled, and changes nothing: the streams stay, nothing is
        // opened twice.
        std::vector<std::string> versions = lines_starting(played.log, "PMT version ");
        ASSERT_EQ(versions.size(), 3u) << played.log.substr(0, 4000);
        for (int v = 0; v < 3; v++)
            EXPECT_EQ(versions[v].rfind("PMT version " + std::to_string(v) + ",", 0), 0u) << versions[v];
        EXPECT_EQ(lines_starting(played.log, " PID = ").size(), 2u);
        EXPECT_EQ(lines_starting(played.log, "os_audio_setup(").size(), 1u);
        break;
    }
    case garbage_between_packets:
        EXPECT_EQ((int)lines_containing(played.log, "Ignoring packet as doesn't start with 0x47").size(),
                  events);
        break;
    case random_bytes:
        EXPECT_GT(lines_containing(played.log, "Ignoring packet as doesn't start with 0x47").size(),
                  stream.size() / packet_size / 2);
        break;
    default:
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CorruptStream, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace
