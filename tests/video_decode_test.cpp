// Video decoding into the picture ring and display pacing: the pacing rules as tables,
// the ring's hand-over between the two threads, and real H.264 decoded by video_thread
// (B-frame reordering with buffer tags; 4:2:2 and 4:4:4 pictures converted to 4:2:0).
#include <gtest/gtest.h>

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/time.h>
}

#include "engine/media_control.h"
#include "engine/picture_scale.h"
#include "engine/stream_select.h"
#include "engine/video_decode.h"
#include "shell/config.h"
#include "tests/support/capture.h"
#include "tests/support/deadline.h"
#include "tests/support/playback_harness.h"

namespace {

TEST(DisplayPacing, FrameDelayReusesThePreviousOneOutsideZeroToOneSecond)
{
    struct Case {
        double pts, last_pts, last_delay, want;
    } cases[] = {
        {1.04, 1.00, 0.05, 0.04},   // an ordinary step
        {1.999, 1.00, 0.05, 0.999},  // just under a second still counts
        {1.00, 1.00, 0.05, 0.05},   // repeat
        {0.96, 1.00, 0.05, 0.05},   // backwards
        {2.00, 1.00, 0.05, 0.05},   // exactly 1.0 s
        {1.40, 0.00, 0.04, 0.04},   // first picture of a playback
    };
    for (const Case &c : cases)
        EXPECT_NEAR(display_frame_delay(c.pts, c.last_pts, c.last_delay), c.want, 1e-12)
            << c.pts << " after " << c.last_pts;
}

TEST(DisplayPacing, CorrectionAgainstTheMasterClock)
{
    struct Case {
        double delay, diff, want;
    } cases[] = {
        // delay 0.005: the threshold is 0.01
        {0.005, -0.01, 0.0},
        {0.005, 0.01, 0.01},
        {0.005, 0.0099, 0.005},
        {0.005, -0.0099, 0.005},
        // delay 0.04: the threshold is the delay itself
        {0.04, -0.04, 0.0},
        {0.04, 0.04, 0.08},
        {0.04, 0.039, 0.04},
        {0.04, -0.039, 0.04},
        // only within 10 s of the master clock
        {0.04, -9.99, 0.0},
        {0.04, -10.0, 0.04},
        {0.04, -12.0, 0.04},
        {0.04, 9.99, 0.08},
        {0.04, 10.0, 0.04},
    };
    for (const Case &c : cases)
        EXPECT_DOUBLE_EQ(display_correct_delay(c.delay, c.diff), c.want) << "delay " << c.delay << " diff " << c.diff;
}

TEST(DisplayPacing, SleepRoundsToTheMillisecondWithATenMillisecondFloor)
{
    struct Case {
        double actual;
        int want;
    } cases[] = {{0.0404, 40}, {0.0406, 41}, {-0.5, 10}, {0.0, 10}, {0.0099, 10}, {0.0105, 11}, {1.2344, 1234}};
    for (const Case &c : cases)
        EXPECT_EQ(display_sleep_ms(c.actual), c.want) << c.actual;
}

TEST(DisplayPacing, SyncVideoSkipsTheCorrectionAndTheStoredDelayIsUncorrected)
{
    PlaybackState *state = harness_playback_create();
    double pts = 5.0;
    // Both the PCR clock and the shown-picture clock read 0.5 s before the picture, so a
    // corrected delay would double.
    int64_t now = av_gettime();
    state->pcr_base = (pts - 0.5 + 0.4) * 90000.0;
    state->pcr_time = now;
    state->shown_pts = pts - 0.5;
    state->shown_time = now;

    state->last_frame_pts = pts - 0.04;
    state->last_frame_delay = 0.04;
    state->sync_mode = sync_pcr;
    EXPECT_NEAR(display_picture_delay(state, pts), 0.08, 1e-9);
    EXPECT_NEAR(state->last_frame_delay, 0.04, 1e-9);
    EXPECT_DOUBLE_EQ(state->last_frame_pts, pts);

    state->last_frame_pts = pts - 0.04;
    state->sync_mode = sync_video;
    EXPECT_NEAR(display_picture_delay(state, pts), 0.04, 1e-9);
    harness_playback_free(state);
}

TEST(VideoClock, TimestampChoiceAndPrediction)
{
    const int64_t none = AV_NOPTS_VALUE;
    const AVRational tb = {1, 50};  // what the decoders report for 25 pictures a second
    struct Case {
        int64_t dts, tag;
        int repeat_pict;
        double clock_before, want_pts, want_clock;
    } cases[] = {
        {90000, 45000, 0, 7.0, 1.0, 1.02},  // DTS wins over the tag
        {none, 45000, 0, 7.0, 0.5, 0.52},   // tag when no DTS
        {none, none, 0, 3.0, 3.0, 3.02},    // neither: the predicted clock, which still advances
        {none, none, 1, 3.0, 3.0, 3.03},    // repeat_pict 1: 1.5 x frame_delay
        {none, none, 2, 3.0, 3.0, 3.04},
        {0, 45000, 0, 3.0, 3.0, 3.02},      // a stamp of 0 counts as none at all
        {(int64_t)8589934591LL, none, 0, 0.0, 8589934591.0 / 90000.0, 8589934591.0 / 90000.0 + 0.02},
    };
    for (const Case &c : cases) {
        PlaybackState state{};
        state.video_clock = c.clock_before;
        EXPECT_DOUBLE_EQ(video_picture_time(&state, c.dts, c.tag, c.repeat_pict, tb), c.want_pts) << c.dts;
        EXPECT_NEAR(state.video_clock, c.want_clock, 1e-9) << c.dts;
    }
}

AVFrame *make_picture(int w, int h, uint8_t luma)
{
    AVFrame *f = av_frame_alloc();
    f->width = w;
    f->height = h;
    f->format = AV_PIX_FMT_YUV420P;
    av_frame_get_buffer(f, 0);
    for (int y = 0; y < h; y++)
        memset(f->data[0] + y * f->linesize[0], luma, (size_t)w);
    for (int p = 1; p < 3; p++)
        for (int y = 0; y < (h + 1) / 2; y++)
            memset(f->data[p] + y * f->linesize[p], 0x80, (size_t)(w + 1) / 2);
    return f;
}

// Gives the slot at picture_read back, as display_thread does after showing it.
void release_one(PlaybackState *state)
{
    state->picture_read = (state->picture_read + 1) % picture_ring_size;
    pthread_mutex_lock(state->picture_lock);
    state->picture_count--;
    pthread_cond_signal(state->picture_cond);
    pthread_mutex_unlock(state->picture_lock);
}

TEST(PictureRing, CopiesIntoTheSlotAndRemakesItWhenTheSizeChanges)
{
    PlaybackState *state = harness_playback_create();
    AVFrame *big = make_picture(64, 48, 200);
    AVFrame *small = make_picture(33, 17, 50);  // odd sizes: chroma planes round up

    for (int i = 0; i < picture_ring_size; i++)
        ASSERT_EQ(picture_queue_put(state, big, 0.04 * i), 0);
    EXPECT_EQ(state->picture_count, picture_ring_size);
    EXPECT_EQ(state->picture_write, 0);
    EXPECT_EQ(state->pictures[9].width, 64);
    EXPECT_DOUBLE_EQ(state->pictures[9].pts, 0.36);
    EXPECT_EQ(state->pictures[9].frame->data[0][64 * 48 - 1], 200);

    release_one(state);
    ASSERT_EQ(picture_queue_put(state, small, 9.0), 0);
    const PictureSlot &slot = state->pictures[0];
    EXPECT_EQ(slot.width, 33);
    EXPECT_EQ(slot.height, 17);
    EXPECT_EQ(slot.frame->width, 33);
    EXPECT_EQ(slot.frame->data[0][33 * 17 - 1], 50);
    EXPECT_EQ(slot.frame->data[2][17 * 9 - 1], 0x80);
    EXPECT_DOUBLE_EQ(slot.pts, 9.0);

    // A picture no slot picture can be made for is dropped without being published.
    AVFrame *empty = av_frame_alloc();
    state->picture_count = 0;
    EXPECT_EQ(picture_queue_put(state, empty, 1.0), 0);
    EXPECT_EQ(state->picture_count, 0);
    EXPECT_EQ(state->picture_write, 1);

    av_frame_free(&empty);
    av_frame_free(&big);
    av_frame_free(&small);
    harness_playback_free(state);
}

TEST(PictureRing, AFullRingBlocksUntilASlotIsFreedOrThePlaybackQuits)
{
    PlaybackState *state = harness_playback_create();
    AVFrame *picture = make_picture(16, 16, 1);
    for (int i = 0; i < picture_ring_size; i++)
        ASSERT_EQ(picture_queue_put(state, picture, i), 0);

    std::atomic<int> result{99};
    std::thread producer([&] { result = picture_queue_put(state, picture, 10); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result, 99) << "returned while all 10 slots were full";
    release_one(state);
    producer.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(state->picture_count, picture_ring_size);

    std::thread waiter([&] { result = picture_queue_put(state, picture, 11); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    state->quit = 1;
    pthread_mutex_lock(state->picture_lock);
    pthread_cond_broadcast(state->picture_cond);
    pthread_mutex_unlock(state->picture_lock);
    waiter.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(state->picture_count, picture_ring_size);

    av_frame_free(&picture);
    harness_playback_free(state);
}

AVCodecContext *open_tagged_h264()
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *context = avcodec_alloc_context3(codec);
    context->get_buffer2 = decoder_get_buffer_tagged;
    context->thread_count = 1;
    context->thread_type = FF_THREAD_SLICE;
    EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
    return context;
}

TEST(BufferTag, EachPictureCarriesThePtsOfThePacketThatBeganIt)
{
    std::vector<AVPacket> packets = harness_read_video_packets(harness_fixture("h264_bframes.ts"));
    ASSERT_GT(packets.size(), 40u);
    bool reordered = false;
    for (size_t i = 1; i < packets.size(); i++)
        reordered |= packets[i].pts < packets[i - 1].pts;
    ASSERT_TRUE(reordered) << "the fixture has no B-frames";

    AVCodecContext *context = open_tagged_h264();
    AVFrame *frame = av_frame_alloc();
    std::vector<int64_t> tags;
    for (AVPacket &p : packets) {
        decoding_pts = p.pts;
        ASSERT_EQ(avcodec_send_packet(context, &p), 0);
        while (avcodec_receive_frame(context, frame) == 0) {
            ASSERT_TRUE(frame->opaque_ref);
            int64_t tag;
            memcpy(&tag, frame->opaque_ref->data, sizeof tag);
            EXPECT_EQ(frame->opaque, (void *)frame->opaque_ref->data);
            EXPECT_EQ(tag, frame->pts) << "FFmpeg's own pts propagation disagrees";
            tags.push_back(tag);
            av_frame_unref(frame);
        }
    }
    // Display order: every tag one picture after the one before.
    ASSERT_GT(tags.size(), packets.size() - 5);
    for (size_t i = 1; i < tags.size(); i++)
        EXPECT_EQ(tags[i] - tags[i - 1], 3600) << i;
    av_frame_free(&frame);
    avcodec_free_context(&context);
    harness_free_packets(packets);
}

// smptebars' seven upper bars (Y, U, V), left to right.
const int bar_colours[7][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                               {84, 184, 198},  {65, 100, 212}, {35, 212, 114}};

// Checks the seven bars across a third of the way down a YUV 4:2:0 picture.
void expect_bars(const uint8_t *const data[], const int linesize[], int x0, int w, int h, const char *what)
{
    int y = h / 3;
    for (int i = 0; i < 7; i++) {
        int x = x0 + (int)((i + 0.5) * w / 7);
        int got[3] = {data[0][y * linesize[0] + x], data[1][(y / 2) * linesize[1] + x / 2],
                      data[2][(y / 2) * linesize[2] + x / 2]};
        for (int c = 0; c < 3; c++)
            EXPECT_NEAR(got[c], bar_colours[i][c], 12) << what << ": bar " << i << " plane " << c;
    }
}

struct Decoded {
    std::vector<double> pts;
    int width = 0, height = 0;
};

// count is the queue's own, under its mutex.
static bool queue_empty(PacketQueue *q)
{
    pthread_mutex_lock(q->mutex);
    bool empty = q->count == 0;
    pthread_mutex_unlock(q->mutex);
    return empty;
}

// Runs video_thread over `packets` and takes its pictures off the ring as display_thread
// would, checking the colours of the first one.
Decoded run_video_thread(std::vector<AVPacket> &packets, bool strip_dts, const char *what)
{
    PlaybackState *state = harness_playback_create();
    state->video_codec = open_tagged_h264();
    packet_queue_init(&state->video_queue);
    AVPacket flush;
    memset(&flush, 0, sizeof flush);
    packet_queue_put(&state->video_queue, &flush);
    for (AVPacket &p : packets) {
        if (strip_dts)
            p.dts = AV_NOPTS_VALUE;
        packet_queue_put(&state->video_queue, &p);
    }
    packets.clear();  // the queue's now
    // Taken only once every packet before it is decoded and its pictures are in the ring:
    // an empty queue then means the decoder has given all it will without more input.
    packet_queue_put(&state->video_queue, &flush);

    video_started = 0;
    capture_stdout_begin();
    state->video_thread_id = &state->video_thread;
    state->video_thread_joinable = pthread_create(&state->video_thread, nullptr, video_thread, state) == 0;

    Decoded out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test_deadline_ms);
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        if (state->picture_count == 0) {
            // In this order: the last pictures are in the ring before the queue empties.
            done = queue_empty(&state->video_queue) && state->picture_count == 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const PictureSlot &slot = state->pictures[state->picture_read];
        if (out.pts.empty()) {
            out.width = slot.width;
            out.height = slot.height;
            expect_bars(slot.frame->data, slot.frame->linesize, 0, slot.width, slot.height, what);
        }
        out.pts.push_back(slot.pts);
        release_one(state);
    }
    EXPECT_TRUE(done) << what << ": packets still queued after 60 s, " << out.pts.size() << " pictures taken";
    EXPECT_TRUE(video_started);
    harness_playback_free(state);
    std::string log = capture_stdout_end();
    EXPECT_NE(log.find("video_thread starting\n"), std::string::npos);
    EXPECT_NE(log.find("video_thread finishing\n"), std::string::npos);
    return out;
}

TEST(VideoThread, PicturesWithoutDtsAreTimedByTheirTagsInDisplayOrder)
{
    std::vector<AVPacket> packets = harness_read_video_packets(harness_fixture("h264_bframes.ts"));
    ASSERT_FALSE(packets.empty());
    std::vector<int64_t> sorted;
    for (const AVPacket &p : packets)
        sorted.push_back(p.pts);
    std::sort(sorted.begin(), sorted.end());
    size_t sent = packets.size();

    Decoded out = run_video_thread(packets, true, "h264 4:2:0");
    EXPECT_EQ(out.width, 320);
    EXPECT_EQ(out.height, 240);
    ASSERT_GT(out.pts.size(), sent - 5);
    for (size_t i = 0; i < out.pts.size(); i++)
        EXPECT_NEAR(out.pts[i], sorted[i] / 90000.0, 1e-9) << i;
}

TEST(VideoThread, PicturesInOtherChromaLayoutsAreConvertedTo420)
{
    for (const char *name : {"h264_yuv422p.ts", "h264_yuv444p.ts"}) {
        std::vector<AVPacket> packets = harness_read_video_packets(harness_fixture(name));
        ASSERT_FALSE(packets.empty()) << name;
        Decoded out = run_video_thread(packets, false, name);
        EXPECT_EQ(out.width, 320) << name;
        EXPECT_GE(out.pts.size(), 5u) << name;
    }
}

TEST(DisplayThread, ShowsEachPictureAfterItsTimeStepAndLeavesTheOutputBlack)
{
    PlaybackState *state = harness_playback_create();
    state->sync_mode = sync_video;  // paced by the pictures' own steps
    AVCodecContext *codec = avcodec_alloc_context3(nullptr);
    codec->width = 64;
    codec->height = 48;
    state->video_codec = codec;
    state->last_frame_delay = 0.04;
    const double start = av_gettime() / 1e6;
    state->frame_timer = start;
    memset(OutputPicture->data[0], 0x55, (size_t)PlayerConfig.video_w * PlayerConfig.video_h);
    MediaControl->new_picture = 0;

    const int count = 25;
    const uint32_t shown_before = pictures_shown;
    AVFrame *picture = make_picture(64, 48, 200);
    std::thread producer([&] {
        for (int i = 0; i < count; i++)
            picture_queue_put(state, picture, 1.0 + 0.04 * i);
    });
    capture_stdout_begin();
    state->display_thread_id = &state->display_thread;
    state->display_thread_joinable = pthread_create(&state->display_thread, nullptr, display_thread, state) == 0;

    // The render tick's part: notice a new picture and clear the flag. The flag folds
    // pictures together when the tick looks late, so the count is the display's own; the
    // times are when each picture was seen, never before it was shown.
    std::vector<std::pair<double, double>> seen;  // (pts, seconds after start)
    int first_luma = -1;
    double last_pts = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test_deadline_ms);
    while (pictures_shown - shown_before < (uint32_t)count && std::chrono::steady_clock::now() < deadline) {
        if (MediaControl->new_picture.exchange(0) && first_luma < 0)
            first_luma = OutputPicture->data[0][PlayerConfig.video_h / 2 * OutputPicture->linesize[0] +
                                                PlayerConfig.video_w / 2];
        double pts = state->shown_pts;
        if (pts != last_pts) {
            seen.emplace_back(pts, av_gettime() / 1e6 - start);
            last_pts = pts;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    int shown = (int)(pictures_shown - shown_before);
    producer.join();
    harness_playback_stop(state);
    std::string log = capture_stdout_end();

    EXPECT_EQ(first_luma, 200) << "the picture reached the output";
    ASSERT_EQ(shown, count) << "pictures shown in 30 s";
    // Each picture waits for the steps of those before it (1 ms for the rounding of the
    // sleep to whole milliseconds); it may come later on a busy machine, but the display
    // planned nothing else than one step a picture.
    for (const auto &[pts, at] : seen)
        EXPECT_GE(at, pts - 1.0 - 0.001) << "picture at " << pts << " shown early";
    EXPECT_NEAR(state->frame_timer - start, count * 0.04, 1e-6) << "the display's schedule";
    if (seen.size() > 1)
        printf("%d pictures shown over %.3f s (%zu seen apart)\n", count, seen.back().second - seen.front().second,
               seen.size());
    EXPECT_NE(log.find("display_thread starting\n"), std::string::npos);
    EXPECT_NE(log.find("display_thread finishing\n"), std::string::npos);
    EXPECT_FALSE(state->display_thread_id.load());
    size_t luma = (size_t)PlayerConfig.video_w * PlayerConfig.video_h;
    EXPECT_EQ(std::count(OutputPicture->data[0], OutputPicture->data[0] + luma, 0), (long)luma);
    EXPECT_EQ(std::count(OutputPicture->data[1], OutputPicture->data[1] + luma / 4, 0x80), (long)(luma / 4));
    EXPECT_DOUBLE_EQ(state->shown_pts, 1.0 + 0.04 * (count - 1));
    av_frame_free(&picture);
    harness_playback_free(state);
}

}  // namespace
