// Stream selection from PMT descriptions and the intake of PES packets: on_pmt is fed
// hand-built PmtInfo lists (as the demuxer makes them: only the PIDs a section introduced)
// and opens real decoders, threads and SDL's dummy audio device; on_pes_packet is fed
// hand-built PES packets.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/time.h>
}

#include "engine/playback.h"
#include "engine/stream_select.h"
#include "tests/support/capture.h"
#include "tests/support/playback_harness.h"

namespace {

TEST(StreamTypeNames, TheTableAndEverythingBeyondIt)
{
    const char *want[33] = {"Reserved", "MPEG-1 Video", "MPEG-2 Video", "MPEG-1 Audio", "Unknown",
                            "Private Sections", "PES Private Data", "MHEG", "Unknown", "Unknown",
                            "ISO 13818-6 type A", "ISO 13818-6 type B", "ISO 13818-6 type C",
                            "ISO 13818-6 type D", "Unknown", "AAC Audio"};
    for (int t = 16; t <= 32; t++)
        want[t] = t == 27 ? "H.264 Video" : "Unknown";
    for (int t = 0; t <= 32; t++) {
        EXPECT_STREQ(stream_type_names[t], want[t]) << t;
        EXPECT_STREQ(stream_type_name(t), want[t]) << t;
    }
    for (int t : {33, 36, 0x80, 255, -1, INT_MAX, INT_MIN})
        EXPECT_STREQ(stream_type_name(t), "Unknown") << t;
}

struct Es {
    int pid;
    int stream_type;
    const char *language;
};

// A demuxer holding only the records the tests register, as ts_parse_pmt leaves them.
struct Programme {
    TsDemux *demux = (TsDemux *)calloc(1, sizeof(TsDemux));
    ~Programme() { ts_demux_free(demux); }

    // A PMT section whose list holds the records of `streams`, registered now.
    PmtInfo *pmt(int version, int pcr_pid, const std::vector<Es> &streams)
    {
        PmtInfo *info = (PmtInfo *)malloc(sizeof(PmtInfo));
        info->version = version;
        info->pcr_pid = pcr_pid;
        info->streams = nullptr;
        TsPidStream **tail = &info->streams;
        for (const Es &es : streams) {
            TsPidStream *s = (TsPidStream *)calloc(1, sizeof(TsPidStream));
            s->pid = es.pid;
            s->last_cc = 0xFF;
            s->kind = kind_pes;
            s->stream_type = es.stream_type;
            strncpy(s->language, es.language, sizeof s->language - 1);
            demux->pids[es.pid] = s;
            *tail = s;
            tail = &s->next;
        }
        return info;
    }

