#include "input/ts_demux.h"

#include <gtest/gtest.h>
#include <sanitizer/asan_interface.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

extern "C" {
#include <libavutil/time.h>
}

#include "engine/playback.h"
#include "input/ts_register.h"
#include "tests/support/capture.h"
#include "tests/support/ts_packets.h"

namespace {

struct SeenPmt {
    int32_t version;
    int32_t pcr_pid;
    std::vector<int32_t> pids;
};

struct SeenPes {
    int32_t pid;
    TsBytes bytes;
};

// Allocations of this size fail while the hook is installed.
size_t failing_size;

void *calloc_failing(size_t count, size_t size)
{
    return size == failing_size ? nullptr : calloc(count, size);
}

struct FailAllocations {
    explicit FailAllocations(size_t size)
    {
        failing_size = size;
        ts_calloc = calloc_failing;
    }
    ~FailAllocations() { ts_calloc = calloc; }
};

TsBytes filled(size_t n, uint8_t value) { return TsBytes(n, value); }

const char *const pat_banner =
    "-------------------------------------------------------------\n"
    "New PAT (Program Association Table)\n";

class TsDemuxTest : public testing::Test {
protected:
    TsDemux *demux = nullptr;
    PlaybackState *ps = nullptr;
    std::string created;  // what ts_demux_create printed
    std::vector<SeenPmt> pmts;
    std::vector<SeenPes> pes;

    void SetUp() override
    {
        ps = (PlaybackState *)calloc(1, sizeof(PlaybackState));
        recreate();
    }

    void TearDown() override
    {
        free_demux();
        free(ps);
    }

    void free_demux()
    {
        for (int pid = 0; demux && pid < ts_pid_count; pid++)
            if (demux->pids[pid])
                ASAN_UNPOISON_MEMORY_REGION(demux->pids[pid]->buffer, sizeof(TsPidStream::buffer));
        ts_demux_free(demux);
        demux = nullptr;
    }

    void recreate()
    {
        free_demux();
        pmts.clear();
        pes.clear();
        capture_stdout_begin();
        demux = ts_demux_create();
        created = capture_stdout_end();
        ASSERT_NE(demux, nullptr);
        demux->pmt_callback = on_pmt;
        demux->pmt_user = this;
        ps->demux = demux;
    }

    // Feeds an exact-size heap copy, so a read past len is caught by AddressSanitizer.
    std::string feed(const TsBytes &bytes)
    {
        uint8_t *copy = (uint8_t *)malloc(bytes.size() + !bytes.size());
        if (!bytes.empty())
            memcpy(copy, bytes.data(), bytes.size());
        capture_stdout_begin();
        ts_process_packets(copy, (int32_t)bytes.size(), ps);
        std::string out = capture_stdout_end();
        free(copy);
        return out;
    }

    // Every stream a PMT lists gets the recording payload callback.
    static void on_pmt(TsDemux *, PmtInfo *info, void *user)
    {
        TsDemuxTest *t = (TsDemuxTest *)user;
        SeenPmt seen = {info->version, info->pcr_pid, {}};
        for (TsPidStream *s = info->streams; s; s = s->next) {
            seen.pids.push_back(s->pid);
            s->payload_callback = on_payload;
            s->payload_user = t;
        }
        t->pmts.push_back(seen);
        free(info);
    }

    static void on_payload(TsDemux *, int32_t pid, const uint8_t *data, int32_t len, void *user)
    {
        ((TsDemuxTest *)user)->pes.push_back({pid, TsBytes(data, data + len)});
    }

    // Program 1 on PMT PID 0x1000: MPEG-2 video 0x100 (also the PCR_PID), MP2 audio 0x101.
    std::string start_program()
    {
        std::string out = feed(ts_packetize(0, 0, psi_pat(1, {{1, 0x1000}})));
        out += feed(ts_packetize(
            0x1000, 0, psi_pmt(0, 0x100, {{2, 0x100, {}}, {3, 0x101, iso639_descriptor("eng")}})));
        return out;
    }

