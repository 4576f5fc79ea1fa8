// The portal over the video, from hand-made bitmaps: the key colour, the alpha plane and
// box of a conversion, the blend, and the render tick's frame on SDL's dummy video
// driver (a software YV12 overlay shown on a 32-bit screen).
#include "shell/ui_compose.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/media_control.h"
#include "engine/picture_scale.h"
#include "engine/playback.h"
#include "shell/config.h"
#include "shell/main_window.h"
#include "shell/ui_render.h"

namespace {

const uint32_t key = 0xFFF048E0;  // opaque key colour as the view paints it

// A BGRA bitmap in memory as the view's surface holds it: one 32-bit value per pixel.
struct Bitmap {
    int w, h;
    std::vector<uint32_t> pixels;
    Bitmap(int w_, int h_, uint32_t fill = key) : w(w_), h(h_), pixels((size_t)w_ * h_, fill) {}
    uint32_t &at(int x, int y) { return pixels[(size_t)y * w + x]; }
    void convert() { ui_convert_bitmap((const uint8_t *)pixels.data(), w, h, w * 4); }
};

uint8_t &sample(AVFrame *f, int plane, int x, int y)
{
    return f->data[plane][(size_t)y * f->linesize[plane] + x];
}

void fill_picture(AVFrame *f, int w, int h, uint8_t y, uint8_t u, uint8_t v)
{
    for (int row = 0; row < h; row++)
        memset(f->data[0] + (size_t)row * f->linesize[0], y, w);
    for (int row = 0; row < (h + 1) / 2; row++) {
        memset(f->data[1] + (size_t)row * f->linesize[1], u, (w + 1) / 2);
        memset(f->data[2] + (size_t)row * f->linesize[2], v, (w + 1) / 2);
    }
}

// Whether the W x H area of CompositePicture equals `video` sample for sample.
testing::AssertionResult composite_is(AVFrame *video, int w, int h)
{
    for (int p = 0; p < 3; p++) {
        int pw = p ? (w + 1) / 2 : w, ph = p ? (h + 1) / 2 : h;
        for (int y = 0; y < ph; y++)
            for (int x = 0; x < pw; x++)
                if (sample(CompositePicture, p, x, y) != sample(video, p, x, y))
                    return testing::AssertionFailure()
                           << "plane " << p << " at " << x << "," << y << ": "
                           << (int)sample(CompositePicture, p, x, y) << " vs video " << (int)sample(video, p, x, y);
    }
    return testing::AssertionSuccess();
}

std::string box_text(const UiBox &b)
{
    return std::to_string(b.min_x) + "," + std::to_string(b.max_x) + "," + std::to_string(b.min_y) + "," +
           std::to_string(b.max_y);
}

void free_frame(AVFrame **f)
{
    if (*f)
        av_freep(&(*f)->data[0]);
    av_frame_free(f);
}

// The shell's pictures, the engine's output picture and, for the render tick, an SDL
// screen and overlay, all at W x H; torn down again after each test.
class UiComposeTest : public testing::Test {
protected:
    void SetUp() override { config_defaults(); }
    void TearDown() override
    {
        free_frame(&UiBgraPicture);
        free_frame(&UiPicture);
        free_frame(&CompositePicture);
        picture_free(&OutputPicture);
        sws_freeContext(ui_sws);
        ui_sws = nullptr;
        sws_freeContext(output_sws);
        output_sws = nullptr;
        ui_box = UiBox{};
        ui_redraw_pending = 0;
        video_started = 0;
        view_scale = 100;
        delete MediaControl;
        MediaControl = nullptr;
        if (yuv_overlay)
            SDL_FreeYUVOverlay(yuv_overlay);
        yuv_overlay = nullptr;
        sdl_screen = nullptr;
        if (SDL_WasInit(SDL_INIT_VIDEO))
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

    void pictures(int w, int h)
    {
        PlayerConfig.video_w = w;
        PlayerConfig.video_h = h;
        UiBgraPicture = picture_alloc(AV_PIX_FMT_BGRA, w, h);
        UiPicture = picture_alloc(AV_PIX_FMT_YUVA420P, w, h);
        ASSERT_TRUE(ui_composite_alloc());
        OutputPicture = picture_alloc_yuv420(w, h);
        ASSERT_TRUE(UiBgraPicture && UiPicture && OutputPicture);
        fill_picture(OutputPicture, w, h, 100, 50, 200);
        fill_picture(CompositePicture, w + 4, h + 4, 7, 7, 7);
    }

    // Also what the render tick needs: a screen the size of the window and the overlay.
    void screen(int w, int h)
    {
        pictures(w, h);
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
        sdl_screen = SDL_SetVideoMode(w, h, 32, SDL_HWSURFACE);
        ASSERT_NE(sdl_screen, nullptr) << SDL_GetError();
        yuv_overlay = SDL_CreateYUVOverlay(w, h, SDL_YV12_OVERLAY, sdl_screen);
        ASSERT_NE(yuv_overlay, nullptr) << SDL_GetError();
        MediaControl = new MediaControlBlock();
    }

    // Fills the screen with a colour no frame of these tests has.
    void clear_screen() { SDL_FillRect(sdl_screen, nullptr, SDL_MapRGB(sdl_screen->format, 1, 254, 3)); }
    bool screen_untouched(int x, int y)
    {
        Uint8 r, g, b;
        screen_rgb(x, y, &r, &g, &b);
        return r == 1 && g == 254 && b == 3;
    }
    void screen_rgb(int x, int y, Uint8 *r, Uint8 *g, Uint8 *b)
    {
        SDL_LockSurface(sdl_screen);
        Uint32 p = *(Uint32 *)((Uint8 *)sdl_screen->pixels + y * sdl_screen->pitch + x * 4);
        SDL_UnlockSurface(sdl_screen);
        SDL_GetRGB(p, sdl_screen->format, r, g, b);
    }
};

TEST(UiBlendValue, SignedArithmeticTruncatesTowardZero)
{
    struct Case {
        int o, u, a, out;
    } cases[] = {
        {255, 254, 1, 255}, {0, 255, 128, 128}, {200, 100, 128, 150}, {255, 0, 255, 0},
        {37, 200, 0, 37}, {37, 200, 255, 200}, {10, 0, 128, 5},  // 10 - 5.02; rounding down would give 4
    };
    for (const Case &c : cases)
        EXPECT_EQ(ui_blend_value(c.o, c.u, c.a), c.out) << c.o << " " << c.u << " " << c.a;
}

// Rows are blended 16 samples at a time where the processor allows: every o, u and a,
// with the samples in every position of a block; and keyed runs (alpha 0) that cover
// whole blocks, parts of blocks or none of one, beside blended samples.
TEST(UiBlendRow, EqualsTheOneSampleBlendEverywhere)
{
    const int n = 65536 + 7;  // a tail after the last whole block
    std::vector<uint8_t> out(n), ui(n), alpha(n);
    for (int round = 0; round < 512; round++) {
        int a = round % 256;
        for (int i = 0; i < n; i++) {
            out[i] = (uint8_t)i;
            ui[i] = (uint8_t)(i >> 8);
            alpha[i] = round < 256 ? (uint8_t)(a + i % 3) : (i / 24) % 3 ? 0 : (uint8_t)a;
        }
        ui_blend_row(out.data(), ui.data(), alpha.data(), n);
        for (int i = 0; i < n; i++)
            if (out[i] != ui_blend_value((uint8_t)i, (uint8_t)(i >> 8), alpha[i]))
                FAIL() << "o " << (i & 255) << " u " << ((i >> 8) & 255) << " a " << (int)alpha[i] << ": "
                       << (int)out[i];
    }
}

TEST_F(UiComposeTest, KeyTestMatchesAPixelByPixelReading)
{
    const int w = 83, h = 9;  // five blocks of 16 and a tail of 3 on each row
    pictures(w, h);
    SwsContext *reference = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                           nullptr, nullptr, nullptr);
    AVFrame *scaled = picture_alloc(AV_PIX_FMT_YUV420P, w, h);
    ASSERT_TRUE(reference && scaled);
    srand(7);
    for (int round = 0; round < 50; round++) {
        Bitmap bitmap(w, h);
        int density = round % 5;  // from a few non-key pixels to many
        for (uint32_t &p : bitmap.pixels) {
            int r = rand() % 100;
            if (r < density * 5)
                p = (uint32_t)rand() << 8 ^ (uint32_t)rand();
            else if (r < density * 5 + 3)
                p = ((uint32_t)rand() << 24) | (ui_key_colour ^ (1u << (rand() % 24)));  // one bit off
            else
                p = ((uint32_t)rand() << 24) | ui_key_colour;
        }
        bitmap.convert();
        sws_scale(reference, UiBgraPicture->data, UiBgraPicture->linesize, 0, h, scaled->data, scaled->linesize);
        UiBox box = {w, 0, h, 0};
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) {
                uint32_t p = bitmap.at(x, y);
                bool keyed = (p & 0xFFFFFF) == ui_key_colour;
                ASSERT_EQ(sample(UiPicture, 3, x, y), keyed ? 0 : p >> 24) << round << ": " << x << "," << y;
                ASSERT_EQ(sample(UiPicture, 0, x, y), keyed ? 0 : sample(scaled, 0, x, y))
                    << round << ": " << x << "," << y;
                if (!keyed)
                    box = {std::min(box.min_x, x), std::max(box.max_x, x), std::min(box.min_y, y),
                           std::max(box.max_y, y)};
            }
        }
        ASSERT_EQ(box_text(ui_box), box_text(box)) << round;
    }
    sws_freeContext(reference);
    free_frame(&scaled);
}