    bool takes(int pid, PlaybackState *state) const
    {
        const TsPidStream *s = demux->pids[pid];
        return s && s->payload_callback == on_pes_packet && s->payload_user == state;
    }
};

std::string run_on_pmt(Programme &programme, PmtInfo *pmt, PlaybackState *state)
{
    capture_stdout_begin();
    on_pmt(programme.demux, pmt, state);
    return capture_stdout_end();
}

bool has(const std::string &log, const std::string &line)
{
    return log.find(line) != std::string::npos;
}

TEST(OnPmt, TheFirstVideoStreamIsChosenAndItsPathStarted)
{
    struct Case {
        std::vector<Es> streams;
        int want_pid;
        AVCodecID want_codec;
    } cases[] = {
        {{{0x100, 2, ""}, {0x101, 27, ""}}, 0x100, AV_CODEC_ID_MPEG2VIDEO},
        {{{0x1FF, 27, ""}, {0x100, 2, ""}}, 0x1FF, AV_CODEC_ID_H264},
    };
    for (const Case &c : cases) {
        Programme programme;
        PlaybackState *state = harness_playback_create();
        video_started = 0;
        int64_t before = av_gettime();
        std::string log = run_on_pmt(programme, programme.pmt(4, 0x100, c.streams), state);
        int other = c.streams[1].pid;

        EXPECT_EQ(state->video_pid, c.want_pid);
        EXPECT_EQ(state->audio_pid, 0);
        EXPECT_TRUE(programme.takes(c.want_pid, state));
        EXPECT_FALSE(programme.takes(other, state)) << "the second video stream is only logged";
        AVCodecContext *codec = state->video_codec;
        ASSERT_TRUE(codec);
        EXPECT_EQ(codec->codec_id, c.want_codec);
        EXPECT_TRUE(avcodec_is_open(codec));
        EXPECT_EQ(codec->get_buffer2, decoder_get_buffer_tagged);
        EXPECT_EQ(codec->thread_count, 1);
        EXPECT_NEAR(state->frame_timer, before / 1e6, 1.0);
        EXPECT_DOUBLE_EQ(state->last_frame_delay, 0.04);
        EXPECT_GE(state->shown_time, before);
        EXPECT_TRUE(state->video_queue.mutex.load());
        EXPECT_TRUE(state->video_thread_joinable);
        EXPECT_TRUE(state->display_thread_joinable);
        EXPECT_EQ(state->last_pmt_version, 4);

        char line[80];
        for (const Es &es : c.streams) {
            snprintf(line, sizeof line, " PID = %d, type = %d (%s)\n", es.pid, es.stream_type,
                     stream_type_name(es.stream_type));
            EXPECT_TRUE(has(log, line)) << line << "in:\n" << log;
        }
        harness_playback_free(state);
        EXPECT_TRUE(video_started);
    }
}

TEST(OnPmt, TheFirstAudioStreamNotMarkedNarIsChosen)
{
    struct Case {
        std::vector<Es> streams;
        int want_pid;
    } cases[] = {
        {{{0x200, 3, "NAR"}, {0x201, 4, "nar"}}, 0x201},
        {{{0x200, 3, ""}, {0x201, 3, "eng"}}, 0x200},
        {{{0x200, 4, "NAR"}, {0x201, 3, "NAR"}, {0x202, 3, "NA"}}, 0x202},
    };
    for (const Case &c : cases) {
        Programme programme;
        PlaybackState *state = harness_playback_create();
        std::string log = run_on_pmt(programme, programme.pmt(0, 0x200, c.streams), state);

        EXPECT_EQ(state->audio_pid, c.want_pid);
        EXPECT_EQ(state->video_pid, 0);
        for (const Es &es : c.streams)
            EXPECT_EQ(programme.takes(es.pid, state), es.pid == c.want_pid) << es.pid;
        ASSERT_TRUE(state->audio_codec);
        EXPECT_EQ(state->audio_codec->codec_id, AV_CODEC_ID_MP3);
        EXPECT_EQ(state->audio_codec->ch_layout.nb_channels, 2);
        EXPECT_EQ(state->audio_codec->sample_rate, 48000);
        EXPECT_DOUBLE_EQ(state->drift_coef, 0.0005);
        EXPECT_DOUBLE_EQ(state->drift_threshold, 2048.0 / 48000);
        EXPECT_EQ(state->drift_count, 0);
        EXPECT_EQ(state->audio_buf_len, 0);
        EXPECT_TRUE(state->audio_queue.mutex.load());
        EXPECT_FALSE(state->video_thread_id.load());
        EXPECT_FALSE(state->video_thread_joinable);
        EXPECT_TRUE(has(log, "os_audio_setup(2, 48000, ")) << log;
        if (c.streams[1].stream_type == 4) {
            EXPECT_TRUE(has(log, " PID = 513, type = 4 (Unknown)\n")) << log;
        }
        harness_playback_free(state);
    }
}

// Without a device nothing would drain the audio queue, and its back-pressure would stop
// the input, pictures and all: the stream stays chosen, its packets are not taken.
TEST(OnPmt, ARefusedSoundDeviceLeavesTheAudioStreamUntakenAndTheVideoPlaying)
{
    Programme programme;
    PlaybackState *state = harness_playback_create();
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    capture_stderr_begin();
    std::string log = run_on_pmt(programme, programme.pmt(0, 0x100, {{0x100, 2, ""}, {0x101, 3, "eng"}}), state);
    std::string err = capture_stderr_end();
    setenv("SDL_AUDIODRIVER", "dummy", 1);

    EXPECT_EQ(err.rfind("SDL_OpenAudioDevice: ", 0), 0u) << err;
    EXPECT_TRUE(has(log, "os_audio_setup(2, 48000, ")) << log;
    EXPECT_EQ(state->audio_pid, 0x101);
    EXPECT_FALSE(programme.takes(0x101, state));
    EXPECT_EQ(state->video_pid, 0x100);
    EXPECT_TRUE(programme.takes(0x100, state));
    EXPECT_TRUE(state->video_thread_joinable);
    EXPECT_TRUE(state->display_thread_joinable);

    // A later version does not try again within the playback.
    capture_stderr_begin();
    run_on_pmt(programme, programme.pmt(1, 0x100, {{0x102, 3, ""}}), state);
    EXPECT_EQ(capture_stderr_end(), "");
    EXPECT_EQ(state->audio_pid, 0x101);
    harness_playback_free(state);
}

TEST(OnPmt, AacAudioAndMpeg1VideoAreLoggedAndNotPlayed)
{
    Programme programme;
    PlaybackState *state = harness_playback_create();
    std::string log = run_on_pmt(programme, programme.pmt(1, 0x100, {{0x100, 1, ""}, {0x101, 15, "eng"}}), state);
    EXPECT_TRUE(has(log, " PID = 256, type = 1 (MPEG-1 Video)\n")) << log;
    EXPECT_TRUE(has(log, " PID = 257, type = 15 (AAC Audio)\n")) << log;
    EXPECT_EQ(state->video_pid, 0);
    EXPECT_EQ(state->audio_pid, 0);
    EXPECT_FALSE(state->video_codec.load());
    EXPECT_FALSE(state->audio_codec);
    EXPECT_FALSE(programme.takes(0x100, state));
    EXPECT_FALSE(programme.takes(0x101, state));
    EXPECT_FALSE(state->video_thread_joinable);
    EXPECT_FALSE(state->display_thread_joinable);
    EXPECT_FALSE(has(log, "os_audio_setup"));
    harness_playback_free(state);
}

TEST(OnPmt, OnlyANewVersionIsHandledAndOnlyForARoleWithoutAStream)
{
    Programme programme;
    PlaybackState *state = harness_playback_create();

    std::string first = run_on_pmt(programme, programme.pmt(5, 0x101, {{0x101, 3, "eng"}}), state);
    EXPECT_EQ(state->audio_pid, 0x101);
    EXPECT_EQ(state->video_pid, 0);
    EXPECT_FALSE(state->video_thread_joinable) << "no video threads without video";

    // The same section again: nothing at all is logged.
    EXPECT_EQ(run_on_pmt(programme, programme.pmt(5, 0x101, {}), state), "");

    // A new version with the same PIDs: the version line alone.
    std::string same_pids = run_on_pmt(programme, programme.pmt(6, 0x101, {}), state);
    EXPECT_NE(same_pids, "");
    EXPECT_FALSE(has(same_pids, " PID = "));
    EXPECT_EQ(state->last_pmt_version, 6);

    // A later version brings video and moves the audio: video starts, audio stays.
    std::string added = run_on_pmt(programme, programme.pmt(7, 0x100, {{0x100, 27, ""}, {0x102, 3, ""}}), state);
    EXPECT_TRUE(has(added, " PID = 256, type = 27 (H.264 Video)\n")) << added;
    EXPECT_TRUE(has(added, " PID = 258, type = 3 (MPEG-1 Audio)\n")) << added;
    EXPECT_EQ(state->video_pid, 0x100);
    EXPECT_EQ(state->audio_pid, 0x101);
    EXPECT_TRUE(programme.takes(0x100, state));
    EXPECT_FALSE(programme.takes(0x102, state));
    EXPECT_TRUE(state->video_thread_joinable);
    EXPECT_TRUE(state->display_thread_joinable);
    EXPECT_FALSE(has(added, "os_audio_setup")) << "audio opened twice";
    EXPECT_EQ(state->last_pmt_version, 7);
    harness_playback_free(state);
}

// The five bytes of a PES timestamp field with its 4-bit prefix and marker bits.
void put_stamp(std::vector<uint8_t> &p, int prefix, int64_t v)
{
    p.push_back((uint8_t)(prefix << 4 | ((v >> 30) & 7) << 1 | 1));
    p.push_back((uint8_t)(v >> 22));
    p.push_back((uint8_t)(((v >> 15) & 0x7F) << 1 | 1));
    p.push_back((uint8_t)(v >> 7));
    p.push_back((uint8_t)((v & 0x7F) << 1 | 1));
}

// A PES packet with the given flags; the header carries `header_length` bytes (stamps
// first, the rest stuffing) and then `payload` bytes counting from 1.
std::vector<uint8_t> pes(int stream_id, int flags, int64_t pts, int64_t dts, int header_length, int payload)
{
    std::vector<uint8_t> p = {0, 0, 1, (uint8_t)stream_id, 0, 0, 0x80, (uint8_t)(flags << 6), (uint8_t)header_length};
    if (flags & 2)
        put_stamp(p, flags == 3 ? 3 : 2, pts);
    if (flags == 3)
        put_stamp(p, 1, dts);
    while ((int)p.size() < 9 + header_length)
        p.push_back(0xFF);
    for (int i = 0; i < payload; i++)
        p.push_back((uint8_t)(i + 1));
    return p;
}

struct Intake {
    Programme programme;
    PlaybackState *state = harness_playback_create();
    Intake()
    {
        state->video_pid = 0x100;
        state->audio_pid = 0x101;
        packet_queue_init(&state->video_queue);
        packet_queue_init(&state->audio_queue);
    }
    ~Intake() { harness_playback_free(state); }

