// The whole picture path: a portal served from loopback in the real web view, the engine
// playing smptebars from a file, and the render tick composing them onto SDL's dummy
// video driver, as start-up sets them up. Needs X for the web view.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <SDL.h>

#include "engine/media_control.h"
#include "engine/picture_scale.h"
#include "engine/playback.h"
#include "shell/config.h"
#include "shell/main_window.h"
#include "shell/ui_compose.h"
#include "shell/ui_render.h"
#include "shell/web_host.h"
#include "tests/support/capture.h"
#include "tests/support/http_server.h"
#include "tests/support/web_pump.h"

namespace {

int at(AVFrame *f, int plane, int x, int y)
{
    return f->data[plane][(size_t)y * f->linesize[plane] + x];
}

// Render ticks every 10 ms, as the window timer makes them, until done() or the deadline.
bool tick_until(const std::function<bool()> &done, int timeout_ms = test_deadline_ms)
{
    for (int waited = 0; !done(); waited += 10) {
        if (waited > timeout_ms)
            return false;
        ui_render();
        usleep(10000);
    }
    return true;
}

// The portal: key colour everywhere but one opaque box of rgb(16, 32, 64).
const int box_x = 150, box_y = 100, box_w = 80, box_h = 60;
const char portal[] =
    "<html><body style='margin:0;background:rgb(240,72,224)'>"
    "<div style='position:absolute;left:150px;top:100px;width:80px;height:60px;background:rgb(16,32,64)'></div>"
    "</body></html>";

TEST(UiFrame, PortalOverPlayingVideo)
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    config_defaults();
    const int w = 320, h = 180;
    PlayerConfig.video_w = w;
    PlayerConfig.video_h = h;
    LoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    server.set_page("/portal/index.html", "text/html", portal);
    snprintf(PlayerConfig.portal_url, sizeof PlayerConfig.portal_url, "%s",
             server.url("/portal/index.html").c_str());
    if (!web_test_core())
        GTEST_SKIP() << "no X display to run the web engine on";
    Awesomium::WebCore::Shutdown();

    // Start-up's order: pictures, web UI, engine, then the screen and its overlay.
    ASSERT_TRUE(ui_composite_alloc());
    ui_init();
    media_init();
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_AUDIO), 0) << SDL_GetError();
    sdl_screen = SDL_SetVideoMode(w, h, 32, SDL_HWSURFACE);
    ASSERT_NE(sdl_screen, nullptr) << SDL_GetError();
    yuv_overlay = SDL_CreateYUVOverlay(w, h, SDL_YV12_OVERLAY, sdl_screen);
    ASSERT_NE(yuv_overlay, nullptr) << SDL_GetError();

    // Before any video: the portal alone, its key areas with luma 0. The listeners' and
    // the engine's lines are not checked here.
    capture_stdout_begin();
    bool painted = tick_until([] {
        return ui_box.min_x == box_x && ui_box.max_x == box_x + box_w - 1 && ui_box.min_y == box_y &&
               ui_box.max_y == box_y + box_h - 1;
    });
    ui_render();
    std::string log = capture_stdout_end();
    ASSERT_TRUE(painted) << "box " << ui_box.min_x << "," << ui_box.max_x << "," << ui_box.min_y << ","
                         << ui_box.max_y << "\n" << log;
    ASSERT_NE(ui_surface, nullptr);
    EXPECT_FALSE(video_started);
    const int in_x = box_x + box_w / 2, in_y = box_y + box_h / 2;  // even, so it owns its chroma
    EXPECT_EQ(at(CompositePicture, 0, 20, 20), 0);
    EXPECT_NEAR(at(CompositePicture, 0, in_x, in_y), 42, 2);
    EXPECT_NEAR(at(CompositePicture, 1, in_x / 2, in_y / 2), 144, 2);
    EXPECT_NEAR(at(CompositePicture, 2, in_x / 2, in_y / 2), 119, 2);

    // Then the engine plays 720 x 576 bars: 1.25 wide, so 225 x 180 from x 47.
    capture_stdout_begin();
    media_play((std::string("file:") + ZANDORO_FIXTURE_DIR + "/mpeg2_720x576_mp2.ts").c_str());
    long long shown = 0;
    bool playing = tick_until([&] {
        if (video_started && MediaControl->new_picture)
            shown++;
        return shown >= 10;
    });
    std::string play_log = capture_stdout_end();
    ASSERT_TRUE(playing) << "pictures composed: " << shown << "\n" << play_log;

    // Video where the page is keyed, compared with the output picture (which may have been
    // rewritten since the copy, but the bars are the same in every picture) and with the
    // colours smptebars has.
    struct Point {
        const char *what;
        int x, y;
        int y_value, u_value, v_value;
    } video_points[] = {
        {"first bar", 62, 40, 180, 128, 128},
        {"last bar", 256, 40, 35, 212, 114},
        {"black beside the picture", 20, 20, 0, 128, 128},
        {"left of the box", box_x - 2, box_y + 10, -1, -1, -1},
        {"below the box", box_x + 10, box_y + box_h, -1, -1, -1},
    };
    for (const Point &p : video_points) {
        int got[3] = {at(CompositePicture, 0, p.x, p.y), at(CompositePicture, 1, p.x / 2, p.y / 2),
                      at(CompositePicture, 2, p.x / 2, p.y / 2)};
        int video[3] = {at(OutputPicture, 0, p.x, p.y), at(OutputPicture, 1, p.x / 2, p.y / 2),
                        at(OutputPicture, 2, p.x / 2, p.y / 2)};
        int bars[3] = {p.y_value, p.u_value, p.v_value};
        for (int c = 0; c < 3; c++) {
            EXPECT_NEAR(got[c], video[c], 3) << p.what << " plane " << c;
            if (bars[c] >= 0) {
                EXPECT_NEAR(got[c], bars[c], 12) << p.what << " plane " << c;
            }
        }
    }
    // The box's own colour where the page is not keyed, right to its edges.
    EXPECT_NEAR(at(CompositePicture, 0, in_x, in_y), 42, 2);
    EXPECT_NEAR(at(CompositePicture, 1, in_x / 2, in_y / 2), 144, 2);
    EXPECT_NEAR(at(CompositePicture, 2, in_x / 2, in_y / 2), 119, 2);
    for (auto p : {std::make_pair(box_x, box_y), std::make_pair(box_x + box_w - 1, box_y + box_h - 1)})
        EXPECT_EQ(at(CompositePicture, 0, p.first, p.second), at(UiPicture, 0, p.first, p.second));
    // What the overlay was given is that frame, in full range on the dummy driver's
    // software overlay.
    const UiFullRange full = ui_full_range_make();
    ASSERT_EQ(yuv_overlay->hw_overlay, 0u);
    ASSERT_EQ(SDL_LockYUVOverlay(yuv_overlay), 0);
    EXPECT_EQ(yuv_overlay->pixels[0][yuv_overlay->pitches[0] * in_y + in_x],
              full.luma[at(CompositePicture, 0, in_x, in_y)]);
    EXPECT_EQ(yuv_overlay->pixels[1][yuv_overlay->pitches[1] * 20 + 31], full.chroma[at(CompositePicture, 2, 31, 20)]);
    SDL_UnlockYUVOverlay(yuv_overlay);

    capture_stdout_begin();
    MediaControl->stop_request = 1;
    bool stopped = tick_until([] { return !current_playback && !MediaControl->stop_request; });
    std::string stop_log = capture_stdout_end();
    EXPECT_TRUE(stopped) << stop_log;
}

}  // namespace