TEST_F(UiComposeTest, SlicedConversionGivesTheBytesOfOnePiece)
{
    for (auto size : {std::pair<int, int>{1024, 576}, {721, 405}}) {
        const int w = size.first, h = size.second;
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        TearDown();
        pictures(w, h);
        SwsContext *reference = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P,
                                               SWS_BICUBIC, nullptr, nullptr, nullptr);
        AVFrame *whole = picture_alloc(AV_PIX_FMT_YUV420P, w, h);
        ui_sws = ui_sws_create(w, h);
        ASSERT_TRUE(reference && whole && ui_sws);
        srand(11);
        for (int i = 0; i < UiBgraPicture->linesize[0] * h; i++)
            UiBgraPicture->data[0][i] = (uint8_t)rand();
        ui_sws_convert();
        sws_scale(reference, UiBgraPicture->data, UiBgraPicture->linesize, 0, h, whole->data, whole->linesize);
        for (int p = 0; p < 3; p++) {
            int rows = p ? (h + 1) / 2 : h, cols = p ? (w + 1) / 2 : w;
            for (int y = 0; y < rows; y++)
                ASSERT_EQ(memcmp(UiPicture->data[p] + (size_t)y * UiPicture->linesize[p],
                                 whole->data[p] + (size_t)y * whole->linesize[p], (size_t)cols),
                          0)
                    << "plane " << p << " row " << y;
        }
        sws_freeContext(reference);
        free_frame(&whole);
    }
}

