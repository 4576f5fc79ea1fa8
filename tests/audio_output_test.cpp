// Audio output: the drift correction's decisions, and real MP2 frames (written by
// ffmpeg's mp2 muxer) decoded through the queue, the converter and the device callback,
// once through SDL's dummy audio driver.
#include <gtest/gtest.h>

#include <math.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <SDL.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

#include "engine/audio_output.h"
#include "engine/clock.h"
#include "engine/packet_queue.h"
#include "engine/playback.h"
#include "tests/support/capture.h"
#include "tests/support/deadline.h"

namespace {

using Frames = std::vector<std::vector<uint8_t>>;

const int32_t stereo_frame_bytes = 1152 * 4;  // one MPEG audio frame in the staging format

// A playback record with the audio fields as on_pmt leaves them.
struct Playback {
    PlaybackState *s;
    Playback() : s(new (av_mallocz(sizeof(PlaybackState))) PlaybackState())
    {
        s->drift_coef = 0.0005;
        s->drift_threshold = 2048.0 / 48000;
    }
    ~Playback()
    {
        audio_release(s);
        packet_queue_release(&s->audio_queue);
        avcodec_free_context(&s->audio_codec);
        av_free(s->audio_pkt_data);
        s->~PlaybackState();
        av_free(s);
    }
    void open_decoder()
    {
        const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
        s->audio_codec = avcodec_alloc_context3(codec);
        ASSERT_EQ(avcodec_open2(s->audio_codec, codec, nullptr), 0);
        packet_queue_init(&s->audio_queue);
        s->sync_mode = sync_audio;  // no correction unless a test asks for it
    }
    // Queues a payload as on_pes_packet does: its own buffer, zero padding behind it.
    void queue(const std::vector<uint8_t> &payload, int64_t pts)
    {
        uint8_t *data = (uint8_t *)av_mallocz(payload.size() + AV_INPUT_BUFFER_PADDING_SIZE);
        memcpy(data, payload.data(), payload.size());
        AVPacket packet;
        memset(&packet, 0, sizeof packet);
        packet.data = data;
        packet.size = (int)payload.size();
        packet.pts = pts;
        packet.dts = AV_NOPTS_VALUE;
        ASSERT_EQ(packet_queue_put(&s->audio_queue, &packet), 0);
    }
};

// Sets quit if a test stops making progress, so a hang fails instead of timing out.
class Watchdog {
  public:
    explicit Watchdog(PlaybackState *s, int seconds = test_deadline_ms / 1000)
        : thread_([this, s, seconds] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cond_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; }))
                  s->quit = 1;
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cond_.notify_one();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool done_ = false;
    std::thread thread_;
};

// The MP2 frames of a fixture, one per element, as libavformat's parser splits them.
Frames mp2_frames(const char *name)
{
    Frames frames;
    std::string path = std::string(ZANDORO_FIXTURE_DIR) + "/" + name;
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) != 0)
        return frames;
    AVPacket *packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
        frames.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return frames;
}

