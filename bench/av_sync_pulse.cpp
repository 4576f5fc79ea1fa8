// The sound side of bench/av-sync-bench, on a PulseAudio server (PULSE_SERVER):
//
//   av_sync_pulse record SOURCE SECONDS [LEVEL]
//       records SOURCE (the bench sink's monitor) and prints "beep T" at each onset: the
//       first sample above LEVEL (0..1 of full scale, default 0.1) after at least 300 ms
//       below it
//   av_sync_pulse play SINK SECONDS [silent]
//       plays a 50 ms 1 kHz beep every second and prints "sent T", the time pulse says
//       the beep's first sample is played: the anchor that tells what the recording's
//       timestamps are worth. "silent" plays zeros instead, to keep the sink running
//       as a sound card would be (an idle null sink renders far ahead and holds back a
//       stream that starts then)
//
// T is CLOCK_MONOTONIC in milliseconds (what screen_watch prints). A recorded sample is
// dated by when its block was read, less the latency pulse reports for the recording
// stream and less the frames after it in the block; a played one by when its block was
// written plus the latency of the playback stream. Both print "latency MIN MEAN MAX" (ms)
// of those reports at the end. Blocks are 5 ms, so the dating itself is that fine.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <vector>

namespace {

const int rate = 48000;
const int channels = 2;
const int block_frames = rate / 200;  // 5 ms
const double quiet_ms_before_onset = 300;

double now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

struct LatencyStats {
    double min = 1e9, max = -1e9, sum = 0;
    long count = 0;
    void add(double ms)
    {
        min = std::min(min, ms);
        max = std::max(max, ms);
        sum += ms;
        count++;
    }
    void print() const
    {
        if (count)
            printf("latency %.3f %.3f %.3f\n", min, sum / count, max);
    }
};

pa_simple *open_stream(pa_stream_direction_t direction, const char *device, const pa_buffer_attr *attr)
{
    pa_sample_spec spec = {};
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = rate;
    spec.channels = channels;
    int error = 0;
    pa_simple *s = pa_simple_new(nullptr, "av_sync_pulse", direction, device,
                                 direction == PA_STREAM_RECORD ? "record" : "play", &spec, nullptr, attr, &error);
    if (!s)
        fprintf(stderr, "av_sync_pulse: cannot open %s: %s\n", device, pa_strerror(error));
    return s;
}

int record(const char *source, double seconds, double level)
{
    pa_buffer_attr attr;
    memset(&attr, 0xff, sizeof attr);
    attr.fragsize = block_frames * channels * 2;
    pa_simple *s = open_stream(PA_STREAM_RECORD, source, &attr);
    if (!s)
        return 1;
    std::vector<int16_t> block((size_t)block_frames * channels);
    const int threshold = (int)(level * 32767);
    LatencyStats stats;
    double start = now_ms();
    double last_loud = -1e9;
    printf("ready %.3f\n", start);
    fflush(stdout);
    while (now_ms() - start < seconds * 1000) {
        int error = 0;
        if (pa_simple_read(s, block.data(), block.size() * 2, &error) < 0) {
            fprintf(stderr, "av_sync_pulse: read: %s\n", pa_strerror(error));
            return 1;
        }
        double read_at = now_ms();
        pa_usec_t latency = pa_simple_get_latency(s, &error);
        double latency_ms = latency / 1000.0;
        stats.add(latency_ms);
        // The block's last frame was captured `latency` before the read returned.
        double last_frame_at = read_at - latency_ms;
        for (int i = 0; i < block_frames; i++) {
            int v = std::max(abs(block[(size_t)i * 2]), abs(block[(size_t)i * 2 + 1]));
            if (v <= threshold)
                continue;
            double t = last_frame_at - (block_frames - 1 - i) * 1000.0 / rate;
            if (t - last_loud >= quiet_ms_before_onset) {
                printf("beep %.3f\n", t);
                fflush(stdout);
            }
            last_loud = t;
        }
    }
    stats.print();
    pa_simple_free(s);
    return 0;
}

int play(const char *sink, double seconds, bool silent)
{
    // A small target so the anchor's own buffering stays near the recorder's.
    pa_buffer_attr attr;
    memset(&attr, 0xff, sizeof attr);
    attr.tlength = 4 * block_frames * channels * 2;
    attr.minreq = block_frames * channels * 2;
    pa_simple *s = open_stream(PA_STREAM_PLAYBACK, sink, &attr);
    if (!s)
        return 1;
    std::vector<int16_t> block((size_t)block_frames * channels);
    LatencyStats stats;
    const long total = (long)(seconds * rate);
    const long beep_frames = rate / 20;
    for (long frame = 0; frame < total; frame += block_frames) {
        for (int i = 0; i < block_frames; i++) {
            long n = (frame + i) % rate;
            double v = n < beep_frames && !silent ? 0.5 * sin(2 * M_PI * 1000.0 * n / rate) : 0.0;
            block[(size_t)i * 2] = block[(size_t)i * 2 + 1] = (int16_t)lrint(v * 32767);
        }
        int error = 0;
        if (frame % rate < block_frames) {
            // What is queued now plays before this block's first frame.
            pa_usec_t latency = pa_simple_get_latency(s, &error);
            stats.add(latency / 1000.0);
            // Skip the first beeps: the stream is still starting.
            if (frame >= 2 * rate && !silent) {
                printf("sent %.3f\n", now_ms() + latency / 1000.0);
                fflush(stdout);
            }
        }
        if (pa_simple_write(s, block.data(), block.size() * 2, &error) < 0) {
            fprintf(stderr, "av_sync_pulse: write: %s\n", pa_strerror(error));
            return 1;
        }
    }
    int error = 0;
    pa_simple_drain(s, &error);
    stats.print();
    pa_simple_free(s);
    return 0;
}

void usage()
{
    fprintf(stderr, "usage: av_sync_pulse record SOURCE SECONDS [LEVEL] | play SINK SECONDS [silent]\n");
    exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4)
        usage();
    double seconds = atof(argv[3]);
    if (strcmp(argv[1], "record") == 0)
        return record(argv[2], seconds, argc > 4 ? atof(argv[4]) : 0.1);
    if (strcmp(argv[1], "play") == 0)
        return play(argv[2], seconds, argc > 4 && strcmp(argv[4], "silent") == 0);
    usage();
}