TEST_F(UiComposeTest, KeyColourIsExactWhateverItsAlpha)
{
    const int w = 16, h = 8;
    pictures(w, h);
    struct Case {
        uint32_t pixel;
        bool keyed;
    } cases[] = {
        {0xFFF048E0, true},  {0x00F048E0, true},  {0x80F048E0, true},  // alpha is not looked at
        {0xFFF048E1, false}, {0xFFF148E0, false}, {0xFFF049E0, false},
        {0x00000000, false},  // what an unpainted page area holds
        {0x7F102030, false},
    };
    for (const Case &c : cases) {
        Bitmap bitmap(w, h);
        bitmap.at(5, 3) = c.pixel;
        bitmap.convert();
        SCOPED_TRACE(testing::Message() << std::hex << c.pixel);
        EXPECT_EQ(box_text(ui_box), c.keyed ? "16,0,8,0" : "5,5,3,3");
        EXPECT_EQ(sample(UiPicture, 3, 5, 3), c.keyed ? 0 : c.pixel >> 24);
        if (c.keyed) {
            EXPECT_EQ(sample(UiPicture, 0, 5, 3), 0);
        }
        // The keyed background around it: transparent with luma 0, chroma the scaler's.
        EXPECT_EQ(sample(UiPicture, 3, 12, 6), 0);
        EXPECT_EQ(sample(UiPicture, 0, 12, 6), 0);
        EXPECT_NEAR(sample(UiPicture, 1, 6, 3), 170, 2);
        EXPECT_NEAR(sample(UiPicture, 2, 6, 3), 191, 2);
    }
}

