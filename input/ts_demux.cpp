// The demuxer's life cycle, the PID table and the packet loop: continuity, first PCR and
// assembly of sections and PES packets into each PID's buffer.
#include "input/ts_demux.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavutil/time.h>
}

#include "engine/playback.h"
#include "input/ts_register.h"

void *(*ts_calloc)(size_t count, size_t size) = calloc;

TsPidStream *ts_register_pid(TsDemux *demux, int32_t pid, PidKind kind)
{
    printf("New PID %04x\n", pid);
    // calloc keeps the 1 MiB buffer's pages untouched until a unit is assembled there.
    TsPidStream *s = (TsPidStream *)ts_calloc(1, sizeof(TsPidStream));
    if (!s) {
        printf("Out of memory: PID %04x not registered\n", pid);
        return nullptr;
    }
    s->pid = pid;
    s->last_cc = 0xFF;
    s->kind = kind;
    demux->pids[pid] = s;
    return s;
}

TsDemux *ts_demux_create()
{
    TsDemux *demux = (TsDemux *)ts_calloc(1, sizeof(TsDemux));
    if (!demux) {
        printf("Out of memory: no demultiplexer\n");
        return nullptr;
    }
    // Without these three the demuxer cannot start, so a failure here is a failure to create.
    if (!ts_register_pid(demux, 0, kind_pat) || !ts_register_pid(demux, 1, kind_pid1) ||
        !ts_register_pid(demux, 2, kind_pid2)) {
        ts_demux_free(demux);
        return nullptr;
    }
    return demux;
}

void ts_demux_free(TsDemux *demux)
{
    if (!demux)
        return;
    for (int32_t pid = 0; pid < ts_pid_count; pid++)
        free(demux->pids[pid]);
    free(demux);
}

void ts_dispatch_pes(TsDemux *demux, int32_t pid)
{
    TsPidStream *s = demux->pids[pid];
    if (s->payload_callback)
        s->payload_callback(demux, pid, s->buffer, s->length, s->payload_user);
}

// True when the section assembled in `s` has all the bytes its header asks for, not
// counting the CRC_32 (nothing reads it).
static bool ts_section_complete(const TsPidStream *s)
{
    int32_t pointer = s->buffer[0];
    if (s->length < pointer + 4)
        return false;
    int32_t section_length = (s->buffer[pointer + 2] & 0x0F) << 8 | s->buffer[pointer + 3];
    return s->length >= section_length;
}

// The first PCR anchors the playback's clock. PCRs follow each other by at most a tenth of
// a second, so a step of 10 s or more either way on the anchor's PID is a new time line (a
// head-end looping a file, an encoder restart, the 33-bit wrap): the anchor moves to it,
// or sound and picture would stay that far from the clock for the rest of the playback.
// The new line starts where the old one reaches its last PCR: a file is read seconds
// ahead of what plays, and what was read before the jump plays out first; a live stream
// arrives about then anyway, or later after a gap, and then starts now.
static void ts_note_pcr(TsDemux *demux, int32_t pid, uint64_t pcr)
{
    const int64_t jump = 10 * 90000;
    int64_t now = av_gettime();
    if (demux->first_pcr == 0) {
        demux->first_pcr = pcr;
        demux->first_pcr_time = now;
        demux->anchor_pid = pid;
    } else if (pid == demux->anchor_pid) {
        int64_t step = (int64_t)pcr - (int64_t)demux->last_pcr;
        if (step <= -jump || step >= jump) {
            printf("PID %5d PCR jumps by %.3f s: clock anchor renewed\n", pid, step / 90000.0);
            int64_t line_end = demux->first_pcr_time +
                               ((int64_t)demux->last_pcr - (int64_t)demux->first_pcr) * 100 / 9;
            demux->first_pcr = pcr;
            demux->first_pcr_time = line_end > now ? line_end : now;
        }
    }
    if (pid == demux->anchor_pid)
        demux->last_pcr = pcr;
}