    TsPidStream *rec(int pid) { return demux->pids[pid]; }
};

// ---- creation and the packet loop

TEST_F(TsDemuxTest, CreateRegistersPatAndReservedPids)
{
    EXPECT_EQ(created, "New PID 0000\nNew PID 0001\nNew PID 0002\n");
    const PidKind kinds[] = {kind_pat, kind_pid1, kind_pid2};
    for (int pid = 0; pid < 3; pid++) {
        ASSERT_NE(rec(pid), nullptr);
        EXPECT_EQ(rec(pid)->kind, kinds[pid]);
        EXPECT_EQ(rec(pid)->pid, pid);
        EXPECT_EQ(rec(pid)->last_cc, 0xFF);
    }
    EXPECT_EQ(rec(3), nullptr);
    EXPECT_EQ(demux->first_pcr, 0u);
    EXPECT_EQ(demux->pat_seen, 0);
}

TEST_F(TsDemuxTest, BufferOfTwentyPacketsAndFailedReads)
{
    std::vector<TsBytes> packets;
    for (int i = 0; i < 20; i++)
        packets.push_back(ts_packet(1, i, false, filled(184, 0)));
    TsBytes block = ts_concat(packets);
    ASSERT_EQ(block.size(), 3760u);
    EXPECT_EQ(feed(block), "");
    EXPECT_EQ(rec(1)->last_cc, 19 & 15);

    capture_stdout_begin();
    ts_process_packets(nullptr, 0, ps);
    ts_process_packets(nullptr, -1, ps);
    EXPECT_EQ(capture_stdout_end(), "");
    EXPECT_EQ(rec(1)->last_cc, 3);
}

TEST_F(TsDemuxTest, MissingSyncSkipsExactlyOnePacket)
{
    // A header for PID 1 with counter 9 lies one byte in: a resync there would report a loss.
    TsBytes bad = ts_packet(1, 9, false, filled(184, 0));
    bad.insert(bad.begin(), 0x46);
    bad.resize(188);
    std::string out = feed(ts_concat({bad, ts_packet(1, 0, false, filled(184, 0)),
                                      ts_packet(1, 1, false, filled(184, 0))}));
    EXPECT_EQ(out, "Ignoring packet as doesn't start with 0x47\n");
    EXPECT_EQ(rec(1)->last_cc, 1);
}

TEST_F(TsDemuxTest, ContinuityCounter)
{
    struct Case {
        int previous;  // -1: the PID's first packet
        int cc;
        const char *out;
    } cases[] = {
        {-1, 5, ""},
        {15, 0, ""},
        {3, 4, ""},
        {5, 9, "PID     1 lost 3 packet(s) (5 -> 9)\n"},
        {7, 7, "PID     1 lost 15 packet(s) (7 -> 7)\n"},
        {9, 2, "PID     1 lost 8 packet(s) (9 -> 2)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.previous << " -> " << c.cc);
        rec(1)->last_cc = 0xFF;
        if (c.previous >= 0) {
            EXPECT_EQ(feed(ts_packet(1, c.previous, false, filled(184, 0))), "");
        }
        EXPECT_EQ(feed(ts_packet(1, c.cc, false, filled(184, 0))), c.out);
        EXPECT_EQ(rec(1)->last_cc, c.cc);
    }
}

TEST_F(TsDemuxTest, LossAbandonsUnitUntilNextStart)
{
    start_program();
    TsBytes first = ts_packetize(0x100, 0, pes_packet(0xE0, 300, true));  // counters 0, 1
    TsBytes second = ts_packetize(0x100, 5, pes_packet(0xE0, 200, true)); // counters 5, 6
    first[188 + 3] = (first[188 + 3] & 0xF0) | 2;                         // 0, 2: one lost
    EXPECT_EQ(feed(first), "PID   256 lost 1 packet(s) (0 -> 2)\n");
    EXPECT_TRUE(pes.empty());
    // A loss reported on the starting packet itself does not stop that unit.
    EXPECT_EQ(feed(second), "PID   256 lost 2 packet(s) (2 -> 5)\n");
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].bytes, pes_packet(0xE0, 200, true));
}

TEST_F(TsDemuxTest, AdaptationOnlyPacketMovesCounterWithoutTest)
{
    EXPECT_EQ(feed(ts_packet(1, 3, false, filled(184, 0))), "");
    EXPECT_EQ(feed(ts_packet(1, 9, false, {}, 12345)), "");  // no payload: no test
    EXPECT_EQ(rec(1)->last_cc, 9);
    EXPECT_EQ(feed(ts_packet(1, 10, false, filled(184, 0))), "");
    EXPECT_EQ(demux->first_pcr, 12345u);
}