TEST_F(UiComposeTest, BoxSpansEveryNonKeyPixel)
{
    const int w = 32, h = 16;
    pictures(w, h);
    Bitmap bitmap(w, h);
    bitmap.at(9, 14) = 0xFF000000;
    bitmap.at(30, 2) = 0x01FFFFFF;
    bitmap.at(3, 7) = 0x00FFFFFF;  // fully transparent counts too
    bitmap.convert();
    EXPECT_EQ(box_text(ui_box), "3,30,2,14");

    Bitmap all_key(w, h);
    all_key.convert();
    EXPECT_EQ(box_text(ui_box), "32,0,16,0") << "an empty box replaces the last one";
}

TEST_F(UiComposeTest, VideoShowsWhereNothingOpaqueLiesOverIt)
{
    const int w = 16, h = 8;
    pictures(w, h);
    struct Case {
        const char *name;
        std::vector<std::pair<int, int>> opaque;  // white, opaque pixels on a keyed page
        std::vector<std::pair<int, int>> clear;   // non-key pixels of alpha 0
    } cases[] = {
        {"all key", {}, {}},
        {"only column 0", {{0, 0}, {0, 3}, {0, 7}}, {}},
        {"only row 0", {{0, 0}, {6, 0}, {15, 0}}, {}},
        {"transparent pixels widen the box", {}, {{2, 1}, {13, 6}}},
    };
    for (const Case &c : cases) {
        Bitmap bitmap(w, h);
        for (auto p : c.opaque)
            bitmap.at(p.first, p.second) = 0xFFFFFFFF;
        for (auto p : c.clear)
            bitmap.at(p.first, p.second) = 0x00FFFFFF;
        bitmap.convert();
        ui_compose(OutputPicture, true);
        EXPECT_TRUE(composite_is(OutputPicture, w, h)) << c.name;
    }
}