    void feed(int pid, const std::vector<uint8_t> &bytes)
    {
        on_pes_packet(programme.demux, pid, bytes.data(), (int32_t)bytes.size(), state);
    }
    // The next packet queued for `pid`; false when there is none.
    bool take(int pid, AVPacket *out)
    {
        PacketQueue *q = pid == 0x100 ? &state->video_queue : &state->audio_queue;
        return packet_queue_get(q, out, 0) == 1;
    }
    int queued() const { return state->video_queue.count + state->audio_queue.count; }
};

TEST(OnPesPacket, TimestampsByFlagsAndThePayloadCopy)
{
    const int64_t none = AV_NOPTS_VALUE;
    const int64_t all_ones = (1LL << 33) - 1;
    struct Case {
        int pid, flags;
        int64_t pts, dts;
        int header_length, payload;
        int64_t want_pts, want_dts;
    } cases[] = {
        {0x100, 0, 0, 0, 0, 100, none, none},
        {0x100, 1, 0, 0, 0, 100, none, none},
        {0x100, 2, 126000, 0, 5, 1000, 126000, none},
        {0x101, 3, 129600, 126000, 10, 3, 129600, 126000},
        {0x100, 3, all_ones, all_ones - 1, 10, 20, all_ones, all_ones - 1},
        {0x101, 2, 0x100000000LL, 0, 12, 1, 0x100000000LL, none},  // stuffing after the stamp
    };
    for (const Case &c : cases) {
        Intake intake;
        intake.feed(c.pid, pes(0xE0, c.flags, c.pts, c.dts, c.header_length, c.payload));
        AVPacket p;
        ASSERT_TRUE(intake.take(c.pid, &p)) << "flags " << c.flags;
        EXPECT_EQ(p.pts, c.want_pts) << "flags " << c.flags;
        EXPECT_EQ(p.dts, c.want_dts) << "flags " << c.flags;
        ASSERT_EQ(p.size, c.payload);
        for (int i = 0; i < c.payload; i++)
            ASSERT_EQ(p.data[i], (uint8_t)(i + 1)) << i;
        for (int i = 0; i < AV_INPUT_BUFFER_PADDING_SIZE; i++)
            ASSERT_EQ(p.data[c.payload + i], 0) << "padding byte " << i;
        av_free(p.data);
        EXPECT_EQ(intake.queued(), 0);
    }
}

TEST(OnPesPacket, PacketsWithoutAUsablePayloadQueueNothing)
{
    std::vector<uint8_t> no_stamp_room = pes(0xE0, 2, 90000, 0, 0, 0);
    no_stamp_room.resize(12);  // the PTS field cut off by the end of the packet
    std::vector<uint8_t> header_beyond = pes(0xE0, 0, 0, 0, 0, 10);
    header_beyond[8] = 40;
    struct Case {
        const char *what;
        int pid;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"shorter than the fixed header", 0x100, {0, 0, 1, 0xE0, 0}},
        {"only the fixed header", 0x100, pes(0xE0, 0, 0, 0, 0, 0)},
        {"header length reaching the end", 0x101, pes(0xC0, 2, 90000, 0, 5, 0)},
        {"header length beyond the end", 0x100, header_beyond},
        {"stamp cut off", 0x100, no_stamp_room},
        {"a PID that is neither stream", 0x102, pes(0xE0, 2, 90000, 0, 5, 50)},
    };
    for (const Case &c : cases) {
        Intake intake;
        intake.programme.demux->first_pcr = 900;
        intake.programme.demux->first_pcr_time = 1234;
        intake.feed(c.pid, c.bytes);
        EXPECT_EQ(intake.queued(), 0) << c.what;
        EXPECT_EQ(intake.state->pcr_time, 1234) << c.what << ": the PCR is copied first";
    }
}

