// Arbitrary bytes through the demultiplexer alone: packets, continuity, PCR capture, PSI
// assembly and parsing, PES assembly. The PMT callback chooses streams as the engine's
// does (the first video and the first audio that is not narration) and installs a
// counting payload callback on them; nothing is decoded or queued, so an input costs what
// the demultiplexer itself costs. ts_process_fuzz covers the engine's callbacks.
//
// Under AddressSanitizer most of that cost would be the sanitizer's own handling of the
// 1 MiB records (a fresh mapping for each, its shadow poisoned when freed), not the
// demultiplexer's work, so the harness keeps the records of one input for the next and
// hands them out zeroed, as calloc would (through ts_calloc). A read or write past a
// record's end is still caught: each kept block is an allocation of exactly that size.
//
// Checks: a PES packet handed on is its own record's buffer and lies inside it (every byte
// is read), the records listed in a PmtInfo are the demuxer's own PES records, and no
// record's fill level ever passes the assembly limit.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

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
// registers very many PIDs does not make them all stay. Zeroing a whole 1 MiB record again
// would cost as much as the sanitizer's handling, so each record's block remembers how far
// into its buffer the demuxer may have written; past that it is still zero.
// Plain arrays, not containers: they are never destroyed, so the leak check at exit still
// finds the kept blocks through them.
enum { kept_most = 256 };  // untouched pages of a kept block stay unmapped
struct KeptRecord {
    void *block;
    int32_t written;
};
KeptRecord kept_records[kept_most];
int32_t kept_record_count;
void *kept_demuxes[kept_most];
int32_t kept_demux_count;
int32_t written[ts_pid_count];  // of the current input's records

void *reusing_calloc(size_t count, size_t size)
{
    size_t bytes = count * size;
    if (bytes == sizeof(TsPidStream) && kept_record_count > 0) {
        KeptRecord kept = kept_records[--kept_record_count];
        memset(kept.block, 0, offsetof(TsPidStream, buffer) + (size_t)kept.written);
        return kept.block;
    }
    if (bytes == sizeof(TsDemux) && kept_demux_count > 0) {
        void *block = kept_demuxes[--kept_demux_count];
        memset(block, 0, bytes);
        return block;
    }
    return calloc(count, size);
}

// A read of n bytes appends at most n bytes to a record, from its fill level at the start
// of the read (a unit start only moves writing back to the buffer's beginning).
void note_writes(TsDemux *demux, int32_t n)
{
    for (int pid = 0; pid < ts_pid_count; pid++) {
        TsPidStream *s = demux->pids[pid];
        if (!s)
            continue;
        int32_t end = s->length + n;
        if (end > (int32_t)sizeof s->buffer)
            end = (int32_t)sizeof s->buffer;
        if (end > written[pid])
            written[pid] = end;
    }
}

void release(TsDemux *demux)
{
    for (int pid = 0; pid < ts_pid_count; pid++) {
        if (!demux->pids[pid])
            continue;
        if (kept_record_count < kept_most)
            kept_records[kept_record_count++] = {demux->pids[pid], written[pid]};
        else
            free(demux->pids[pid]);
    }
    if (kept_demux_count < kept_most)
        kept_demuxes[kept_demux_count++] = demux;
    else
        free(demux);
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

    memset(written, 0, sizeof written);

    // Each read in a buffer of its own size, so the sanitizer sees a read past it.
    for (size_t at = 0; at < size; at += read_size) {
        size_t n = size - at < read_size ? size - at : read_size;
        uint8_t *block = (uint8_t *)malloc(n);
        memcpy(block, data + at, n);
        note_writes(demux, (int32_t)n);  // the records registered before this read
        ts_process_packets(block, (int32_t)n, &state);
        note_writes(demux, (int32_t)n);  // and those it registered, from level 0
        free(block);
        for (int pid = 0; pid < ts_pid_count; pid++)
            if (demux->pids[pid] && (demux->pids[pid]->length < 0 ||
                                     demux->pids[pid]->length > ts_buffer_limit))
                abort();
    }

    // As ts_demux_free does, but into the kept blocks.
    state.demux = nullptr;
    release(demux);
    return 0;
}