std::vector<uint8_t> joined(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<int16_t> as_samples(const uint8_t *bytes, int32_t size)
{
    std::vector<int16_t> samples((size_t)size / 2);
    memcpy(samples.data(), bytes, samples.size() * 2);
    return samples;
}

// Frequency of the left channel of interleaved stereo from its rising zero crossings,
// skipping the decoder's start-up.
double left_frequency(const std::vector<int16_t> &stereo)
{
    size_t frames = stereo.size() / 2;
    size_t start = 4800;
    int rising = 0;
    size_t first = 0, last = 0;
    for (size_t i = start + 1; i < frames; i++) {
        if (stereo[2 * (i - 1)] < 0 && stereo[2 * i] >= 0) {
            if (!rising)
                first = i;
            last = i;
            rising++;
        }
    }
    if (rising < 2)
        return 0;
    return (rising - 1) * 48000.0 / (double)(last - first);
}

double rms(const std::vector<int16_t> &samples)
{
    double sum = 0;
    for (int16_t v : samples)
        sum += (double)v * v;
    return samples.empty() ? 0 : sqrt(sum / samples.size());
}

// ---- Drift correction -------------------------------------------------------------------

// Puts the first sample of a chunk of `size` bytes `diff` seconds ahead of a PCR master
// clock at 1000 s: audio_clock is the chunk's end, as audio_decode_next leaves it, and
// the device holds `device` seconds before it.
void set_drift(PlaybackState *s, double diff, int32_t size = stereo_frame_bytes, double device = 0.0)
{
    s->sync_mode = sync_pcr;
    s->pcr_base = 1000.4 * 90000;
    s->pcr_time = av_gettime();
    s->audio_device_delay = device;
    s->audio_clock = 1000.0 + diff + device + (double)size / audio_out_bytes_per_second;
    s->audio_buf_len = 0;
    s->audio_buf_pos = 0;
}

// The master clock runs on between set-up and the call, shrinking the planned difference by
// that time. An attempt (set-up and call) is timed: its result may fall short of the plan by
// the frames of that time, and one slower than a band's narrowest margin is made again.
struct TimedAdjust {
    int32_t result;
    int32_t tolerance;  // bytes
    double seconds;
};

template <typename Attempt>
TimedAdjust timed_adjust(Attempt attempt)
{
    const double slack = 0.01;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(test_deadline_ms);
    for (;;) {
        int64_t start = av_gettime();
        int32_t result = attempt();
        double seconds = (double)(av_gettime() - start) / 1000000.0;
        if (seconds < slack || std::chrono::steady_clock::now() > give_up)
            return {result, 4 * ((int32_t)ceil(seconds * 48000) + 2), seconds};
    }
}

TEST(AudioSyncAdjust, FirstTwentyChunksPlayUnchangedThenSoundBehindIsCut)
{
    Playback p;
    static uint8_t buffer[audio_buf_size];
    for (int chunk = 1; chunk <= 20; chunk++) {
        set_drift(p.s, -9.5);
        EXPECT_EQ(audio_sync_adjust(p.s, buffer, stereo_frame_bytes), stereo_frame_bytes) << chunk;
    }
    EXPECT_EQ(p.s->drift_count, 20);
    for (int chunk = 21; chunk <= 23; chunk++) {
        set_drift(p.s, -9.5);
        EXPECT_EQ(audio_sync_adjust(p.s, buffer, stereo_frame_bytes), 0) << "chunk " << chunk;
    }
    EXPECT_EQ(p.s->drift_count, 20);
}

TEST(AudioSyncAdjust, SoundTenSecondsAheadResetsOnEveryChunkAndPlaysUnchanged)
{
    Playback p;
    static uint8_t buffer[audio_buf_size];
    p.s->drift_count = 20;
    p.s->drift_sum = 3.0;
    capture_stdout_begin();
    for (int chunk = 0; chunk < 3; chunk++) {
        set_drift(p.s, 10.5);  // half a second clear of the edge the running clock moves toward
        EXPECT_EQ(audio_sync_adjust(p.s, buffer, stereo_frame_bytes), stereo_frame_bytes);
        EXPECT_EQ(p.s->drift_count, 0);
        EXPECT_EQ(p.s->drift_sum, 0.0);
    }
    EXPECT_EQ(capture_stdout_end(), "Resetting diff stuff\nResetting diff stuff\nResetting diff stuff\n");
}

// A jump back in the stream's time, the 33-bit wrap, or a clock not anchored on the stream
// leaves the sound far behind: it plays on, and the filter starts afresh, logged once.
TEST(AudioSyncAdjust, SoundTenSecondsBehindResetsAndPlaysUnchanged)
{
    const double behind[] = {-10.01, -60.0, -(double)(1LL << 33) / 90000, -1.7e9};
    static uint8_t buffer[audio_buf_size];
    for (double diff : behind) {
        SCOPED_TRACE(diff);
        Playback p;
        p.s->drift_count = 20;
        p.s->drift_sum = -3.0;
        capture_stdout_begin();
        for (int chunk = 0; chunk < 3; chunk++) {
            set_drift(p.s, diff);
            EXPECT_EQ(audio_sync_adjust(p.s, buffer, stereo_frame_bytes), stereo_frame_bytes);
            EXPECT_EQ(p.s->drift_count, 0);
            EXPECT_EQ(p.s->drift_sum, 0.0);
        }
        EXPECT_EQ(capture_stdout_end(), "Resetting diff stuff\n");
        // Back near the clock, the filter gathers its twenty differences again.
        set_drift(p.s, -1.0);
        EXPECT_EQ(audio_sync_adjust(p.s, buffer, stereo_frame_bytes), stereo_frame_bytes);
        EXPECT_EQ(p.s->drift_count, 1);
    }
}

TEST(AudioSyncAdjust, CorrectionAfterWarmUp)
{
    const int32_t big = 40000;
    struct Case {
        const char *what;
        int32_t mode;
        double diff;  // the chunk's first sample minus the master clock, seconds
        int32_t size;
        int32_t expected;
    } cases[] = {
        {"small drift ahead stays", sync_pcr, 0.02, stereo_frame_bytes, stereo_frame_bytes},
        {"small drift behind stays", sync_pcr, -0.02, stereo_frame_bytes, stereo_frame_bytes},
        {"ahead lengthens", sync_pcr, 0.05, big, big + 2400 * 4},
        {"behind shortens", sync_pcr, -0.05, big, big - 2400 * 4},
        {"lengthening stops at twice", sync_pcr, 9.9, stereo_frame_bytes, 2 * stereo_frame_bytes},
        {"shortening stops at nothing", sync_pcr, -1.0, stereo_frame_bytes, 0},
        {"far behind plays on", sync_pcr, -11000.0, stereo_frame_bytes, stereo_frame_bytes},
        {"farther behind plays on", sync_pcr, -11200.0, stereo_frame_bytes, stereo_frame_bytes},
        {"unanchored clock plays on", sync_pcr, -1.7e9, stereo_frame_bytes, stereo_frame_bytes},
        {"sound is the master", sync_audio, 0.5, stereo_frame_bytes, stereo_frame_bytes},
    };
    static uint8_t buffer[audio_buf_size];
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Playback p;
        TimedAdjust t = timed_adjust([&] {
            p.s->drift_count = 20;
            p.s->drift_sum = 0.0;
            memset(buffer, 0xAA, sizeof buffer);
            set_drift(p.s, c.diff, c.size);
            p.s->sync_mode = (SyncMode)c.mode;
            return audio_sync_adjust(p.s, buffer, c.size);
        });
        int32_t result = t.result;
        EXPECT_NEAR(result, c.expected, t.tolerance) << "set-up and call took " << t.seconds << " s";
        EXPECT_EQ(result % 4, 0);
        for (int32_t i = 0; i < c.size; i++)
            ASSERT_EQ(buffer[i], 0xAA) << "the chunk itself is never touched";
        for (int32_t i = c.size; i < result; i++)
            ASSERT_EQ(buffer[i], 0) << "a lengthened chunk ends in silence";
        EXPECT_EQ(buffer[std::max(result, c.size)], 0xAA);
        if (c.mode == sync_audio) {
            EXPECT_EQ(p.s->drift_sum, 0.0) << "no filtering in sync_audio mode";
        }
    }
}