TEST(OnPesPacket, StreamIdsWithoutAnOptionalHeaderQueueNothingButThePcrIsCopied)
{
    for (int id : {0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF}) {
        Intake intake;
        intake.feed(0x100, pes(id, 2, 90000, 0, 5, 100));
        EXPECT_EQ(intake.queued(), 0) << std::hex << id;
        EXPECT_EQ(intake.state->pcr_time, 0) << "no PCR seen yet";

        intake.programme.demux->first_pcr = (1ULL << 33) - 1;
        intake.programme.demux->first_pcr_time = 987654321;
        intake.feed(0x100, pes(id, 2, 90000, 0, 5, 100));
        EXPECT_EQ(intake.queued(), 0) << std::hex << id;
        EXPECT_DOUBLE_EQ(intake.state->pcr_base, 8589934591.0);
        EXPECT_EQ(intake.state->pcr_time, 987654321);
    }
    // Audio and video stream ids pass.
    Intake intake;
    intake.feed(0x101, pes(0xC0, 2, 90000, 0, 5, 100));
    intake.feed(0x100, pes(0xE0, 2, 90000, 0, 5, 100));
    intake.feed(0x100, pes(0xBD, 2, 90000, 0, 5, 100));  // private_stream_1 has the header
    EXPECT_EQ(intake.state->audio_queue.count, 1);
    EXPECT_EQ(intake.state->video_queue.count, 2);
}

}  // namespace
