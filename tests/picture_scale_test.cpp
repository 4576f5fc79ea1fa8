#include "engine/picture_scale.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

#include "engine/media_control.h"
#include "engine/picture_pad.h"
#include "engine/playback.h"
#include "shell/config.h"

namespace {

const int out_w = 1024, out_h = 576;
const PictureRect worked_pig = {100, 50, 320, 180};

TEST(PictureAspect, FromSampleAspectOrOwnSize)
{
    struct Case {
        int w, h;
        AVRational sar;
        double aspect;
    } cases[] = {
        {720, 576, {64, 45}, 16.0 / 9.0},
        {720, 576, {16, 15}, 4.0 / 3.0},
        {720, 576, {12, 11}, 12.0 / 11.0 * 720 / 576},
        {720, 576, {0, 1}, 1.25},
        {1280, 544, {1, 1}, 1280.0 / 544.0},
        // Without a usable sample aspect, the size alone, in single precision.
        {1280, 720, {0, 1}, (double)(1280.0f / 720.0f)},
        {720, 576, {5, 0}, 1.25},
        {720, 576, {-4, 3}, 1.25},
        {720, 576, {4, -3}, 1.25},
        {720, 576, {INT_MIN, 1}, 1.25},
        // No size: no ratio at all.
        {0, 0, {1, 1}, 0},
        {720, 0, {1, 1}, 0},
        {0, 576, {0, 1}, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(picture_aspect(c.w, c.h, c.sar), c.aspect)
            << c.w << "x" << c.h << " " << c.sar.num << ":" << c.sar.den;
}

TEST(PictureLayout, FitsStretchesAndClips)
{
    struct Case {
        const char *name;
        double aspect;
        int32_t screen_mode;
        PictureRect pig;
        PictureRect place;
    } cases[] = {
        {"64:45 full", 720.0 * 64 / 45 / 576, 0, worked_pig, {0, 0, 1024, 576}},
        {"64:45 pig", 720.0 * 64 / 45 / 576, 1, worked_pig, {100, 50, 320, 180}},
        {"16:15 full", 720.0 * 16 / 15 / 576, 0, worked_pig, {128, 0, 768, 576}},
        {"16:15 pig", 720.0 * 16 / 15 / 576, 1, worked_pig, {140, 50, 320, 180}},
        {"12:11 full, 785 stays odd", 720.0 * 12 / 11 / 576, 0, worked_pig, {119, 0, 785, 576}},
        {"12:11 pig", 720.0 * 12 / 11 / 576, 1, worked_pig, {137, 50, 320, 180}},
        {"no sar full", 1.25, 0, worked_pig, {152, 0, 720, 576}},
        {"no sar pig", 1.25, 1, worked_pig, {147, 50, 320, 180}},
        {"1280x544 full, 435 -> 433", 1280.0 / 544, 0, worked_pig, {0, 71, 1024, 433}},
        {"1280x544 pig", 1280.0 / 544, 1, worked_pig, {100, 72, 320, 180}},
        {"767 -> 765", 767.0 / 576, 0, worked_pig, {129, 0, 765, 576}},
        {"766 -> 764", 766.0 / 576, 0, worked_pig, {130, 0, 764, 576}},
        // The mask comes before the width test: 1026 -> 1024 is not too wide.
        {"1026 masks to 1024", 1026.0 / 576, 0, worked_pig, {0, 0, 1024, 576}},
        {"1027 masks to 1025, too wide", 1027.0 / 576, 0, worked_pig, {0, 2, 1024, 572}},
        {"screen mode 2 is full", 720.0 * 16 / 15 / 576, 2, worked_pig, {128, 0, 768, 576}},
        {"screen mode -1 is full", 1.25, -1, worked_pig, {152, 0, 720, 576}},
        {"pig of the picture's own aspect", 1024.0 / 576, 1, {10, 20, 640, 360}, {10, 20, 640, 360}},
        {"pig past the right and bottom", 1024.0 / 576, 1, {900, 500, 320, 180}, {900, 500, 124, 76}},
        {"pig past the right, moved by its offset", 1.25, 1, {900, 0, 320, 180}, {947, 0, 77, 180}},
        {"pig left of and above the picture", 1024.0 / 576, 1, {-50, -20, 320, 180}, {0, 0, 270, 160}},
        {"pig larger than the picture", 1024.0 / 576, 1, {-10, -10, 5000, 5000}, {0, 0, 1024, 576}},
        {"pig wholly outside", 1024.0 / 576, 1, {2000, 0, 320, 180}, {0, 0, 0, 0}},
        {"pig of no width", 1024.0 / 576, 1, {100, 50, 0, 180}, {0, 0, 0, 0}},
        {"pig of no height", 1024.0 / 576, 1, {100, 50, 320, 0}, {0, 0, 0, 0}},
        {"pig of negative size", 1.25, 1, {100, 50, -320, -180}, {0, 0, 0, 0}},
        {"pig at the int limits", 1.25, 1, {INT_MAX, INT_MAX, INT_MAX, INT_MAX}, {0, 0, 0, 0}},
        {"pig of int-limit size", 1.25, 1, {-INT_MAX / 2, -INT_MAX / 2, INT_MAX, INT_MAX}, {0, 0, 1024, 576}},
        // Ratios too extreme to show anything.
        {"huge aspect", 1e300, 0, worked_pig, {0, 0, 0, 0}},
        {"tiny aspect", 1e-300, 0, worked_pig, {0, 0, 0, 0}},
        {"no aspect", 0, 0, worked_pig, {0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        PictureRect place = picture_layout(out_w, out_h, c.aspect, c.screen_mode, c.pig);
        EXPECT_EQ(place.x, c.place.x) << c.name;
        EXPECT_EQ(place.y, c.place.y) << c.name;
        EXPECT_EQ(place.w, c.place.w) << c.name;
        EXPECT_EQ(place.h, c.place.h) << c.name;
    }
}

struct Yuv {
    int y, u, v;
};

// Four colours, one per quadrant, so a flipped, shifted or mis-strided picture shows.
const Yuv quads[4] = {{200, 60, 180}, {120, 200, 40}, {50, 100, 220}, {160, 160, 90}};
const Yuv one_colour[4] = {{180, 90, 150}, {180, 90, 150}, {180, 90, 150}, {180, 90, 150}};
const Yuv other_colour[4] = {{70, 170, 60}, {70, 170, 60}, {70, 170, 60}, {70, 170, 60}};

void fill_quadrants(AVFrame *picture, int w, int h, const Yuv colours[4])
{
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            picture->data[0][y * picture->linesize[0] + x] = colours[(y >= h / 2) * 2 + (x >= w / 2)].y;
    for (int y = 0; y < (h + 1) / 2; y++)
        for (int x = 0; x < (w + 1) / 2; x++) {
            const Yuv &c = colours[(2 * y >= h / 2) * 2 + (2 * x >= w / 2)];
            picture->data[1][y * picture->linesize[1] + x] = c.u;
            picture->data[2][y * picture->linesize[2] + x] = c.v;
        }
}

bool inside(int v, int lo, int len) { return v >= lo && v < lo + len; }

// Checks all of OutputPicture: black (exactly) outside `place`; inside, the quadrant
// colours within a tolerance, except near the lines between quadrants, where the scaler
// blends. Chroma samples straddling an edge of `place` are not checked.
std::string check_output(PictureRect place, const Yuv colours[4])
{
    const int tol = 2, margin = 12;
    const AVFrame *out = OutputPicture;
    int mid_x = place.x + place.w / 2, mid_y = place.y + place.h / 2;
    auto colour_at = [&](int x, int y, const Yuv **c) {
        if (abs(x - mid_x) < margin || abs(y - mid_y) < margin)
            return false;
        *c = &colours[(y >= mid_y) * 2 + (x >= mid_x)];
        return true;
    };
    char line[160];
    for (int y = 0; y < out_h; y++)
        for (int x = 0; x < out_w; x++) {
            int got = out->data[0][y * out->linesize[0] + x];
            const Yuv *c;
            bool in = inside(x, place.x, place.w) && inside(y, place.y, place.h);
            if ((!in && got != 0) || (in && colour_at(x, y, &c) && abs(got - c->y) > tol)) {
                snprintf(line, sizeof line, "Y at (%d, %d) is %d", x, y, got);
                return line;
            }
        }
    for (int y = 0; y < out_h / 2; y++)
        for (int x = 0; x < out_w / 2; x++) {
            bool in = inside(2 * x, place.x, place.w) && inside(2 * x + 1, place.x, place.w) &&
                      inside(2 * y, place.y, place.h) && inside(2 * y + 1, place.y, place.h);
            bool out_of = !(inside(2 * x, place.x, place.w) || inside(2 * x + 1, place.x, place.w)) ||
                          !(inside(2 * y, place.y, place.h) || inside(2 * y + 1, place.y, place.h));
            int u = out->data[1][y * out->linesize[1] + x], v = out->data[2][y * out->linesize[2] + x];
            const Yuv *c;
            if ((out_of && (u != 128 || v != 128)) ||
                (in && colour_at(2 * x, 2 * y, &c) && (abs(u - c->u) > tol || abs(v - c->v) > tol))) {
                snprintf(line, sizeof line, "U/V at chroma (%d, %d) is %d/%d", x, y, u, v);
                return line;
            }
        }
    return "";
}

class PictureScaleTest : public testing::Test {
protected:
    void SetUp() override
    {
        config_defaults();
        PlayerConfig.video_w = out_w;
        PlayerConfig.video_h = out_h;
        OutputPicture = picture_alloc_yuv420(out_w, out_h);
        ScaledPicture = picture_alloc_yuv420(out_w, out_h);
        ASSERT_TRUE(OutputPicture && ScaledPicture);
        // Garbage, so every pixel the scaler should write is seen to be written.
        memset(OutputPicture->data[0], 0x55, av_image_get_buffer_size(AV_PIX_FMT_YUV420P, out_w, out_h, 1));
        control_ = new MediaControlBlock();
        MediaControl = control_;
        control_->pig_w = out_w;
        control_->pig_h = out_h;
        control_->rebuild_scaler = 1;  // as at a playback's start
        state_ = new PlaybackState();
        codec_ = avcodec_alloc_context3(nullptr);
        ASSERT_NE(codec_, nullptr);
        state_->video_codec = codec_;
    }
    void TearDown() override
    {
        for (PictureSlot &slot : state_->pictures)
            picture_free(&slot.frame);
        avcodec_free_context(&codec_);
        delete state_;
        MediaControl = nullptr;
        delete control_;
        sws_freeContext(output_scaler);
        output_scaler = nullptr;
        picture_free(&OutputPicture);
        picture_free(&ScaledPicture);
    }

    // Puts a w x h quadrant picture in the slot at picture_read, and tells the decoder
    // context the same size and sample aspect.
    void show(int w, int h, AVRational sar, const Yuv colours[4])
    {
        PictureSlot &slot = state_->pictures[state_->picture_read];
        if (slot.width != w || slot.height != h) {
            picture_free(&slot.frame);
            slot.frame = picture_alloc_yuv420(w, h);
            ASSERT_NE(slot.frame, nullptr);
            slot.width = w;
            slot.height = h;
        }
        fill_quadrants(slot.frame, w, h, colours);
        codec_->width = w;
        codec_->height = h;
        codec_->sample_aspect_ratio = sar;
        control_->new_picture = 0;
        picture_scale_to_output(state_);
    }

    std::vector<uint8_t> snapshot()
    {
        int size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, out_w, out_h, 1);
        return std::vector<uint8_t>(OutputPicture->data[0], OutputPicture->data[0] + size);
    }

    MediaControlBlock *control_ = nullptr;
    PlaybackState *state_ = nullptr;
    AVCodecContext *codec_ = nullptr;
};

TEST_F(PictureScaleTest, FourByThreeGetsBlackBarsOf128)
{
    state_->picture_read = 3;
    show(720, 576, {16, 15}, quads);
    EXPECT_EQ((int)control_->new_picture, 1);
    EXPECT_EQ((int)control_->rebuild_scaler, 0);
    EXPECT_EQ(check_output({128, 0, 768, 576}, quads), "");
}

TEST_F(PictureScaleTest, OddFittedWidthIsPlacedWhole)
{
    show(720, 576, {12, 11}, quads);
    EXPECT_EQ(check_output({119, 0, 785, 576}, quads), "");
    show(1280, 544, {1, 1}, quads);
    EXPECT_EQ(check_output({0, 71, 1024, 433}, quads), "");
}

// A frame as the decoder hands it out (its own line strides), colour bars of 352 x 288 at
// 1:1: fitted to 704 x 576, each bar's colour where the bar is.
TEST_F(PictureScaleTest, DecodedFrameKeepsItsColours)
{
    std::string path = std::string(ZANDORO_FIXTURE_DIR) + "/mpeg2_mp2.ts";
    AVFormatContext *format = nullptr;
    ASSERT_EQ(avformat_open_input(&format, path.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(format, nullptr), 0);
    int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    ASSERT_GE(index, 0);
    AVCodecContext *decoder = avcodec_alloc_context3(avcodec_find_decoder(format->streams[index]->codecpar->codec_id));
    ASSERT_NE(decoder, nullptr);
    avcodec_parameters_to_context(decoder, format->streams[index]->codecpar);
    ASSERT_EQ(avcodec_open2(decoder, nullptr, nullptr), 0);
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    bool got = false;
    while (!got && av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == index && avcodec_send_packet(decoder, packet) >= 0)
            got = avcodec_receive_frame(decoder, frame) == 0;
        av_packet_unref(packet);
    }
    ASSERT_TRUE(got);
    ASSERT_EQ(frame->format, AV_PIX_FMT_YUV420P);

    PictureSlot &slot = state_->pictures[0];
    slot.frame = frame;
    slot.width = frame->width;
    slot.height = frame->height;
    state_->video_codec = decoder;
    picture_scale_to_output(state_);
    slot.frame = nullptr;
    state_->video_codec = codec_;

    const AVFrame *out = OutputPicture;
    EXPECT_EQ((int)control_->new_picture, 1);
    for (int i = 0; i < 7; i++) {  // the seven bars of the top two thirds
        int sx = (2 * i + 1) * 352 / 14, sy = 96;
        int ox = 160 + 2 * sx, oy = 2 * sy;
        EXPECT_NEAR(out->data[0][oy * out->linesize[0] + ox], frame->data[0][sy * frame->linesize[0] + sx], 4) << i;
        for (int p = 1; p <= 2; p++)
            EXPECT_NEAR(out->data[p][oy / 2 * out->linesize[p] + ox / 2],
                        frame->data[p][sy / 2 * frame->linesize[p] + sx / 2], 4)
                << i << " plane " << p;
    }
    for (int y = 0; y < out_h; y += 5) {
        EXPECT_EQ(out->data[0][y * out->linesize[0] + 159], 0);
        EXPECT_EQ(out->data[0][y * out->linesize[0] + 864], 0);
        EXPECT_EQ(out->data[1][y / 2 * out->linesize[1] + 79], 128);
        EXPECT_EQ(out->data[2][y / 2 * out->linesize[2] + 432], 128);
    }

    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
}

TEST_F(PictureScaleTest, PigStretchesIntoItsRectangle)
{
    control_->screen_mode = 1;
    control_->pig_x = 100;
    control_->pig_y = 50;
    control_->pig_w = 320;
    control_->pig_h = 180;
    show(720, 576, {64, 45}, quads);
    EXPECT_EQ(check_output({100, 50, 320, 180}, quads), "");

    // Another aspect: same size, corner moved by the scaled offset.
    show(720, 576, {16, 15}, quads);
    EXPECT_EQ(check_output({140, 50, 320, 180}, quads), "");

    // Moving the rectangle alone, as Video_SetPigPosition does.
    control_->pig_x = 300;
    control_->rebuild_scaler = 1;
    show(720, 576, {64, 45}, quads);
    EXPECT_EQ((int)control_->rebuild_scaler, 0);
    EXPECT_EQ(check_output({300, 50, 320, 180}, quads), "");

    // Back to full screen with a mode other than 0 or 1.
    control_->screen_mode = 2;
    control_->rebuild_scaler = 1;
    show(720, 576, {64, 45}, quads);
    EXPECT_EQ(check_output({0, 0, 1024, 576}, quads), "");
}

TEST_F(PictureScaleTest, PigReachingOutsideIsClipped)
{
    control_->screen_mode = 1;
    struct Case {
        PictureRect pig;
        PictureRect place;
    } cases[] = {
        {{900, 500, 320, 180}, {900, 500, 124, 76}},
        {{-50, -20, 320, 180}, {0, 0, 270, 160}},
        {{-100, 300, 3000, 900}, {0, 300, 1024, 276}},
    };
    for (const Case &c : cases) {
        control_->pig_x = c.pig.x;
        control_->pig_y = c.pig.y;
        control_->pig_w = c.pig.w;
        control_->pig_h = c.pig.h;
        control_->rebuild_scaler = 1;
        show(720, 576, {64, 45}, one_colour);
        EXPECT_EQ((int)control_->new_picture, 1);
        EXPECT_EQ(check_output(c.place, one_colour), "") << c.pig.x << "," << c.pig.y;
    }
}

TEST_F(PictureScaleTest, PigOfNoAreaShowsNoVideo)
{
    show(720, 576, {64, 45}, one_colour);
    SwsContext *scaler = output_scaler;
    control_->screen_mode = 1;
    const PictureRect empty[] = {{100, 50, 0, 180}, {100, 50, 320, 0}, {2000, 50, 320, 180}, {100, 50, -5, -5}};
    for (const PictureRect &pig : empty) {
        control_->pig_x = pig.x;
        control_->pig_y = pig.y;
        control_->pig_w = pig.w;
        control_->pig_h = pig.h;
        control_->rebuild_scaler = 1;
        show(720, 576, {64, 45}, one_colour);
        EXPECT_EQ((int)control_->new_picture, 1);
        EXPECT_EQ(check_output({0, 0, 0, 0}, one_colour), "") << pig.x << "," << pig.w << "x" << pig.h;
    }
    // Nothing was scaled: the request waits for a picture that needs the scaler.
    EXPECT_EQ(output_scaler, scaler);
    EXPECT_EQ((int)control_->rebuild_scaler, 1);
}

// Neither a new decoded size nor a new target size raises rebuild_scaler; the scaler
// is made again anyway and never reads a smaller slot with the old geometry.
TEST_F(PictureScaleTest, SizeChangesWithoutRebuildRequestAreScaledRight)
{
    show(720, 576, {64, 45}, one_colour);
    EXPECT_EQ(check_output({0, 0, 1024, 576}, one_colour), "");

    show(352, 288, {1, 1}, quads);
    EXPECT_EQ((int)control_->new_picture, 1);
    EXPECT_EQ(check_output({160, 0, 704, 576}, quads), "");

    show(1920, 1080, {1, 1}, other_colour);
    EXPECT_EQ(check_output({0, 0, 1024, 576}, other_colour), "");

    control_->screen_mode = 1;
    control_->pig_x = 10;
    control_->pig_y = 20;
    control_->pig_w = 200;
    control_->pig_h = 100;
    show(1920, 1080, {1, 1}, quads);
    EXPECT_EQ(check_output({10, 20, 200, 100}, quads), "");
}

TEST_F(PictureScaleTest, UnusableSlotLeavesOutputAndFlagsAlone)
{
    std::vector<uint8_t> before = snapshot();
    PictureSlot &slot = state_->pictures[0];

    picture_scale_to_output(state_);  // no picture yet
    slot.frame = picture_alloc_yuv420(64, 64);
    slot.width = 0;
    slot.height = 64;
    picture_scale_to_output(state_);
    slot.width = -64;
    picture_scale_to_output(state_);
    EXPECT_EQ((int)control_->new_picture, 0);
    EXPECT_EQ((int)control_->rebuild_scaler, 1);
    EXPECT_TRUE(snapshot() == before);

    // Too wide for libswscale to make a context: the picture is skipped.
    show(70000, 2, {1, 20000}, quads);
    EXPECT_EQ(output_scaler, nullptr);
    EXPECT_EQ((int)control_->new_picture, 0);
    EXPECT_TRUE(snapshot() == before);

    // The next picture that can be scaled is shown.
    show(720, 576, {16, 15}, quads);
    EXPECT_EQ((int)control_->new_picture, 1);
    EXPECT_EQ(check_output({128, 0, 768, 576}, quads), "");
}

// The pad alone, on odd sizes: every pixel written once, never past the planes.
TEST(PicturePad, PlacesAndFillsWithinThePlanes)
{
    AVFrame *dst = picture_alloc_yuv420(37, 21);
    AVFrame *src = picture_alloc_yuv420(37, 21);
    ASSERT_TRUE(dst && src);
    const uint8_t colour[3] = {1, 2, 3};
    int size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, 37, 21, 1);
    memset(src->data[0], 200, size);
    struct Case {
        int x, y, w, h, result;
    } cases[] = {
        {0, 0, 37, 21, 0}, {5, 3, 11, 7, 0}, {36, 20, 1, 1, 0}, {7, 9, 0, 0, 0},
        {-1, 0, 5, 5, -1}, {0, -1, 5, 5, -1}, {33, 0, 5, 5, -1}, {0, 17, 5, 5, -1},
        {0, 0, -1, 5, -1}, {INT_MAX, 0, INT_MAX, 1, -1},
    };
    for (const Case &c : cases) {
        memset(dst->data[0], 77, size);
        ASSERT_EQ(picture_pad(dst, src, c.x, c.y, c.w, c.h, colour), c.result) << c.x << "," << c.y;
        int wrong = 0;
        for (int y = 0; y < 21; y++)
            for (int x = 0; x < 37; x++) {
                bool in = inside(x, c.x, c.w) && inside(y, c.y, c.h);
                int want = c.result < 0 ? 77 : in ? 200 : 1;
                wrong += dst->data[0][y * dst->linesize[0] + x] != want;
            }
        for (int p = 1; p <= 2; p++)
            for (int y = 0; y < 11; y++)
                for (int x = 0; x < 19; x++) {
                    bool in = c.w > 0 && c.h > 0 && x >= c.x / 2 && x < c.x / 2 + (c.w + 1) / 2 &&
                              y >= c.y / 2 && y < c.y / 2 + (c.h + 1) / 2;
                    int want = c.result < 0 ? 77 : in ? 200 : p + 1;
                    wrong += dst->data[p][y * dst->linesize[p] + x] != want;
                }
        EXPECT_EQ(wrong, 0) << c.x << "," << c.y << " " << c.w << "x" << c.h;
    }
    picture_free(&dst);
    picture_free(&src);
}

}  // namespace