// The check runs when the chunk has just been decoded: audio_clock is then the time of its
// end, and the device still holds its buffers before it. What is compared with the master
// clock is the time at which the chunk's first sample is heard.
TEST(AudioSyncAdjust, ChunkIsDatedByItsFirstSampleLessWhatTheDeviceHolds)
{
    const int32_t big = 40000;                          // 0.2083 s
    const double device = 2 * 1024 / 48000.0;           // two device buffers of 1024 frames
    const double big_seconds = big / 192000.0;
    struct Case {
        const char *what;
        double end;     // audio_clock minus the master clock, seconds
        double device;  // audio_device_delay
        int32_t size;
        int32_t expected;
    } cases[] = {
        {"chunk end out of band, its start inside", 0.06, 0, stereo_frame_bytes, stereo_frame_bytes},
        {"lengthened by its start's lead", 0.30, 0, big, big + (int32_t)trunc((0.30 - big_seconds) * 48000) * 4},
        {"the device's buffers count too", 0.30, device, big,
         big + (int32_t)trunc((0.30 - big_seconds - device) * 48000) * 4},
        {"in band once the device counts", 0.09, device, stereo_frame_bytes, stereo_frame_bytes},
        {"behind by the device's buffers", big_seconds - 0.01, device, big,
         big - (int32_t)trunc((0.01 + device) * 48000) * 4},
    };
    static uint8_t buffer[audio_buf_size];
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Playback p;
        TimedAdjust t = timed_adjust([&] {
            p.s->drift_count = 20;
            p.s->drift_sum = 0.0;
            set_drift(p.s, 0.0);
            p.s->audio_device_delay = c.device;
            p.s->audio_clock = 1000.0 + c.end;
            return audio_sync_adjust(p.s, buffer, c.size);
        });
        EXPECT_NEAR(t.result, c.expected, t.tolerance) << "set-up and call took " << t.seconds << " s";
    }
}

