// Demultiplexing throughput: ts_process_packets against libavformat's mpegts demuxer over
// the same bytes, both from memory so disk I/O does not count.
// Usage: demux_bench FILE.ts [ROUNDS]   (make a file with tools/make-bench-stream)
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include "engine/playback.h"
#include "input/ts_demux.h"

// The datagram size of a multicast feed: seven packets.
static const size_t feed_size = 7 * 188;

struct Buffer {
    uint8_t *data;
    size_t size;
    size_t pos;  // read position of the libavformat reader
};

struct Counts {
    int64_t units;
    int64_t bytes;
};

static double now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

static bool read_whole_file(const char *path, Buffer *buf)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    buf->data = (uint8_t *)malloc(size > 0 ? (size_t)size : 1);
    buf->size = buf->data && size > 0 ? fread(buf->data, 1, (size_t)size, f) : 0;
    fclose(f);
    return buf->size > 0;
}

// The demuxer's "New PID" and PAT lines would land between the figures.
static int stdout_silence()
{
    fflush(stdout);
    int saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
    return saved;
}

static void stdout_restore(int saved)
{
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

static void count_payload(TsDemux *, int32_t, const uint8_t *, int32_t len, void *user)
{
    Counts *c = (Counts *)user;
    c->units++;
    c->bytes += len;
}

static void attach_all(TsDemux *, PmtInfo *pmt, void *user)
{
    for (TsPidStream *s = pmt->streams; s; s = s->next) {
        s->payload_callback = count_payload;
        s->payload_user = user;
    }
    free(pmt);
}

static double run_zandoro(const Buffer *buf, Counts *counts)
{
    PlaybackState *ps = (PlaybackState *)calloc(1, sizeof(PlaybackState));
    int saved = stdout_silence();
    ps->demux = ts_demux_create();
    ps->demux->pmt_callback = attach_all;
    ps->demux->pmt_user = counts;
    double start = now_seconds();
    for (size_t off = 0; off < buf->size; off += feed_size) {
        size_t n = buf->size - off < feed_size ? buf->size - off : feed_size;
        ts_process_packets(buf->data + off, (int32_t)n, ps);
    }
    double elapsed = now_seconds() - start;
    stdout_restore(saved);
    ts_demux_free(ps->demux);
    free(ps);
    return elapsed;
}

static int memory_read(void *opaque, uint8_t *to, int size)
{
    Buffer *b = (Buffer *)opaque;
    size_t left = b->size - b->pos;
    if (left == 0)
        return AVERROR_EOF;
    size_t n = (size_t)size < left ? (size_t)size : left;
    memcpy(to, b->data + b->pos, n);
    b->pos += n;
    return (int)n;
}

static int64_t memory_seek(void *opaque, int64_t offset, int whence)
{
    Buffer *b = (Buffer *)opaque;
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return (int64_t)b->size;
    int64_t base = whence == SEEK_CUR ? (int64_t)b->pos : whence == SEEK_END ? (int64_t)b->size : 0;
    if (base + offset < 0 || base + offset > (int64_t)b->size)
        return AVERROR(EINVAL);
    b->pos = (size_t)(base + offset);
    return (int64_t)b->pos;
}

// av_read_frame over the whole buffer, no decoding; `parsers` as a player would have
// them (splitting into frames), or off (one packet per PES).
static double run_libavformat(Buffer *buf, bool parsers, Counts *counts)
{
    buf->pos = 0;
    enum { io_size = 32768 };
    uint8_t *io_buffer = (uint8_t *)av_malloc(io_size);
    AVIOContext *io =
        avio_alloc_context(io_buffer, io_size, 0, buf, memory_read, nullptr, memory_seek);
    AVFormatContext *fmt = avformat_alloc_context();
    fmt->pb = io;
    if (!parsers)
        fmt->flags |= AVFMT_FLAG_NOPARSE | AVFMT_FLAG_NOFILLIN;
    AVPacket *pkt = av_packet_alloc();

    double start = now_seconds();
    if (avformat_open_input(&fmt, nullptr, av_find_input_format("mpegts"), nullptr) < 0) {
        fprintf(stderr, "libavformat cannot open the stream\n");
        exit(1);
    }
    while (av_read_frame(fmt, pkt) >= 0) {
        counts->units++;
        counts->bytes += pkt->size;
        av_packet_unref(pkt);
    }
    double elapsed = now_seconds() - start;

    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    av_freep(&io->buffer);
    avio_context_free(&io);
    return elapsed;
}

// The physical limit of this design: per packet only the TS header (sync byte, PID, unit
// start, adaptation field) and a copy of the payload into the PID's unit buffer, a unit
// handed on (counted) at the next unit start. No continuity check, no PSI, no PES header.
static double run_copy_loop(const Buffer *buf, Counts *counts)
{
    static uint8_t *units[8192];
    static size_t fill[8192];
    const size_t unit_size = 1 << 20;
    double start = now_seconds();
    for (size_t off = 0; off + feed_size <= buf->size; off += feed_size) {
        for (const uint8_t *p = buf->data + off, *end = p + feed_size; p < end; p += 188) {
            if (p[0] != 0x47)
                continue;
            int pid = ((p[1] & 0x1F) << 8) | p[2];
            int start_at = 4;
            if (p[3] & 0x20)
                start_at += 1 + p[4];
            if (!(p[3] & 0x10) || start_at >= 188)
                continue;
            if (!units[pid])
                units[pid] = (uint8_t *)malloc(unit_size);
            if (p[1] & 0x40) {
                if (fill[pid]) {
                    counts->units++;
                    counts->bytes += (int64_t)fill[pid];
                }
                fill[pid] = 0;
            }
            size_t n = 188 - (size_t)start_at;
            if (fill[pid] + n > unit_size)
                fill[pid] = 0;
            if (n == 184)
                memcpy(units[pid] + fill[pid], p + 4, 184);
            else
                memcpy(units[pid] + fill[pid], p + start_at, n);
            fill[pid] += n;
        }
    }
    double elapsed = now_seconds() - start;
    for (int pid = 0; pid < 8192; pid++) {
        free(units[pid]);
        units[pid] = nullptr;
        fill[pid] = 0;
    }
    return elapsed;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE.ts [ROUNDS]\n", argv[0]);
        return 1;
    }
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (rounds < 1)
        rounds = 1;
    Buffer buf = {};
    if (!read_whole_file(argv[1], &buf)) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    av_log_set_level(AV_LOG_ERROR);

    const char *names[] = {"zandoro ts_process_packets", "libavformat mpegts, parsers on",
                           "libavformat mpegts, noparse", "header parse + payload copy"};
    double best[4] = {1e30, 1e30, 1e30, 1e30};
    Counts counts[4] = {};
    for (int r = 0; r < rounds; r++) {
        for (int k = 0; k < 4; k++) {
            Counts c = {};
            double t = k == 0   ? run_zandoro(&buf, &c)
                       : k == 3 ? run_copy_loop(&buf, &c)
                                : run_libavformat(&buf, k == 1, &c);
            if (t < best[k])
                best[k] = t;
            counts[k] = c;
        }
    }

    double mb = buf.size / 1e6;
    printf("%s: %.1f MB, %zu packets, %d round(s), best time of each\n", argv[1], mb,
           buf.size / 188, rounds);
    for (int k = 0; k < 4; k++)
        printf("  %-32s %9.1f MB/s  (%lld units, %lld payload bytes)\n", names[k], mb / best[k],
               (long long)counts[k].units, (long long)counts[k].bytes);
    printf("  ratio to parsers on: %.1fx, to noparse: %.1fx; share of the copy loop: %.0f%%\n",
           best[1] / best[0], best[2] / best[0], 100.0 * best[3] / best[0]);
    free(buf.data);
    return 0;
}