TEST_F(TsDemuxTest, FirstPcrCapturedOnceFromAnyRegisteredPid)
{
    // Not taken: an unregistered PID, the null PID, a PCR base of 0 (means none), and a
    // PCR_flag bit that is really the payload after an empty adaptation field.
    TsBytes flag_in_payload = filled(183, 0xFF);
    flag_in_payload[0] = 0x10;
    feed(ts_concat({ts_packet(0x200, 0, false, {}, 1000), ts_packet(0x1FFF, 0, false, {}, 1000),
                    ts_packet(2, 0, false, {}, 0), ts_packet(1, 0, false, flag_in_payload)}));
    EXPECT_EQ(demux->first_pcr, 0u);

    int64_t before = av_gettime();
    feed(ts_packet(1, 1, false, filled(100, 0), 0x1FFFFFFFFLL));  // all 33 bits
    int64_t after = av_gettime();
    EXPECT_EQ(demux->first_pcr, 0x1FFFFFFFFull);
    EXPECT_GE(demux->first_pcr_time, before);
    EXPECT_LE(demux->first_pcr_time, after);

    int64_t when = demux->first_pcr_time;
    feed(ts_packet(2, 1, false, {}, 5));
    EXPECT_EQ(demux->first_pcr, 0x1FFFFFFFFull);
    EXPECT_EQ(demux->first_pcr_time, when);
}

TEST_F(TsDemuxTest, TrailingPartialPacketIsReportedNotRead)
{
    TsBytes buf = ts_packet(1, 4, false, filled(184, 0));
    buf.resize(188 + 100, 0x47);
    EXPECT_EQ(feed(buf), "Ignoring 100 bytes after the last whole packet\n");
    EXPECT_EQ(rec(1)->last_cc, 4);
    EXPECT_EQ(feed(filled(50, 0x47)), "Ignoring 50 bytes after the last whole packet\n");
}

TEST_F(TsDemuxTest, AdaptationFieldPastPacketEndDropsPayload)
{
    for (int af_length : {183, 184, 200, 255}) {
        SCOPED_TRACE(af_length);
        recreate();
        start_program();
        TsBytes unit = ts_packetize(0x100, 0, pes_packet(0xC0, 300, true));  // counters 0, 1
        TsBytes odd = ts_packet(0x100, 1, false, filled(1, 0), 777);
        odd[3] = 0x31;  // adaptation and payload, counter 1
        odd[4] = (uint8_t)af_length;
        unit[188 + 3] = (unit[188 + 3] & 0xF0) | 2;
        std::string out = feed(TsBytes(unit.begin(), unit.begin() + 188));
        out += feed(odd);
        out += feed(TsBytes(unit.begin() + 188, unit.end()));
        EXPECT_EQ(rec(0x100)->last_cc, 2);
        if (af_length == 183) {
            // The largest legal field leaves an empty payload; the unit goes on.
            EXPECT_EQ(out, "");
            EXPECT_EQ(pes.size(), 1u);
            EXPECT_EQ(demux->first_pcr, 777u);
        } else {
            EXPECT_EQ(out, "PID   256 adaptation_field_length " + std::to_string(af_length) +
                               " passes the packet end, payload dropped\n");
            EXPECT_TRUE(pes.empty());
            EXPECT_EQ(demux->first_pcr, 0u);
        }
    }
}

TEST_F(TsDemuxTest, OverflowAbandonsUnit)
{
    start_program();
    std::vector<TsBytes> packets;
    int cc = 0;
    // An unbounded PES that passes 1 MiB, then the start of the next one.
    packets.push_back(ts_packet(0x100, cc++, true, pes_packet(0xE0, 175, false)));
    while ((int)packets.size() * 184 <= ts_buffer_limit)
        packets.push_back(ts_packet(0x100, cc++, false, filled(184, 0)));
    packets.push_back(ts_packet(0x100, cc++, true, pes_packet(0xE0, 175, false)));
    EXPECT_EQ(feed(ts_concat(packets)), "Buffer overflow!\n");
    EXPECT_TRUE(pes.empty());
    EXPECT_EQ(rec(0x100)->length, 184);  // the next PES is being assembled
}

// ---- PES assembly

TEST_F(TsDemuxTest, BoundedPesHandedOnWhenLastBytesArrive)
{
    start_program();
    // The last TS packet carries 1 to 6 bytes: the end lies inside the PES header's 6 bytes
    // for short tails, and the unit is complete only when all of them are in.
    for (int tail = 1; tail <= 6; tail++) {
        SCOPED_TRACE(tail);
        pes.clear();
        TsBytes unit = pes_packet(0xC0, 184 + tail - 9, true);
        TsBytes packets = ts_packetize(0x101, rec(0x101)->last_cc + 1, unit);
        ASSERT_EQ(packets.size(), 376u);
        feed(TsBytes(packets.begin(), packets.begin() + 188));
        EXPECT_TRUE(pes.empty());
        feed(TsBytes(packets.begin() + 188, packets.end()));
        ASSERT_EQ(pes.size(), 1u);
        EXPECT_EQ(pes[0].pid, 0x101);
        EXPECT_EQ(pes[0].bytes, unit);
    }

    // Bytes after the PES in its last packet are handed on too: the length is what was collected.
    pes.clear();
    TsBytes unit = pes_packet(0xC0, 91, true);
    TsBytes payload = unit;
    payload.resize(184, 0xFF);
    feed(ts_packet(0x101, rec(0x101)->last_cc + 1, true, payload));
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].bytes, payload);
}

