// MPEG-2 transport-stream demultiplexer: turns 188-byte packets into PMT descriptions
// and complete PES packets, handed to callbacks; checks continuity and captures the
// first PCR.
//
// One TsDemux per playback, owned by the playback's decode_thread: every function here
// and both callbacks run on that thread, synchronously inside ts_process_packets.
// Nothing is locked.
#pragma once

#include <stdint.h>

enum { ts_packet_size = 188, ts_pid_count = 8192, ts_buffer_limit = 1048576 };

enum PidKind : int32_t {
    kind_none = 0,  // a PCR_PID no PMT entry named: assembled, never handed on
    kind_pat = 1,
    kind_pmt = 2,
    kind_pes = 3,
    kind_nit = 4,
    kind_pid2 = 5,
    kind_pid1 = 6,
};

struct TsDemux;

// Called with each complete PES packet; `data` is the record's own buffer and is valid
// only during the call.
typedef void (*TsPayloadCallback)(TsDemux *demux, int32_t pid, const uint8_t *data, int32_t len,
                                  void *user);

struct TsPidStream {
    TsPidStream *next;  // link of PmtInfo.streams
    int32_t pid;
    uint8_t last_cc;  // 0xFF: no packet seen yet
    char language[4];
    PidKind kind;
    int32_t stream_type;
    uint8_t collecting;
    int32_t length;
    TsPayloadCallback payload_callback;
    void *payload_user;
    uint8_t buffer[ts_buffer_limit + 4];
};

// One parsed PMT section. The PMT callback owns it (frees it with free()); `streams`
// lists only the records this very section registered, which stay the demuxer's.
struct PmtInfo {
    int32_t pcr_pid;
    int32_t version;
    TsPidStream *streams;
};

typedef void (*TsPmtCallback)(TsDemux *demux, PmtInfo *pmt, void *user);

struct TsDemux {
    TsPidStream *pids[ts_pid_count];  // null: PID not registered, its packets ignored
    uint8_t pat_seen;
    TsPmtCallback pmt_callback;
    void *pmt_user;
    uint64_t first_pcr;      // 33-bit PCR base, 90 kHz; 0 = none yet
    int64_t first_pcr_time;  // av_gettime() when first_pcr was captured
    // The clock anchor is the first PCR, renewed when the PCRs of its PID jump (see
    // ts_note_pcr): the PID it came from and that PID's latest PCR base.
    int32_t anchor_pid;
    uint64_t last_pcr;
};

// A new demuxer with PIDs 0, 1 and 2 registered, or null when memory runs out.
TsDemux *ts_demux_create();

// Frees every record and the demuxer itself (null is accepted).
void ts_demux_free(TsDemux *demux);

// Feeds whole packets from `data` (len bytes, starting at a packet boundary) to the
// demuxer in ((PlaybackState *)user)->demux. len <= 0 processes nothing; a trailing
// run shorter than a packet is dropped.
void ts_process_packets(const uint8_t *data, int32_t len, void *user);

// Parsers, called by the packet loop when a record holds a complete section
// (byte 0 of its buffer is the pointer_field).
void ts_parse_pat(TsDemux *demux, int32_t pid);
void ts_parse_pmt(TsDemux *demux, int32_t pid);
void ts_parse_descriptors(TsDemux *demux, const uint8_t *data, int32_t len, int32_t pid);

// Hands the record's assembled PES packet to its payload callback, if any.
void ts_dispatch_pes(TsDemux *demux, int32_t pid);