TEST(AudioDeviceDelay, TwoBuffersOfTheGrantedSpec)
{
    struct Case {
        int freq;
        Uint16 format;
        Uint8 channels;
        Uint16 samples;
        double expected;
    } cases[] = {
        {48000, AUDIO_S16LSB, 2, 512, 2 * 512 / 48000.0},  // SDL's pulse backend, 1024 asked
        {48000, AUDIO_S16LSB, 2, 1024, 2 * 1024 / 48000.0},
        {44100, AUDIO_U8, 1, 2048, 2 * 2048 / 44100.0},
        {0, AUDIO_S16LSB, 2, 1024, 0.0},
        {48000, AUDIO_S16LSB, 0, 1024, 0.0},
    };
    for (const Case &c : cases) {
        SDL_AudioSpec granted;
        memset(&granted, 0, sizeof granted);
        granted.freq = c.freq;
        granted.format = c.format;
        granted.channels = c.channels;
        granted.samples = c.samples;
        EXPECT_DOUBLE_EQ(audio_device_delay_of(&granted), c.expected) << c.freq << " Hz, " << c.samples;
    }
}

// ---- Decoding ---------------------------------------------------------------------------

struct Format {
    const char *file;
    int channels;
    int rate;
    double frequency;
};

class Conversion : public testing::TestWithParam<Format> {};