TEST_F(TsDemuxTest, UnboundedPesHandedOnAtNextStart)
{
    start_program();
    TsBytes a = pes_packet(0xE0, 500, false);  // 3 packets
    TsBytes b = pes_packet(0xE0, 20, false);
    TsBytes c = pes_packet(0xE0, 20, false);
    EXPECT_EQ(feed(ts_packetize(0x100, 0, a)), "");
    EXPECT_TRUE(pes.empty());
    feed(ts_packetize(0x100, 3, b));
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].bytes, a);
    // A loss on the next start abandons b instead of handing it on.
    EXPECT_EQ(feed(ts_packetize(0x100, 9, c)), "PID   256 lost 5 packet(s) (3 -> 9)\n");
    EXPECT_EQ(pes.size(), 1u);
    feed(ts_packetize(0x100, 10, b));
    ASSERT_EQ(pes.size(), 2u);
    EXPECT_EQ(pes[1].bytes, c);
}

TEST_F(TsDemuxTest, IncompleteBoundedPesDroppedSilentlyAtNextStart)
{
    start_program();
    TsBytes big = ts_packetize(0x101, 0, pes_packet(0xC0, 400, true));
    TsBytes small = pes_packet(0xC0, 50, true);
    std::string out = feed(TsBytes(big.begin(), big.begin() + 188));
    out += feed(ts_packetize(0x101, 1, small));
    EXPECT_EQ(out, "");
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].bytes, small);
}

TEST_F(TsDemuxTest, RecordsWithoutPesKindNeverHandOn)
{
    TsBytes unit = ts_packetize(1, 0, pes_packet(0xE0, 50, true));
    rec(1)->payload_callback = on_payload;
    rec(1)->payload_user = this;
    feed(unit);
    EXPECT_TRUE(pes.empty());
    EXPECT_EQ(rec(1)->length, 59);  // assembled all the same
}

// ---- PAT

TEST_F(TsDemuxTest, FirstPatRegistersEveryProgram)
{
    TsBytes pat = psi_pat(0x0abc, {{0, 0x10}, {1, 0x1000}, {2, 0x1001}});
    std::string out = feed(ts_packetize(0, 0, pat));
    EXPECT_EQ(out, std::string(pat_banner) +
                       " TS Id: 0abc\n"
                       " Num Progs: 3\n"
                       "  00: ProgNum =     0, NIT PID =    16\n"
                       "New PID 0010\n"
                       "  01: ProgNum =     1, PMT PID =  4096\n"
                       "New PID 1000\n"
                       "  02: ProgNum =     2, PMT PID =  4097\n"
                       "New PID 1001\n");
    EXPECT_EQ(rec(0x10)->kind, kind_nit);
    EXPECT_EQ(rec(0x1000)->kind, kind_pmt);
    EXPECT_EQ(rec(0x1001)->kind, kind_pmt);
    EXPECT_EQ(demux->pat_seen, 1);

    // Each program's PMT reaches the callback, in stream order.
    feed(ts_packetize(0x1001, 0, psi_pmt(4, 0x201, {{2, 0x201, {}}})));
    feed(ts_packetize(0x1000, 0, psi_pmt(7, 0x100, {{2, 0x100, {}}})));
    ASSERT_EQ(pmts.size(), 2u);
    EXPECT_EQ(pmts[0].version, 4);
    EXPECT_EQ(pmts[0].pids, std::vector<int32_t>{0x201});
    EXPECT_EQ(pmts[1].version, 7);
    EXPECT_EQ(pmts[1].pids, std::vector<int32_t>{0x100});
}

TEST_F(TsDemuxTest, LaterPatIgnoredSilently)
{
    start_program();
    EXPECT_EQ(feed(ts_packetize(0, 1, psi_pat(2, {{1, 0x1200}, {3, 0x1300}}, 5))), "");
    EXPECT_EQ(rec(0x1200), nullptr);
    EXPECT_EQ(rec(0x1300), nullptr);
}

