// The demuxer over a stream written by ffmpeg's mpegts muxer, checked against ffprobe's
// reading of the same file.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/time.h>
}

#include "engine/playback.h"
#include "input/ts_demux.h"
#include "tests/support/capture.h"
#include "tests/support/files.h"

namespace {

const std::string fixture = ZANDORO_FIXTURE_DIR "/mpeg2_mp2.ts";

std::string ffprobe(const std::string &args)
{
    return command_output("ffprobe -v error " + args + " '" + fixture + "'");
}

struct Observed {
    int pmt_sections = 0;
    std::vector<int32_t> first_pmt_pids;
    int32_t pcr_pid = -1;
    std::map<int32_t, std::vector<int>> payload_sizes;  // per PID, PES header removed
    int bad_start_codes = 0;
};

void on_payload(TsDemux *, int32_t pid, const uint8_t *data, int32_t len, void *user)
{
    Observed *o = (Observed *)user;
    if (len < 9 || data[0] != 0 || data[1] != 0 || data[2] != 1) {
        o->bad_start_codes++;
        return;
    }
    o->payload_sizes[pid].push_back(len - 9 - data[8]);
}

void on_pmt(TsDemux *, PmtInfo *info, void *user)
{
    Observed *o = (Observed *)user;
    if (o->pmt_sections++ == 0) {
        o->pcr_pid = info->pcr_pid;
        for (TsPidStream *s = info->streams; s; s = s->next)
            o->first_pmt_pids.push_back(s->pid);
    }
    for (TsPidStream *s = info->streams; s; s = s->next) {
        s->payload_callback = on_payload;
        s->payload_user = o;
    }
    free(info);
}

// ffprobe's raw TS view (-f mpegtsraw, one packet per entry): the PUSI packets on a PID,
// and the first PCR base, taken from the 27 MHz time it gives the packet carrying it.
struct RawView {
    int unit_starts = 0;
    int64_t first_pcr = -1;
};

RawView ffprobe_raw(int pid)
{
    RawView view;
    std::istringstream in(ffprobe("-f mpegtsraw -compute_pcr 1 -show_packets -show_data"));
    std::string line;
    long long pts = -1;
    while (std::getline(in, line)) {
        unsigned w0, w1, w2;
        if (line.rfind("pts=", 0) == 0) {
            pts = atoll(line.c_str() + 4);
        } else if (sscanf(line.c_str(), "00000000: %4x %4x %4x", &w0, &w1, &w2) == 3) {
            uint8_t b1 = w0 & 0xFF, b2 = w1 >> 8, b3 = w1 & 0xFF, b4 = w2 >> 8, b5 = w2 & 0xFF;
            int packet_pid = (b1 & 0x1F) << 8 | b2;
            if (packet_pid == pid && (b1 & 0x40) && (b3 & 0x10))
                view.unit_starts++;
            if (view.first_pcr < 0 && (b3 & 0x20) && b4 > 0 && (b5 & 0x10))
                view.first_pcr = pts / 300;
        }
    }
    return view;
}

TEST(TsStream, MatchesFfprobe)
{
    std::string file = read_file(fixture);
    ASSERT_GT(file.size(), 0u) << fixture;

    // Program and streams as ffprobe sees them.
    std::string programs =
        ffprobe("-show_entries program=pmt_pid,pcr_pid:program_stream=id -of flat");
    ASSERT_NE(programs.find("programs.program.0.pmt_pid=4096\n"), std::string::npos) << programs;
    ASSERT_NE(programs.find("programs.program.0.pcr_pid=256\n"), std::string::npos) << programs;
    ASSERT_EQ(programs.find("programs.program.1."), std::string::npos) << programs;

    // PES payload sizes per stream, without parsers (one packet per PES).
    std::map<int, std::vector<int>> sizes_by_index;
    std::map<int32_t, std::vector<int>> expected;
    std::istringstream packets(ffprobe("-fflags +noparse+nofillin "
                                       "-show_entries stream=index,id:packet=stream_index,size "
                                       "-of csv"));
    std::string line;
    while (std::getline(packets, line)) {
        int index, value;
        if (sscanf(line.c_str(), "packet,%d,%d", &index, &value) == 2)
            sizes_by_index[index].push_back(value);
        else if (sscanf(line.c_str(), "stream,%d,0x%x", &index, &value) == 2)
            expected[value] = sizes_by_index[index];  // streams are listed after the packets
    }
    ASSERT_EQ(expected.size(), 2u);
    // The muxer leaves video PES unbounded, so the last one is never handed on.
    ASSERT_FALSE(expected[0x100].empty());
    ASSERT_FALSE(expected[0x101].empty());
    expected[0x100].pop_back();

    RawView raw = ffprobe_raw(0x1000);
    ASSERT_GT(raw.unit_starts, 1);
    ASSERT_GT(raw.first_pcr, 0);

    PlaybackState *ps = (PlaybackState *)calloc(1, sizeof(PlaybackState));
    Observed seen;
    capture_stdout_begin();
    ps->demux = ts_demux_create();
    ASSERT_NE(ps->demux, nullptr);
    ps->demux->pmt_callback = on_pmt;
    ps->demux->pmt_user = &seen;
    int64_t before = av_gettime();
    for (size_t off = 0; off < file.size(); off += 3760) {
        size_t n = file.size() - off < 3760 ? file.size() - off : 3760;
        ts_process_packets((const uint8_t *)file.data() + off, (int32_t)n, ps);
    }
    int64_t after = av_gettime();
    std::string log = capture_stdout_end();

    EXPECT_EQ(log.find("lost"), std::string::npos) << log;
    EXPECT_EQ(log.find("Ignoring"), std::string::npos) << log;
    EXPECT_NE(log.find(" Num Progs: 1\n  00: ProgNum =     1, PMT PID =  4096\nNew PID 1000\n"
                       "New PID 0100\nNew PID 0101\n"),
              std::string::npos)
        << log;

    EXPECT_EQ(seen.pmt_sections, raw.unit_starts);
    EXPECT_EQ(seen.first_pmt_pids, (std::vector<int32_t>{0x100, 0x101}));
    EXPECT_EQ(seen.pcr_pid, 0x100);
    EXPECT_EQ(seen.bad_start_codes, 0);
    EXPECT_EQ(seen.payload_sizes[0x100], expected[0x100]);
    EXPECT_EQ(seen.payload_sizes[0x101], expected[0x101]);

    EXPECT_EQ(ps->demux->first_pcr, (uint64_t)raw.first_pcr);
    EXPECT_GE(ps->demux->first_pcr_time, before);
    EXPECT_LE(ps->demux->first_pcr_time, after);

    ts_demux_free(ps->demux);
    free(ps);
}

}  // namespace
