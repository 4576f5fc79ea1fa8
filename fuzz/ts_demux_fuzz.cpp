// Arbitrary bytes through the demultiplexer alone: packets, continuity, PCR capture, PSI
// assembly and parsing, PES assembly. The PMT callback chooses streams as the engine's
// does (the first video and the first audio that is not narration) and installs a
// counting payload callback on them; nothing is decoded or queued, so an input costs what
// the demultiplexer itself costs. ts_process_fuzz covers the engine's callbacks.
//
// Under AddressSanitizer most of that cost would be the sanitizer's own handling of the
// 1 MiB records (a fresh mapping for each, its shadow poisoned when freed), not the
// demultiplexer's work, so the harness keeps the records of one input for the next and
// zeroes them as calloc would (through ts_calloc). A read or write past a record's end is
// still caught: each kept block is an allocation of exactly that size.
//
// Checks: a PES packet handed on is its own record's buffer and lies inside it (every byte
// is read), the records listed in a PmtInfo are the demuxer's own PES records, and no
// record's fill level ever passes the assembly limit.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "engine/playback.h"
#include "input/ts_demux.h"
#include "input/ts_register.h"

enum { read_size = 3760 };  // what decode_thread reads from a file at a time

namespace {

// The stream types the engine decodes.
bool is_video(int32_t type) { return type == 0x02 || type == 0x1B; }
bool is_audio(int32_t type) { return type == 0x03 || type == 0x04; }

struct Counts {
    int32_t video_pid;
    int32_t audio_pid;
    int32_t last_version;
    uint64_t pmts;
    uint64_t pes_packets;
    uint64_t pes_bytes;
};

Counts counts;

// Only ts_process_packets' `demux` field is read; the rest stays zero.
PlaybackState state;

// Blocks of the demuxer's two large sizes, freed by the last input. An input that
// registers many PIDs does not make them all stay.
enum { kept_most = 16 };
std::vector<void *> kept_records;
std::vector<void *> kept_demuxes;

std::vector<void *> *kept_for(size_t bytes)
{
    if (bytes == sizeof(TsPidStream))
        return &kept_records;
    if (bytes == sizeof(TsDemux))
        return &kept_demuxes;
    return nullptr;
}

void *reusing_calloc(size_t count, size_t size)
{
    std::vector<void *> *kept = kept_for(count * size);
    if (!kept || kept->empty())
        return calloc(count, size);
    void *block = kept->back();
    kept->pop_back();
    memset(block, 0, count * size);
    return block;
}

void release(void *block, size_t bytes)
{
    std::vector<void *> *kept = kept_for(bytes);
    if (kept->size() < kept_most)
        kept->push_back(block);
    else
        free(block);
}

void count_pes(TsDemux *demux, int32_t pid, const uint8_t *data, int32_t len, void *user)
{
    TsPidStream *s = demux->pids[pid];
    if (user != &counts || !s || data != s->buffer || len < 0 || len > ts_buffer_limit)
        abort();
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < len; i++)
        sum = sum + data[i];
    counts.pes_packets++;
    counts.pes_bytes += (uint64_t)len;
}

void count_pmt(TsDemux *demux, PmtInfo *pmt, void *user)
{
    if (user != &counts)
        abort();
    counts.pmts++;
    if (pmt->version != counts.last_version) {
        for (TsPidStream *s = pmt->streams; s; s = s->next) {
            if (s->kind != kind_pes || demux->pids[s->pid] != s)
                abort();
            bool choose = false;
            if (is_video(s->stream_type) && counts.video_pid == 0) {
                counts.video_pid = s->pid;
                choose = true;
            } else if (is_audio(s->stream_type) && counts.audio_pid == 0 &&
                       strncmp(s->language, "NAR", sizeof s->language) != 0) {
                counts.audio_pid = s->pid;
                choose = true;
            }
            if (choose) {
                s->payload_callback = count_pes;
                s->payload_user = &counts;
            }
        }
        counts.last_version = pmt->version;
    }
    free(pmt);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ts_calloc = reusing_calloc;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    counts = Counts();
    counts.last_version = -1;
    TsDemux *demux = ts_demux_create();
    if (!demux)
        abort();
    demux->pmt_callback = count_pmt;
    demux->pmt_user = &counts;
    state.demux = demux;

    // Each read in a buffer of its own size, so the sanitizer sees a read past it.
    for (size_t at = 0; at < size; at += read_size) {
        size_t n = size - at < read_size ? size - at : read_size;
        uint8_t *block = (uint8_t *)malloc(n);
        memcpy(block, data + at, n);
        ts_process_packets(block, (int32_t)n, &state);
        free(block);
        for (int pid = 0; pid < ts_pid_count; pid++)
            if (demux->pids[pid] && (demux->pids[pid]->length < 0 ||
                                     demux->pids[pid]->length > ts_buffer_limit))
                abort();
    }

    // As ts_demux_free does, but into the kept blocks.
    state.demux = nullptr;
    for (int pid = 0; pid < ts_pid_count; pid++)
        if (demux->pids[pid])
            release(demux->pids[pid], sizeof(TsPidStream));
    release(demux, sizeof(TsDemux));
    return 0;
}