TEST_F(TsDemuxTest, PatEntryForRegisteredPidKeepsKind)
{
    EXPECT_EQ(feed(ts_packetize(0, 0, psi_pat(1, {{1, 0x0001}}))),
              std::string(pat_banner) + " TS Id: 0001\n Num Progs: 1\n"
                                        "  00: ProgNum =     1, PMT PID =     1\n");
    EXPECT_EQ(rec(1)->kind, kind_pid1);
}

TEST_F(TsDemuxTest, NotAPatIsRetriedWithNextSection)
{
    TsBytes pmt_on_pid0 = psi_pmt(0, 0x100, {{2, 0x100, {}}});
    EXPECT_EQ(feed(ts_packetize(0, 0, pmt_on_pid0)),
              std::string(pat_banner) + "This table isn't a PAT!\n");
    EXPECT_EQ(demux->pat_seen, 0);
    EXPECT_EQ(rec(0x100), nullptr);
    feed(ts_packetize(0, 1, psi_pat(1, {{1, 0x1000}})));
    EXPECT_EQ(demux->pat_seen, 1);
    EXPECT_NE(rec(0x1000), nullptr);
}

TEST_F(TsDemuxTest, PatSectionLengthBelowNineReadsNoEntry)
{
    struct Case {
        int section_length;
        int programs;
    } cases[] = {{9, 0}, {8, 0}, {5, -1}, {1, -2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.section_length);
        recreate();
        TsBytes pat = psi_pat(1, {{1, 0x1234}});
        pat[2] = 0xB0;
        pat[3] = (uint8_t)c.section_length;
        EXPECT_EQ(feed(ts_packet(0, 0, true, pat)),
                  std::string(pat_banner) + " TS Id: 0001\n Num Progs: " +
                      std::to_string(c.programs) + "\n");
        EXPECT_EQ(rec(0x1234), nullptr);
        EXPECT_EQ(demux->pat_seen, 1);
    }
}

// ---- PMT and descriptors

TEST_F(TsDemuxTest, PmtRegistersItsStreams)
{
    EXPECT_EQ(start_program(), std::string(pat_banner) +
                                   " TS Id: 0001\n Num Progs: 1\n"
                                   "  00: ProgNum =     1, PMT PID =  4096\n"
                                   "New PID 1000\n"
                                   "New PID 0100\n"
                                   "New PID 0101\n");  // PCR_PID is the video: no extra record
    ASSERT_EQ(pmts.size(), 1u);
    EXPECT_EQ(pmts[0].version, 0);
    EXPECT_EQ(pmts[0].pcr_pid, 0x100);
    EXPECT_EQ(pmts[0].pids, (std::vector<int32_t>{0x100, 0x101}));
    EXPECT_EQ(rec(0x100)->kind, kind_pes);
    EXPECT_EQ(rec(0x100)->stream_type, 2);
    EXPECT_STREQ(rec(0x100)->language, "");
    EXPECT_EQ(rec(0x101)->stream_type, 3);
    EXPECT_STREQ(rec(0x101)->language, "eng");
}

TEST_F(TsDemuxTest, RepeatedAndNewPmtVersionsListOnlyNewRecords)
{
    start_program();
    std::vector<PmtStream> v0 = {{2, 0x100, {}}, {3, 0x101, iso639_descriptor("eng")}};
    std::vector<PmtStream> v1 = {
        {2, 0x100, {}}, {3, 0x101, iso639_descriptor("fre")}, {3, 0x102, {}}};
    EXPECT_EQ(feed(ts_packetize(0x1000, 1, psi_pmt(0, 0x100, v0))), "");
    EXPECT_EQ(feed(ts_packetize(0x1000, 2, psi_pmt(1, 0x100, v1))), "New PID 0102\n");
    ASSERT_EQ(pmts.size(), 3u);
    EXPECT_TRUE(pmts[1].pids.empty());
    EXPECT_EQ(pmts[2].version, 1);
    EXPECT_EQ(pmts[2].pids, std::vector<int32_t>{0x102});
    EXPECT_STREQ(rec(0x101)->language, "fre");  // descriptors apply to known PIDs too
}

TEST_F(TsDemuxTest, PmtEntriesForReservedAndOwnPidKeepKind)
{
    start_program();
    std::vector<PmtStream> streams = {
        {2, 0, {}}, {2, 1, {}}, {2, 2, {}}, {2, 0x1000, {}}, {2, 0x103, {}}};
    EXPECT_EQ(feed(ts_packetize(0x1000, 1, psi_pmt(1, 0x100, streams))), "New PID 0103\n");
    ASSERT_EQ(pmts.size(), 2u);
    EXPECT_EQ(pmts[1].pids, std::vector<int32_t>{0x103});
    EXPECT_EQ(rec(0)->kind, kind_pat);
    EXPECT_EQ(rec(1)->kind, kind_pid1);
    EXPECT_EQ(rec(2)->kind, kind_pid2);
    EXPECT_EQ(rec(0x1000)->kind, kind_pmt);
    EXPECT_EQ(rec(0)->stream_type, 0);
}