TEST_F(UiComposeTest, BlendStaysInsideTheBoxAndTakesChromaFromTheEvenPixel)
{
    const int w = 16, h = 8;
    pictures(w, h);
    // Two 2 x 2 blocks of opaque white: one whole, one with its top-left pixel keyed.
    Bitmap bitmap(w, h);
    for (int y = 2; y < 4; y++)
        for (int x = 2; x < 4; x++)
            bitmap.at(x, y) = bitmap.at(x + 8, y) = 0xFFFFFFFF;
    bitmap.at(10, 2) = key;
    bitmap.at(6, 5) = 0x80FFFFFF;  // half transparent, on an odd row
    bitmap.convert();
    ASSERT_EQ(box_text(ui_box), "2,11,2,5");
    ui_compose(OutputPicture, true);

    const uint8_t white_y = sample(UiPicture, 0, 2, 2);
    EXPECT_NEAR(white_y, 235, 1);
    for (auto p : std::vector<std::pair<int, int>>{{2, 2}, {3, 3}, {11, 2}, {10, 3}})
        EXPECT_EQ(sample(CompositePicture, 0, p.first, p.second), sample(UiPicture, 0, p.first, p.second))
            << p.first << "," << p.second;
    EXPECT_EQ(sample(CompositePicture, 0, 10, 2), 100) << "keyed pixel inside the box";
    EXPECT_EQ(sample(CompositePicture, 0, 6, 5), ui_blend_value(100, sample(UiPicture, 0, 6, 5), 0x80));
    // Chroma of the whole block is the UI's; of the keyed one, the video's.
    EXPECT_EQ(sample(CompositePicture, 1, 1, 1), sample(UiPicture, 1, 1, 1));
    EXPECT_EQ(sample(CompositePicture, 2, 1, 1), sample(UiPicture, 2, 1, 1));
    EXPECT_EQ(sample(CompositePicture, 1, 5, 1), 50);
    EXPECT_EQ(sample(CompositePicture, 2, 5, 1), 200);
    // Pixel (6, 5) is on an odd row: its chroma sample (3, 2) keeps the video's.
    EXPECT_EQ(sample(CompositePicture, 1, 3, 2), 50);
    // Outside the box nothing moves.
    EXPECT_EQ(sample(CompositePicture, 0, 1, 2), 100);
    EXPECT_EQ(sample(CompositePicture, 0, 12, 2), 100);
    EXPECT_EQ(sample(CompositePicture, 0, 5, 6), 100);
    EXPECT_EQ(sample(CompositePicture, 1, 0, 0), 50);
    EXPECT_EQ(sample(CompositePicture, 1, 6, 1), 50);
    // And the margin of the composite beyond W x H is never written.
    EXPECT_EQ(sample(CompositePicture, 0, w, 0), 7);
    EXPECT_EQ(sample(CompositePicture, 0, 0, h), 7);
}

TEST_F(UiComposeTest, BitmapOfAnotherSizeIsReadOnlyWhereItOverlaps)
{
    const int w = 16, h = 8;
    pictures(w, h);
    // Exact-size buffers, so a read past either one is caught by the address sanitizer.
    Bitmap small(w / 2, h / 2, 0xFF000000);
    small.convert();
    EXPECT_EQ(box_text(ui_box), "0,7,0,3") << "outside the bitmap counts as key";
    EXPECT_EQ(sample(UiPicture, 3, 8, 0), 0);
    EXPECT_EQ(sample(UiPicture, 3, 0, 4), 0);
    EXPECT_EQ(sample(UiPicture, 3, 7, 3), 255);

    Bitmap large(w + 3, h + 2);
    large.at(w - 1, h - 1) = 0xFF000000;
    large.at(w + 1, 0) = 0xFF000000;  // beyond W x H: not part of the portal
    large.at(0, h + 1) = 0xFF000000;
    large.convert();
    EXPECT_EQ(box_text(ui_box), "15,15,7,7");

    ui_convert_bitmap(nullptr, 0, 0, 0);
    EXPECT_EQ(box_text(ui_box), "16,0,8,0");
}

TEST_F(UiComposeTest, PortalAloneBeforeAnyVideoShowsKeyAreasWithLumaZero)
{
    const int w = 32, h = 16;
    ASSERT_NO_FATAL_FAILURE(screen(w, h));
    Bitmap bitmap(w, h);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++)
            bitmap.at(x, y) = 0x00FFFFFF;  // white, but fully transparent: shown anyway
    bitmap.convert();
    ui_redraw_pending = 1;
    MediaControl->new_picture = 1;  // no video has started: the flag does not matter
    EXPECT_EQ(output_sws, nullptr);
    ui_render();
    SwsContext *made = output_sws;
    EXPECT_NE(made, nullptr) << "made by the first composing tick";
    EXPECT_EQ(ui_redraw_pending, 0);
    EXPECT_EQ(MediaControl->new_picture, 0);

    EXPECT_NEAR(sample(CompositePicture, 0, 3, 3), 235, 1);
    EXPECT_EQ(sample(CompositePicture, 0, 20, 12), 0);
    EXPECT_NEAR(sample(CompositePicture, 1, 12, 6), 170, 2) << "the key colour's chroma";
    EXPECT_NEAR(sample(CompositePicture, 2, 12, 6), 191, 2);

    ui_redraw_pending = 1;
    ui_render();
    EXPECT_EQ(output_sws, made) << "made once";
}