// Every stream comes out as 48 kHz stereo: the same length in time, the same pitch, and
// a mono stream at full level on both sides.
TEST_P(Conversion, DecodesToStereoAt48kHz)
{
    const Format &f = GetParam();
    Frames frames = mp2_frames(f.file);
    ASSERT_GT(frames.size(), 10u);
    Playback p;
    p.open_decoder();
    for (size_t i = 0; i < frames.size(); i++)
        p.queue(frames[i], (int64_t)(i * 1152 * 90000 / f.rate));
    Watchdog watchdog(p.s);

    std::vector<int16_t> out;
    static uint8_t buffer[audio_chunk_max_bytes];
    for (size_t i = 0; i < frames.size(); i++) {
        int32_t size = audio_decode_next(p.s, buffer);
        ASSERT_GT(size, 0) << "frame " << i;
        ASSERT_EQ(size % 4, 0);
        std::vector<int16_t> chunk = as_samples(buffer, size);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    double seconds_in = frames.size() * 1152.0 / f.rate;
    double seconds_out = out.size() / 2 / 48000.0;
    EXPECT_NEAR(seconds_out, seconds_in, 0.005);
    EXPECT_NEAR(p.s->audio_clock, seconds_in, 0.005) << "last packet's PTS plus its frame";
    EXPECT_NEAR(left_frequency(out), f.frequency, f.frequency * 0.02);
    EXPECT_GT(rms(out), 1000.0);
    if (f.channels == 1) {
        for (size_t i = 0; i + 1 < out.size(); i += 2)
            ASSERT_EQ(out[i], out[i + 1]) << "frame " << i / 2;
    }
}

INSTANTIATE_TEST_SUITE_P(Mp2, Conversion,
                         testing::Values(Format{"tone_1000_stereo_48k.mp2", 2, 48000, 1000.0},
                                         Format{"tone_440_mono_48k.mp2", 1, 48000, 440.0},
                                         Format{"tone_500_mono_44k.mp2", 1, 44100, 500.0},
                                         Format{"tone_300_stereo_24k.mp2", 2, 24000, 300.0}));

TEST(AudioDecode, MonoPlaysEachSampleOnBothSidesAtFullLevel)
{
    // Against the decoder's own output: the duplicate is the sample, not a -3 dB mix.
    Frames frames = mp2_frames("tone_440_mono_48k.mp2");
    ASSERT_GT(frames.size(), 10u);
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
    AVCodecContext *reference = avcodec_alloc_context3(codec);
    ASSERT_EQ(avcodec_open2(reference, codec, nullptr), 0);

    Playback p;
    p.open_decoder();
    Watchdog watchdog(p.s);
    static uint8_t buffer[audio_chunk_max_bytes];
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    for (size_t i = 0; i < 5; i++) {
        p.queue(frames[i], AV_NOPTS_VALUE);
        int32_t size = audio_decode_next(p.s, buffer);
        ASSERT_EQ(size, stereo_frame_bytes);

        ASSERT_EQ(av_new_packet(packet, (int)frames[i].size()), 0);
        memcpy(packet->data, frames[i].data(), frames[i].size());
        ASSERT_EQ(avcodec_send_packet(reference, packet), 0);
        av_packet_unref(packet);
        ASSERT_EQ(avcodec_receive_frame(reference, frame), 0);
        ASSERT_EQ(frame->ch_layout.nb_channels, 1);
        ASSERT_EQ(frame->nb_samples, 1152);
        std::vector<int16_t> out = as_samples(buffer, size);
        for (int j = 0; j < 1152; j++) {
            double v = frame->format == AV_SAMPLE_FMT_S16P || frame->format == AV_SAMPLE_FMT_S16
                           ? ((const int16_t *)frame->data[0])[j]
                           : ((const float *)frame->data[0])[j] * 32768.0;
            ASSERT_NEAR(out[2 * j], v, 1.0) << "frame " << i << " sample " << j;
            ASSERT_EQ(out[2 * j + 1], out[2 * j]);
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&reference);
}

TEST(AudioDecode, OneFramePerCallFromAPacketOfSeveralAndTheClockRunsOnWithoutPts)
{
    Frames frames = mp2_frames("tone_1000_stereo_48k.mp2");
    ASSERT_GT(frames.size(), 10u);
    Playback p;
    p.open_decoder();
    p.queue(joined({frames[0], frames[1], frames[2]}), 90000 * 5);  // 5 s
    p.queue(joined({frames[3], frames[4]}), AV_NOPTS_VALUE);
    Watchdog watchdog(p.s);

    static uint8_t buffer[audio_chunk_max_bytes];
    const double frame_seconds = 1152 / 48000.0;
    for (int i = 1; i <= 5; i++) {
        EXPECT_EQ(audio_decode_next(p.s, buffer), stereo_frame_bytes) << "frame " << i;
        EXPECT_NEAR(p.s->audio_clock, 5.0 + i * frame_seconds, 1e-9) << "frame " << i;
        EXPECT_EQ(p.s->audio_queue.count, i <= 3 ? 1 : 0) << "frame " << i;
    }
    p.s->quit = 1;
    EXPECT_EQ(audio_decode_next(p.s, buffer), -1);
    EXPECT_EQ(p.s->audio_pkt_data, nullptr) << "the used-up packet was released";
}

TEST(AudioDecode, DecodeErrorDropsOnlyTheRestOfThatPacket)
{
    Frames frames = mp2_frames("tone_1000_stereo_48k.mp2");
    ASSERT_GT(frames.size(), 10u);
    std::vector<uint8_t> garbage(300, 0x55);  // no frame sync anywhere
    int level = av_log_get_level();
    av_log_set_level(AV_LOG_QUIET);

    Playback p;
    p.open_decoder();
    const double frame_seconds = 1152 / 48000.0;
    p.queue(joined({frames[0], garbage, frames[1], frames[2]}), 90000 * 1);
    p.queue(joined({garbage, frames[3]}), 90000 * 2);  // fails at once: nothing of it plays
    p.queue(joined({frames[4], frames[5]}), 90000 * 3);
    Watchdog watchdog(p.s);

    static uint8_t buffer[audio_chunk_max_bytes];
    struct Step {
        double clock;
        int queued;
    } steps[] = {
        {1.0 + frame_seconds, 2},
        {3.0 + frame_seconds, 0},  // frames 1, 2 and the whole second packet are gone
        {3.0 + 2 * frame_seconds, 0},
    };
    for (const Step &step : steps) {
        EXPECT_EQ(audio_decode_next(p.s, buffer), stereo_frame_bytes);
        EXPECT_NEAR(p.s->audio_clock, step.clock, 1e-9);
        EXPECT_EQ(p.s->audio_queue.count, step.queued);
    }
    std::vector<int16_t> last = as_samples(buffer, stereo_frame_bytes);
    EXPECT_GT(rms(last), 1000.0) << "decoding goes on after the error";
    av_log_set_level(level);
}

TEST(AudioConvert, ChunkIsCappedAtHalfTheStagingBuffer)
{
    // No MPEG audio frame comes near the cap; a long PCM frame shows where it lies.
    Playback p;
    for (int round = 0; round < 2; round++) {
        AVFrame *frame = av_frame_alloc();
        frame->format = AV_SAMPLE_FMT_S16;
        frame->sample_rate = 48000;
        av_channel_layout_default(&frame->ch_layout, 1);
        frame->nb_samples = 50000;
        ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
        int16_t *samples = (int16_t *)frame->data[0];
        for (int i = 0; i < frame->nb_samples; i++)
            samples[i] = (int16_t)((i + round * 777) % 20011 - 10000);  // no repeat within a frame

        static uint8_t out[audio_buf_size];
        memset(out, 0xAA, sizeof out);
        int32_t size = audio_convert_frame(p.s, frame, out);
        EXPECT_EQ(size, audio_chunk_max_bytes) << "round " << round;
        EXPECT_EQ(out[audio_chunk_max_bytes], 0xAA) << "nothing written past the cap";
        std::vector<int16_t> stereo = as_samples(out, size);
        for (int i = 0; i < audio_chunk_max_frames; i++) {
            ASSERT_EQ(stereo[2 * i], samples[i]) << "round " << round << " frame " << i;
            ASSERT_EQ(stereo[2 * i + 1], samples[i]);
        }
        av_frame_free(&frame);
    }
}

// ---- Device callback --------------------------------------------------------------------

TEST(AudioCallback, DeliversTheDecodedToneInDeviceBuffers)
{
    Frames frames = mp2_frames("tone_1000_stereo_48k.mp2");
    ASSERT_GT(frames.size(), 10u);
    Playback p;
    p.open_decoder();
    for (size_t i = 0; i < frames.size(); i++)
        p.queue(frames[i], (int64_t)(i * 1152 * 90000 / 48000));
    Watchdog watchdog(p.s);

    const int device_bytes = 4096;
    size_t callbacks = frames.size() * stereo_frame_bytes / device_bytes;
    std::vector<int16_t> out;
    uint8_t device[device_bytes];
    for (size_t i = 0; i < callbacks; i++) {
        memset(device, 0xAA, sizeof device);
        os_audio_callback(p.s, device, device_bytes);
        std::vector<int16_t> chunk = as_samples(device, device_bytes);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    ASSERT_EQ(p.s->quit, 0) << "the callback never waited for packets that were queued";
    EXPECT_NEAR(left_frequency(out), 1000.0, 20.0);
    EXPECT_GT(rms(out), 1000.0);
}

TEST(AudioCallback, QuittingRefillsWith1024BytesOfSilence)
{
    Frames frames = mp2_frames("tone_1000_stereo_48k.mp2");
    ASSERT_GT(frames.size(), 10u);
    Playback p;
    p.open_decoder();
    p.queue(frames[0], 0);
    p.queue(frames[1], AV_NOPTS_VALUE);
    p.s->quit = 1;
    // Also through the queue's own test of the running playback.
    current_playback = p.s;

    uint8_t device[4096 + 1];
    memset(device, 0xAA, sizeof device);
    os_audio_callback(p.s, device, 4096);
    for (int i = 0; i < 4096; i++)
        ASSERT_EQ(device[i], 0) << i;
    EXPECT_EQ(device[4096], 0xAA);
    EXPECT_EQ(p.s->audio_buf_len, 1024);
    EXPECT_EQ(p.s->audio_buf_pos, 1024);
    EXPECT_EQ(p.s->audio_queue.count, 2) << "a quitting playback leaves its packets queued";
    current_playback = nullptr;
}

long thread_cpu_micros(pthread_t thread)
{
    clockid_t clock;
    struct timespec t;
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0)
        return -1;
    return t.tv_sec * 1000000L + t.tv_nsec / 1000;
}

TEST(AudioCallback, WaitsForAnEmptyQueueWithoutSpinningAndEndsOnAPacketOrQuit)
{
    Frames frames = mp2_frames("tone_1000_stereo_48k.mp2");
    ASSERT_GT(frames.size(), 10u);
    Playback p;
    p.open_decoder();
    Watchdog watchdog(p.s);
    uint8_t device[4096];

    // A packet arrives: the whole device buffer is sound.
    std::thread callback([&] { os_audio_callback(p.s, device, sizeof device); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long cpu = thread_cpu_micros(callback.native_handle());
    p.queue(frames[10], 0);
    auto queued = std::chrono::steady_clock::now();
    callback.join();
    auto waited = std::chrono::steady_clock::now() - queued;
    EXPECT_GE(cpu, 0);
    EXPECT_LT(cpu, 100000) << "microseconds of processor time while waiting 300 ms";
    EXPECT_LT(waited, std::chrono::milliseconds(500));
    EXPECT_GT(rms(as_samples(device, sizeof device)), 1000.0);
    ASSERT_EQ(p.s->quit, 0);

    // Quit while waiting: the rest of the buffer is silence and the callback returns.
    std::thread quitting([&] {
        os_audio_callback(p.s, device, sizeof device);  // the frame's last 512 bytes first
        os_audio_callback(p.s, device, sizeof device);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    p.s->quit = 1;
    auto quit_at = std::chrono::steady_clock::now();
    quitting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - quit_at, std::chrono::milliseconds(500));
    for (uint8_t b : device)
        ASSERT_EQ(b, 0);
}

// ---- The device ------------------------------------------------------------------------

TEST(AudioDevice, PlaysTheQueueThroughSdlDummyDriver)
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    Frames frames = mp2_frames("tone_1000_stereo_48k.mp2");
    ASSERT_GT(frames.size(), 10u);
    Playback p;
    p.open_decoder();
    for (size_t i = 0; i < frames.size(); i++)
        p.queue(frames[i], (int64_t)(i * 1152 * 90000 / 48000));
    double end = frames.size() * 1152 / 48000.0;

    capture_stdout_begin();
    os_audio_setup(2, 48000, p.s);
    SDL_PauseAudio(0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test_deadline_ms);
    while (p.s->audio_clock < end - 1e-6 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    double reached = p.s->audio_clock;
    p.s->quit = 1;
    os_audio_close();
    std::string log = capture_stdout_end();

    EXPECT_NEAR(reached, end, 1e-6) << "every queued frame was decoded by the device thread";
    EXPECT_DOUBLE_EQ(p.s->audio_device_delay, 2 * 1024 / 48000.0) << "two buffers as the dummy driver grants them";
    EXPECT_EQ(p.s->audio_queue.count, 0);
    char expected[128];
    snprintf(expected, sizeof expected, "os_audio_setup(2, 48000, %p)\nos_audio_close()\nos_audio_close() done\n",
             (void *)p.s);
    EXPECT_EQ(log, expected);
}

// No sound server or card: SDL's reason on standard error and a refusal to the caller.
// The playback's teardown closes the device as ever, and the next playback's call looks
// for a driver afresh.
TEST(AudioDevice, ARefusedDeviceIsReportedAndTriedAgainNextTime)
{
    Playback p;
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    capture_stderr_begin();
    bool opened = os_audio_setup(2, 48000, p.s);
    std::string err = capture_stderr_end();
    EXPECT_FALSE(opened);
    EXPECT_EQ(err.rfind("SDL_OpenAudioDevice: ", 0), 0u) << err;
    os_audio_close();

    setenv("SDL_AUDIODRIVER", "dummy", 1);
    capture_stderr_begin();
    opened = os_audio_setup(2, 48000, p.s);
    err = capture_stderr_end();
    EXPECT_TRUE(opened);
    EXPECT_EQ(err, "");
    p.s->quit = 1;
    os_audio_close();
}

}  // namespace
