#include "engine/packet_queue.h"

#include <gtest/gtest.h>

#include <thread>

#include "engine/playback.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace {

AVPacket make_packet(int size, int64_t pts, int64_t dts)
{
    AVPacket p = {};
    p.data = size ? (uint8_t *)av_malloc(size) : nullptr;
    p.size = size;
    p.pts = pts;
    p.dts = dts;
    return p;
}

class PacketQueueTest : public testing::Test {
protected:
    void SetUp() override
    {
        packet_queue_init(&q_);
        current_playback = &playback_;
    }
    void TearDown() override
    {
        current_playback = nullptr;
        packet_queue_release(&q_);
    }
    PacketQueue q_ = {};
    PlaybackState playback_ = {};
};

TEST_F(PacketQueueTest, FirstInFirstOutWithTheirRecords)
{
    AVPacket in[3] = {make_packet(100, 1, 2), make_packet(0, 3, AV_NOPTS_VALUE), make_packet(7, 5, 6)};
    for (AVPacket &p : in)
        ASSERT_EQ(packet_queue_put(&q_, &p), 0);
    EXPECT_EQ(q_.count, 3);
    EXPECT_EQ(q_.bytes, 107);  // the empty packet counts, adds no bytes

    for (AVPacket &expected : in) {
        AVPacket out = {};
        ASSERT_EQ(packet_queue_get(&q_, &out, 1), 1);
        EXPECT_EQ(out.data, expected.data);
        EXPECT_EQ(out.size, expected.size);
        EXPECT_EQ(out.pts, expected.pts);
        EXPECT_EQ(out.dts, expected.dts);
        av_free(out.data);
    }
    EXPECT_EQ(q_.first, nullptr);
    EXPECT_EQ(q_.last, nullptr);
    EXPECT_EQ(q_.count, 0);
    EXPECT_EQ(q_.bytes, 0);
}

TEST_F(PacketQueueTest, NonBlockingGetOnEmptyLeavesRecord)
{
    AVPacket out = make_packet(0, 42, 43);
    EXPECT_EQ(packet_queue_get(&q_, &out, 0), 0);
    EXPECT_EQ(out.pts, 42);
    EXPECT_EQ(out.dts, 43);
}

TEST_F(PacketQueueTest, QuittingPlaybackRefusesAndKeepsPackets)
{
    AVPacket p = make_packet(10, 1, 1);
    ASSERT_EQ(packet_queue_put(&q_, &p), 0);
    playback_.quit = 1;
    AVPacket out = make_packet(0, 9, 9);
    EXPECT_EQ(packet_queue_get(&q_, &out, 1), -1);
    EXPECT_EQ(packet_queue_get(&q_, &out, 0), -1);
    EXPECT_EQ(out.pts, 9);
    EXPECT_EQ(q_.count, 1);
    EXPECT_EQ(q_.bytes, 10);  // released with the queue in TearDown
}

TEST_F(PacketQueueTest, BlockingGetWakesOnPutFromAnotherThread)
{
    AVPacket out = {};
    int result = 0;
    std::thread consumer([&] { result = packet_queue_get(&q_, &out, 1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    AVPacket p = make_packet(5, 77, 78);
    ASSERT_EQ(packet_queue_put(&q_, &p), 0);
    consumer.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out.pts, 77);
    av_free(out.data);
}

TEST_F(PacketQueueTest, BlockingGetWakesWhenPlaybackQuits)
{
    int result = 0;
    std::thread consumer([&] {
        AVPacket out = {};
        result = packet_queue_get(&q_, &out, 1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    playback_.quit = 1;
    packet_queue_wake(&q_);
    consumer.join();
    EXPECT_EQ(result, -1);
}

TEST(PacketQueue, WakeAndReleaseOfAQueueNeverInitialised)
{
    PacketQueue q = {};
    packet_queue_wake(&q);
    packet_queue_release(&q);
    EXPECT_EQ(q.mutex, nullptr);
}

}  // namespace