TEST_F(UiComposeTest, TickShowsAFrameOnlyForANewPictureOrARedraw)
{
    const int w = 32, h = 16;
    ASSERT_NO_FATAL_FAILURE(screen(w, h));
    video_started = 1;
    fill_picture(OutputPicture, w, h, 81, 90, 240);  // red

    clear_screen();
    ui_render();
    EXPECT_TRUE(screen_untouched(0, 0)) << "nothing new: the screen stays";
    EXPECT_EQ(output_sws, nullptr);

    MediaControl->new_picture = 1;
    ui_render();
    EXPECT_EQ(MediaControl->new_picture, 0);
    Uint8 r, g, b;
    screen_rgb(5, 5, &r, &g, &b);
    EXPECT_GT(r, 230);
    EXPECT_LT(g, 25);
    EXPECT_LT(b, 25) << "U and V swapped would show blue";

    // The overlay holds the planes in YV12 order, each row at the overlay's pitch; the
    // dummy driver's overlay is a software one, so in full range.
    ASSERT_EQ(yuv_overlay->hw_overlay, 0u);
    const UiFullRange full = ui_full_range_make();
    ASSERT_EQ(SDL_LockYUVOverlay(yuv_overlay), 0);
    EXPECT_EQ(yuv_overlay->pixels[0][yuv_overlay->pitches[0] * (h - 1) + w - 1], full.luma[81]);
    EXPECT_EQ(yuv_overlay->pixels[1][yuv_overlay->pitches[1] * (h / 2 - 1) + w / 2 - 1], full.chroma[240]);
    EXPECT_EQ(yuv_overlay->pixels[2][yuv_overlay->pitches[2] * (h / 2 - 1) + w / 2 - 1], full.chroma[90]);
    SDL_UnlockYUVOverlay(yuv_overlay);

    clear_screen();
    ui_render();
    EXPECT_TRUE(screen_untouched(0, 0));
    ui_redraw_pending = 1;  // a rescale or a change to full screen
    ui_render();
    EXPECT_FALSE(screen_untouched(0, 0));

    // Without a screen the tick stops before it looks at the pictures.
    sdl_screen = nullptr;
    MediaControl->new_picture = 1;
    ui_render();
    EXPECT_EQ(MediaControl->new_picture, 1);
}

TEST_F(UiComposeTest, OverlayIsShownAtTheTopLeftAtViewScale)
{
    const int w = 1024, h = 576;
    ASSERT_NO_FATAL_FAILURE(screen(w, h));
    video_started = 1;
    struct Case {
        int scale, shown_w, shown_h;
    } cases[] = {{100, 1024, 576}, {50, 512, 288}, {25, 256, 144}};
    for (const Case &c : cases) {
        view_scale = c.scale;
        SDL_Rect rect = ui_display_rect();
        EXPECT_EQ(rect.x, 0);
        EXPECT_EQ(rect.y, 0);
        EXPECT_EQ(rect.w, c.shown_w) << c.scale;
        EXPECT_EQ(rect.h, c.shown_h) << c.scale;

        clear_screen();
        MediaControl->new_picture = 1;
        ui_render();
        EXPECT_FALSE(screen_untouched(0, 0)) << c.scale;
        EXPECT_FALSE(screen_untouched(c.shown_w - 1, c.shown_h - 1)) << c.scale;
        if (c.shown_w < w) {
            EXPECT_TRUE(screen_untouched(c.shown_w, 0)) << c.scale;
            EXPECT_TRUE(screen_untouched(0, c.shown_h)) << c.scale;
        }
    }
    // Full screen on a monitor 1920 wide: 187 %, truncated both times.
    view_scale = 187;
    SDL_Rect rect = ui_display_rect();
    EXPECT_EQ(rect.w, 1914);
    EXPECT_EQ(rect.h, 1077);
}