static inline void ts_process_packet(TsDemux *demux, const uint8_t *p)
{
    if (p[0] != 0x47) {
        printf("Ignoring packet as doesn't start with 0x47\n");
        return;
    }
    bool unit_start = p[1] & 0x40;
    int32_t pid = (p[1] & 0x1F) << 8 | p[2];
    int adaptation_control = (p[3] >> 4) & 3;
    uint8_t cc = p[3] & 0x0F;
    if (pid == 0x1FFF)
        return;
    TsPidStream *s = demux->pids[pid];
    if (!s)
        return;

    bool has_payload = adaptation_control & 1;
    if (has_payload && s->last_cc != 0xFF) {
        int d = cc - s->last_cc;
        if (d < 1)
            d += 16;
        if (d != 1) {
            printf("PID %5d lost %d packet(s) (%d -> %d)\n", pid, d - 1, s->last_cc, cc);
            fflush(stdout);
            s->collecting = 0;
        }
    }

    int32_t offset = 4;
    if (adaptation_control & 2) {
        offset = 5 + p[4];
        if (offset > ts_packet_size) {
            // A damaged header: neither the PCR nor the payload can be trusted, and the
            // unit being assembled has lost this packet's bytes.
            printf("PID %5d adaptation_field_length %d passes the packet end, payload dropped\n",
                   pid, p[4]);
            s->collecting = 0;
            s->last_cc = cc;
            return;
        }
        if (p[4] != 0 && (p[5] & 0x10))
            ts_note_pcr(demux, pid,
                        (uint64_t)p[6] << 25 | (uint64_t)p[7] << 17 | (uint64_t)p[8] << 9 |
                            (uint64_t)p[9] << 1 | (uint64_t)(p[10] >> 7));
    }

    if (!has_payload) {
        s->last_cc = cc;
        return;
    }

    if (unit_start) {
        // A PES packet of unbounded length ends only where the next one starts.
        if (s->collecting && s->kind == kind_pes && s->length > 5 && s->buffer[4] == 0 &&
            s->buffer[5] == 0)
            ts_dispatch_pes(demux, pid);
        s->length = 0;
        s->collecting = 1;
    }

    if (s->collecting) {
        int32_t n = ts_packet_size - offset;
        if (s->length + n > ts_buffer_limit) {
            printf("Buffer overflow!\n");
            s->collecting = 0;
        } else {
            // Most packets carry a full 184 bytes; a copy of constant size compiles to a
            // few vector moves, where the variable one costs a string-move start-up.
            if (n == ts_packet_size - 4)
                memcpy(s->buffer + s->length, p + 4, ts_packet_size - 4);
            else
                memcpy(s->buffer + s->length, p + offset, n);
            s->length += n;

            if (s->kind == kind_pes) {
                int32_t pes_length = s->length > 5 ? s->buffer[4] << 8 | s->buffer[5] : 0;
                if (pes_length != 0 && s->length >= 6 + pes_length) {
                    ts_dispatch_pes(demux, pid);
                    s->collecting = 0;
                    s->length = 0;
                }
            } else if (s->kind == kind_pat || s->kind == kind_pmt) {
                if (ts_section_complete(s)) {
                    if (s->kind == kind_pat)
                        ts_parse_pat(demux, pid);
                    else
                        ts_parse_pmt(demux, pid);
                    s->collecting = 0;
                    s->length = 0;
                }
            }
        }
    }

    s->last_cc = cc;
}

void ts_process_packets(const uint8_t *data, int32_t len, void *user)
{
    TsDemux *demux = ((PlaybackState *)user)->demux;
    int32_t off = 0;
    for (; len - off >= ts_packet_size; off += ts_packet_size)
        ts_process_packet(demux, data + off);
    // Nothing is carried over to the next call, so a partial packet is lost; say so, since
    // it means the sender's datagrams or the file are not packet-aligned.
    if (off < len)
        printf("Ignoring %d bytes after the last whole packet\n", len - off);
}
