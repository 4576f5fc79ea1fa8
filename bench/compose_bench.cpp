// The cost of one composing tick at 1024 x 576, run by hand (figures go to
// docs/benchmarks.md):
//
//   compose_bench [ROUNDS]
//
// A portal that is key colour except a box of a quarter of the picture (512 x 288,
// half-transparent), laid over a noisy video picture. Timed apart, the tick's thread on
// one pinned core:
// the conversion of the view's bitmap (only on ticks where the page painted), the copy
// of the video with the blend over the box, and the copy into the YV12 overlay; then
// the whole ui_render on SDL's dummy video driver, whose software display (YUV to RGB in
// SDL) the real window does in the graphics hardware.
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <vector>

#include <SDL.h>

#include "engine/media_control.h"
#include "engine/picture_scale.h"
#include "engine/playback.h"
#include "shell/config.h"
#include "shell/main_window.h"
#include "shell/ui_compose.h"
#include "shell/ui_render.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figure {
    double median_ms, p95_ms;
};

Figure time_it(int rounds, const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds; i++) {
        Clock::time_point t0 = Clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[ms.size() * 95 / 100]};
}

void report(const char *what, Figure f)
{
    printf("%-52s %7.3f ms median %7.3f ms p95\n", what, f.median_ms, f.p95_ms);
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 2000;

    config_defaults();
    const int w = PlayerConfig.video_w = 1024, h = PlayerConfig.video_h = 576;
    UiBgraPicture = picture_alloc(AV_PIX_FMT_BGRA, w, h);
    UiPicture = picture_alloc(AV_PIX_FMT_YUVA420P, w, h);
    OutputPicture = picture_alloc_yuv420(w, h);
    if (!ui_composite_alloc() || !UiBgraPicture || !UiPicture || !OutputPicture)
        return 1;

    std::mt19937 random(1);
    for (int p = 0; p < 3; p++) {
        int rows = p ? h / 2 : h;
        for (int i = 0; i < OutputPicture->linesize[p] * rows; i++)
            OutputPicture->data[p][i] = (uint8_t)random();
    }
    // Key colour around a box of a quarter of the picture, in the middle.
    std::vector<uint32_t> bitmap((size_t)w * h, 0xFFF048E0);
    for (int y = h / 4; y < h / 4 + h / 2; y++)
        for (int x = w / 4; x < w / 4 + w / 2; x++)
            bitmap[(size_t)y * w + x] = 0x80000000u | (random() & 0xFFFFFF);
    const uint8_t *pixels = (const uint8_t *)bitmap.data();

    setenv("SDL_VIDEODRIVER", "dummy", 1);
    if (SDL_Init(SDL_INIT_VIDEO) != 0)
        return 1;
    sdl_screen = SDL_SetVideoMode(w, h, 32, SDL_HWSURFACE);
    yuv_overlay = sdl_screen ? SDL_CreateYUVOverlay(w, h, SDL_YV12_OVERLAY, sdl_screen) : nullptr;
    if (!yuv_overlay)
        return 1;
    MediaControl = new MediaControlBlock();
    video_started = 1;

    auto convert = [&] { ui_convert_bitmap(pixels, w, h, w * 4); };
    auto compose = [] { ui_compose(OutputPicture, true); };
    auto overlay = [] { ui_overlay_put(yuv_overlay); };
    convert();  // the contexts are made once, before the clock runs
    // The tick's own thread on one core; libswscale's slice threads, started by that
    // first conversion, keep every core, as in the program.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof one, &one);
    printf("box %d..%d x %d..%d, %d rounds, 1024 x 576\n", ui_box.min_x, ui_box.max_x, ui_box.min_y,
           ui_box.max_y, rounds);

    report("convert (bitmap copy, BGRA to YUV420P, key and box)", time_it(rounds, convert));
    report("  of which libswscale (ui_sws, in slices)", time_it(rounds, [] { ui_sws_convert(); }));
    report("  libswscale, the same context in one piece", time_it(rounds, [] {
               sws_scale(ui_sws, UiBgraPicture->data, UiBgraPicture->linesize, 0, PlayerConfig.video_h,
                         UiPicture->data, UiPicture->linesize);
           }));
    {
        // The same conversion with the input chroma taken at full width (libswscale's
        // SIMD path) in place of its plain-C half-width averaging.
        SwsContext *full = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P,
                                          SWS_BICUBIC | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
        report("  libswscale with SWS_BICUBIC | SWS_FULL_CHR_H_INP", time_it(rounds, [&] {
                   sws_scale(full, UiBgraPicture->data, UiBgraPicture->linesize, 0, h, UiPicture->data,
                             UiPicture->linesize);
               }));
        sws_freeContext(full);
    }
    report("compose (video copy, blend over the box)", time_it(rounds, compose));
    report("overlay copy (lock, three planes, unlock)", time_it(rounds, overlay));
    report("tick after the page painted: all three", time_it(rounds, [&] {
               convert();
               compose();
               overlay();
           }));
    report("tick with a new picture only: compose + overlay", time_it(rounds, [&] {
               compose();
               overlay();
           }));
    report("ui_render, new picture, SDL software display", time_it(rounds, [] {
               MediaControl->new_picture = 1;
               ui_render();
           }));
    return 0;
}