TEST(UiFullRange, VideoRangeStretchesToFullRangeRoundedAndClipped)
{
    const UiFullRange t = ui_full_range_make();
    struct Case {
        int in, luma, chroma;
    } cases[] = {
        {0, 0, 0},       {15, 0, 0},       {16, 0, 0},     {17, 1, 2},       {126, 128, 126},
        {128, 130, 128}, {129, 132, 129}, {235, 255, 250}, {240, 255, 255}, {255, 255, 255},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(t.luma[c.in], c.luma) << c.in;
        EXPECT_EQ(t.chroma[c.in], c.chroma) << c.in;
    }
    for (int v = 1; v < 256; v++) {
        EXPECT_GE(t.luma[v], t.luma[v - 1]) << v;
        EXPECT_GE(t.chroma[v], t.chroma[v - 1]) << v;
    }
}

TEST_F(UiComposeTest, RedrawAndRepaintShowThePictureWithBlackAroundIt)
{
    const int w = 64, h = 32;
    ASSERT_NO_FATAL_FAILURE(screen(w, h));
    video_started = 1;
    fill_picture(OutputPicture, w, h, 81, 90, 240);  // red
    view_scale = 50;
    auto red_inside_black_around = [&](const char *what) {
        Uint8 r, g, b;
        screen_rgb(w / 2 - 1, h / 2 - 1, &r, &g, &b);
        EXPECT_GT(r, 200) << what;
        for (auto [x, y] : {std::make_pair(w / 2, 0), std::make_pair(w - 1, h / 2 - 1), std::make_pair(0, h / 2),
                            std::make_pair(w - 1, h - 1)}) {
            screen_rgb(x, y, &r, &g, &b);
            EXPECT_EQ(r + g + b, 0) << what << " at " << x << "," << y;
        }
    };

    // A new picture alone touches only the picture.
    clear_screen();
    MediaControl->new_picture = 1;
    ui_render();
    EXPECT_TRUE(screen_untouched(w - 1, h - 1));

    clear_screen();
    ui_redraw_pending = 1;
    ui_render();
    red_inside_black_around("redraw");

    // An uncovering: the last frame again, no tick needed.
    clear_screen();
    ui_repaint();
    red_inside_black_around("repaint");

    // Before any frame, a repaint is black all over.
    SDL_FreeYUVOverlay(yuv_overlay);
    yuv_overlay = nullptr;
    clear_screen();
    ui_repaint();
    Uint8 r, g, b;
    screen_rgb(0, 0, &r, &g, &b);
    EXPECT_EQ(r + g + b, 0);
    view_scale = 100;
}

TEST_F(UiComposeTest, OddSizesStayInsideEveryPlane)
{
    const int w = 15, h = 7;
    ASSERT_NO_FATAL_FAILURE(screen(w, h));
    Bitmap bitmap(w, h, 0xFFFFFFFF);
    bitmap.convert();
    EXPECT_EQ(box_text(ui_box), "0,14,0,6");
    video_started = 1;
    ui_redraw_pending = 1;
    ui_render();
    // The last chroma sample (7, 3) belongs to pixel (14, 6), both even: the UI's.
    EXPECT_EQ(sample(CompositePicture, 1, 7, 3), sample(UiPicture, 1, 7, 3));
    EXPECT_EQ(sample(CompositePicture, 0, 14, 6), sample(UiPicture, 0, 14, 6));
}

}  // namespace