TEST_F(TsDemuxTest, SeparatePcrPidRegisteredAsNone)
{
    feed(ts_packetize(0, 0, psi_pat(1, {{1, 0x1000}})));
    EXPECT_EQ(feed(ts_packetize(0x1000, 0, psi_pmt(0, 0x1FF, {{2, 0x100, {}}}))),
              "New PID 0100\nNew PID 01ff\n");
    ASSERT_EQ(pmts.size(), 1u);
    EXPECT_EQ(pmts[0].pids, std::vector<int32_t>{0x100});
    EXPECT_EQ(rec(0x1FF)->kind, kind_none);
    EXPECT_EQ(rec(0x1FF)->stream_type, 0);
}

TEST_F(TsDemuxTest, MultiPacketSectionParsedOnce)
{
    feed(ts_packetize(0, 0, psi_pat(1, {{1, 0x1000}})));
    // 250 bytes of other descriptors push the language descriptor into the second packet.
    TsBytes es_info;
    for (int i = 0; i < 50; i++)
        es_info.insert(es_info.end(), {0x05, 3, 'a', 'b', 'c'});
    TsBytes lang = iso639_descriptor("deu");
    es_info.insert(es_info.end(), lang.begin(), lang.end());
    TsBytes packets = ts_packetize(0x1000, 0, psi_pmt(0, 0x100, {{2, 0x100, es_info}}));
    ASSERT_EQ(packets.size(), 376u);
    feed(TsBytes(packets.begin(), packets.begin() + 188));
    EXPECT_TRUE(pmts.empty());
    feed(TsBytes(packets.begin() + 188, packets.end()));
    ASSERT_EQ(pmts.size(), 1u);
    EXPECT_STREQ(rec(0x100)->language, "deu");
    // More bytes on the PID before the next start are not a second section.
    feed(ts_packet(0x1000, 2, false, TsBytes(packets.begin() + 4, packets.begin() + 188)));
    EXPECT_EQ(pmts.size(), 1u);
}

TEST_F(TsDemuxTest, NotAPmtHasNoCallback)
{
    feed(ts_packetize(0, 0, psi_pat(1, {{1, 0x1000}})));
    TsBytes section = psi_pmt(0, 0x100, {{2, 0x100, {}}});
    section[1] = 0x42;
    EXPECT_EQ(feed(ts_packetize(0x1000, 0, section)), "This table isn't a PMT!\n");
    EXPECT_TRUE(pmts.empty());
    EXPECT_EQ(rec(0x100), nullptr);
}

TEST_F(TsDemuxTest, PmtWithoutCallbackIsFreed)
{
    demux->pmt_callback = nullptr;
    start_program();  // a leak here shows under LeakSanitizer
    EXPECT_NE(rec(0x101), nullptr);
}

TEST_F(TsDemuxTest, DescriptorLoop)
{
    struct Case {
        const char *name;
        TsBytes loop;
        const char *language;
    } cases[] = {
        {"language", {0x0A, 4, 'e', 'n', 'g', 0}, "eng"},
        {"other tags passed over", {0x05, 4, 'e', 'n', 'g', 0, 0x0A, 4, 'f', 'r', 'a', 0}, "fra"},
        {"later one wins", {0x0A, 4, 'e', 'n', 'g', 0, 0x0A, 4, 'd', 'e', 'u', 0}, "deu"},
        {"first language of several", {0x0A, 8, 's', 'p', 'a', 0, 'i', 't', 'a', 0}, "spa"},
        {"length byte not consulted", {0x0A, 1, 'p', 'o', 'l'}, "pol"},
        {"none leaves it", {0x05, 2, 'x', 'x'}, "xyz"},
        {"empty", {}, "xyz"},
        {"language past the loop", {0x0A, 4, 'e', 'n'}, "xyz"},
        {"lone tag", {0x0A}, "xyz"},
        {"length past the loop", {0x05, 40, 0x0A, 4, 'e'}, "xyz"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        memcpy(rec(1)->language, "xyz", 4);
        uint8_t *exact = (uint8_t *)malloc(c.loop.empty() ? 1 : c.loop.size());
        if (!c.loop.empty())
            memcpy(exact, c.loop.data(), c.loop.size());
        ts_parse_descriptors(demux, exact, (int32_t)c.loop.size(), 1);
        free(exact);
        EXPECT_STREQ(rec(1)->language, c.language);
    }
}

// ---- damaged sections: nothing is read past the collected bytes

// A section behind a long pointer_field, so its own length fields reach past the packet.
TsBytes late_section(int pointer_field, TsBytes section)
{
    section.erase(section.begin());  // psi_* put pointer_field 0 in front
    TsBytes payload(1 + pointer_field, 0xFF);
    payload[0] = (uint8_t)pointer_field;
    payload.insert(payload.end(), section.begin(), section.end());
    payload.resize(184, 0x11);
    return payload;
}

// Fills a record's buffer with bytes that, read as table entries past the collected ones,
// would register PIDs: 0x1111 for the PAT's, 0x00F0 (with an empty ES_info) for the PMT's.
void garble(TsPidStream *s, uint8_t even, uint8_t odd)
{
    for (int i = 0; i < ts_buffer_limit; i++)
        s->buffer[i] = i % 2 ? odd : even;
}

// Under AddressSanitizer, makes the record's buffer past the bytes a packet will bring
// unreadable, so a parser that reads past them stops the test.
void fence(TsPidStream *s, int32_t collected)
{
    ASAN_UNPOISON_MEMORY_REGION(s->buffer, sizeof s->buffer);
    ASAN_POISON_MEMORY_REGION(s->buffer + collected, sizeof s->buffer - collected);
}

std::vector<int> registered(const TsDemux *demux)
{
    std::vector<int> pids;
    for (int pid = 0; pid < ts_pid_count; pid++)
        if (demux->pids[pid])
            pids.push_back(pid);
    return pids;
}

TEST_F(TsDemuxTest, TruncatedPatRegistersOnlyWhatWasCollected)
{
    garble(rec(0), 0x11, 0x11);
    fence(rec(0), 184);
    TsBytes pat = psi_pat(1, {{1, 0x1000}, {2, 0x1001}, {3, 0x1002}});
    EXPECT_EQ(feed(ts_packet(0, 0, true, late_section(170, pat))),
              std::string(pat_banner) +
                  " TS Id: 0001\n Num Progs: 3\n"
                  "  00: ProgNum =     1, PMT PID =  4096\n"
                  "New PID 1000\n"
                  "PAT section truncated: 1 of 3 programs read\n");
    EXPECT_EQ(registered(demux), (std::vector<int>{0, 1, 2, 0x1000}));
    EXPECT_EQ(demux->pat_seen, 1);
}

TEST_F(TsDemuxTest, ShortPatHeaderSkipped)
{
    garble(rec(0), 0x11, 0x11);
    fence(rec(0), 8);
    TsBytes head = {0, 0x00, 0xB0, 0x05, 0x00, 0x01, 0xC1, 0x00};  // one byte short of 8
    EXPECT_EQ(feed(ts_packet(0, 0, true, head)),
              std::string(pat_banner) + "PAT section too short (7 bytes), skipped\n");
    EXPECT_EQ(demux->pat_seen, 0);
}

TEST_F(TsDemuxTest, TruncatedPmtStopsItsStreamLoop)
{
    // The second entry's ES_info (30 bytes): a language, another descriptor, a second
    // language, one more descriptor. Its header starts at byte 17 of the section.
    TsBytes es_info = ts_concat({iso639_descriptor("fra"), {0x05, 11}, filled(11, 0x05),
                                 iso639_descriptor("deu"), {0x05, 3, 0, 0, 0}});
    struct Case {
        const char *name;
        int pointer_field;
        const char *output;
        std::vector<int> registered;
        std::vector<int32_t> listed;
    } cases[] = {
        // 43 bytes: the second entry's header and 21 bytes of its ES_info, which hold the
        // first language whole and only the tag and length of the second.
        {"ES_info past the end", 140,
         "New PID 0100\nNew PID 1234\nPMT section truncated: ES_info of PID 1234 cut at byte 43\n",
         {0, 1, 2, 0x100, 0x1000, 0x1234}, {0x100, 0x1234}},
        // 20 bytes: not even the second entry's header.
        {"entry header past the end", 163,
         "New PID 0100\nPMT section truncated: stream loop stopped at byte 17\n",
         {0, 1, 2, 0x100, 0x1000}, {0x100}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        recreate();
        feed(ts_packetize(0, 0, psi_pat(1, {{1, 0x1000}})));
        garble(rec(0x1000), 0xF0, 0x00);
        fence(rec(0x1000), 184);
        TsBytes pmt = psi_pmt(0, 0x100, {{2, 0x100, {}}, {3, 0x1234, es_info}});
        EXPECT_EQ(feed(ts_packet(0x1000, 0, true, late_section(c.pointer_field, pmt))), c.output);
        EXPECT_EQ(registered(demux), c.registered);
        ASSERT_EQ(pmts.size(), 1u);
        EXPECT_EQ(pmts[0].pids, c.listed);
        if (demux->pids[0x1234]) {
            EXPECT_EQ(rec(0x1234)->kind, kind_pes);
            EXPECT_EQ(rec(0x1234)->stream_type, 3);
            EXPECT_STREQ(rec(0x1234)->language, "fra");
        }
    }
}

TEST_F(TsDemuxTest, PmtHeaderOrPointerPastCollectedBytes)
{
    feed(ts_packetize(0, 0, psi_pat(1, {{1, 0x1000}})));
    garble(rec(0x1000), 0xF0, 0x00);
    fence(rec(0x1000), 12);
    // One byte short of the 12-byte header.
    TsBytes head = {0, 0x02, 0xB0, 0x09, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0};
    EXPECT_EQ(feed(ts_packet(0x1000, 0, true, head)),
              "PMT section too short (11 bytes), skipped\n");
    fence(rec(0x1000), 184);
    // The pointer_field says the section starts beyond this packet: wait for more bytes.
    TsBytes late = filled(184, 0xFF);
    late[0] = 200;
    EXPECT_EQ(feed(ts_packet(0x1000, 1, true, late)), "");
    EXPECT_TRUE(pmts.empty());
    EXPECT_EQ(registered(demux), (std::vector<int>{0, 1, 2, 0x1000}));
}

// ---- running out of memory

TEST_F(TsDemuxTest, CreateFailsCleanly)
{
    struct Case {
        size_t size;
        const char *out;
    } cases[] = {
        {sizeof(TsDemux), "Out of memory: no demultiplexer\n"},
        {sizeof(TsPidStream),
         "New PID 0000\nOut of memory: PID 0000 not registered\n"},
    };
    for (const Case &c : cases) {
        FailAllocations fail(c.size);
        capture_stdout_begin();
        EXPECT_EQ(ts_demux_create(), nullptr);
        EXPECT_EQ(capture_stdout_end(), c.out);
    }
}

TEST_F(TsDemuxTest, PatRetriedWhenARecordCannotBeMade)
{
    TsBytes pat = psi_pat(1, {{1, 0x1000}});
    {
        FailAllocations fail(sizeof(TsPidStream));
        EXPECT_EQ(feed(ts_packetize(0, 0, pat)),
                  std::string(pat_banner) + " TS Id: 0001\n Num Progs: 1\n"
                                            "  00: ProgNum =     1, PMT PID =  4096\n"
                                            "New PID 1000\n"
                                            "Out of memory: PID 1000 not registered\n");
    }
    EXPECT_EQ(demux->pat_seen, 0);
    feed(ts_packetize(0, 1, pat));
    ASSERT_NE(rec(0x1000), nullptr);
    EXPECT_EQ(rec(0x1000)->kind, kind_pmt);
    EXPECT_EQ(demux->pat_seen, 1);
}

TEST_F(TsDemuxTest, PmtSkipsWhatCannotBeAllocated)
{
    feed(ts_packetize(0, 0, psi_pat(1, {{1, 0x1000}})));
    TsBytes pmt = psi_pmt(0, 0x100, {{2, 0x100, {}}, {3, 0x101, {}}});
    {
        FailAllocations fail(sizeof(PmtInfo));
        EXPECT_EQ(feed(ts_packetize(0x1000, 0, pmt)),
                  "Out of memory: PMT section on PID 1000 skipped\n");
    }
    EXPECT_TRUE(pmts.empty());
    EXPECT_EQ(rec(0x100), nullptr);
    {
        FailAllocations fail(sizeof(TsPidStream));
        EXPECT_EQ(feed(ts_packetize(0x1000, 1, pmt)),
                  "New PID 0100\nOut of memory: PID 0100 not registered\n"
                  "New PID 0101\nOut of memory: PID 0101 not registered\n"
                  "New PID 0100\nOut of memory: PID 0100 not registered\n");
    }
    ASSERT_EQ(pmts.size(), 1u);
    EXPECT_TRUE(pmts[0].pids.empty());
    // The next repetition registers them, and lists them.
    feed(ts_packetize(0x1000, 2, pmt));
    ASSERT_EQ(pmts.size(), 2u);
    EXPECT_EQ(pmts[1].pids, (std::vector<int32_t>{0x100, 0x101}));
}

}  // namespace
