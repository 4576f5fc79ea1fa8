// What the window shows after its geometry changes while the picture stands still: the
// real program with the demo portal alone (no multicast arrives, so no video ever
// starts) on a 1280 x 800 screen, with a window manager (openbox) and without. After
// View > 25 % and back to 100 %, in full screen and (with the window manager) maximised,
// the whole client area shows the portal as it was first seen, scaled, and black
// outside it: never white, never the stale picture of the old size.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/program_run.h"

namespace {

const uint32_t top_bar = 0x0A101E;  // the demo portal's opaque bar, rows 0-41 of 576

class WindowPaint : public ProgramTest, public testing::WithParamInterface<bool> {
protected:
    bool window_manager() const override { return GetParam(); }
    const char *screen() const override { return "1280x800x24"; }
};

int distance(Rgb a, Rgb b)
{
    return std::max({abs(a.r - b.r), abs(a.g - b.g), abs(a.b - b.b)});
}

// The client area settles at width x height (0: any), read again each time.
bool client_settles(MainWindow *w, int width, int height, int timeout_ms = 20000)
{
    long long end = program_now_ms() + timeout_ms;
    for (;;) {
        main_window_update(w);
        if ((!width || w->width == width) && (!height || w->height == height))
            return true;
        if (program_now_ms() > end)
            return false;
        usleep(50000);
    }
}

// Compares a 32-pixel grid of the client area with the first picture scaled by
// scale / 100, and everything right of and below that picture with black; what
// differs, as text (empty when nothing does). The grid leaves out the clock.
std::string mismatches(const Screenshot &first, const MainWindow &w0, const Screenshot &shot,
                       const MainWindow &w, int scale)
{
    std::string text;
    int bad = 0, checked = 0;
    int pw = 1024 * scale / 100, ph = 576 * scale / 100;
    for (int y = 4; y < w.height; y += 32) {
        for (int x = 4; x < w.width; x += 32) {
            Rgb seen = client_pixel(shot, w, x, y);
            Rgb want = {0, 0, 0};
            if (x < pw && y < ph) {
                int fx = x * 100 / scale, fy = y * 100 / scale;
                if (fy < 44 && fx > 880)
                    continue;  // the clock
                want = client_pixel(first, w0, fx, fy);
                // Scaling moves edges by a pixel: any neighbour of the spot will do.
                int best = 255;
                for (int dy = -2; dy <= 2; dy++)
                    for (int dx = -2; dx <= 2; dx++)
                        if (fx + dx >= 0 && fy + dy >= 0 && fx + dx < 1024 && fy + dy < 576)
                            best = std::min(best, distance(seen, client_pixel(first, w0, fx + dx, fy + dy)));
                checked++;
                if (best <= 6)
                    continue;
            } else {
                checked++;
                if (distance(seen, want) <= 3)
                    continue;
            }
            if (++bad <= 12)
                text += "(" + std::to_string(x) + "," + std::to_string(y) + ") " + rgb_text(seen) + " not " +
                        rgb_text(want) + "; ";
        }
    }
    if (bad)
        text = std::to_string(bad) + " of " + std::to_string(checked) + " points differ: " + text;
    return text;
}

// Screenshots until the client area matches (the redraw may take a tick or two).
std::string settled_mismatches(const Screenshot &first, const MainWindow &w0, MainWindow *w, int scale)
{
    std::string last;
    long long end = program_now_ms() + 15000;
    for (;;) {
        Screenshot shot;
        main_window_update(w);
        if (screenshot_take(&shot, w)) {
            last = mismatches(first, w0, shot, *w, scale);
            if (last.empty())
                return last;
        }
        if (program_now_ms() > end)
            return last;
        usleep(100000);
    }
}

TEST_P(WindowPaint, ScaleFullScreenAndMaximiseRedrawTheWholeClientAreaBlackAroundThePicture)
{
    bool wm = GetParam();
    run_in_netns(
        [wm] {
            DemoRun demo(video_size_config, false);
            ASSERT_TRUE(demo.start());
            MainWindow &w = demo.window;
            Screenshot first;
            ASSERT_GE(wait_for_colour(w, 600, 6, top_bar, 45000, &first), 0)
                << rgb_text(client_pixel(first, w, 600, 6)) << demo.program.out() << demo.program.err();
            ASSERT_TRUE(client_settles(&w, 1024, 576)) << w.width << "x" << w.height;
            usleep(500000);  // the portal's last paint of its start
            ASSERT_TRUE(screenshot_take(&first, &w));
            const MainWindow w0 = w;

            main_window_keys(w, "alt+v Down Down Return");
            ASSERT_TRUE(client_settles(&w, 256, 144)) << w.width << "x" << w.height;
            usleep(300000);
            main_window_keys(w, "alt+v Return", 100, 70);
            ASSERT_TRUE(client_settles(&w, 1024, 576)) << w.width << "x" << w.height;
            std::string bad = settled_mismatches(first, w0, &w, 100);
            screenshot_keep(std::string("paint-100-after-25-") + (wm ? "wm" : "nowm"));
            EXPECT_EQ(bad, "") << "100 % after 25 %";

            if (wm) {
                // Maximised by the window manager (a double click on the caption): the
                // picture stays 1024 x 576 at the top left, black around it.
                XGeometry top = {};
                ASSERT_TRUE(x_window_geometry(std::stoul(w.toplevel), &top));
                std::string caption = std::to_string(top.x + 300) + " " + std::to_string(top.y - 10);
                x_command("timeout 5 xdotool mousemove " + caption + " click --repeat 2 --delay 80 1");
                ASSERT_TRUE(client_settles(&w, 1280 - 4, 0)) << w.width << "x" << w.height;
                ASSERT_GT(w.height, 576);
                bad = settled_mismatches(first, w0, &w, 100);
                screenshot_keep("paint-maximised");
                EXPECT_EQ(bad, "") << "maximised, client " << w.width << "x" << w.height;
                ASSERT_TRUE(x_window_geometry(std::stoul(w.toplevel), &top));
                caption = std::to_string(top.x + 300) + " " + std::to_string(top.y - 10);
                x_command("timeout 5 xdotool mousemove " + caption + " click --repeat 2 --delay 80 1");
                ASSERT_TRUE(client_settles(&w, 1024, 576)) << w.width << "x" << w.height;
            }

            // Full screen: 1280 x 720 of picture, 80 black rows below.
            main_window_keys(w, "alt+v Up Return");
            ASSERT_TRUE(client_settles(&w, 1280, 800)) << w.width << "x" << w.height;
            bad = settled_mismatches(first, w0, &w, 125);
            screenshot_keep(std::string("paint-fullscreen-") + (wm ? "wm" : "nowm"));
            EXPECT_EQ(bad, "") << "full screen";

            // The system's close command (no menu in full screen).
            EXPECT_EQ(demo.program.stop(), 0) << demo.program.err();
        },
        program_test_limit_ms);
}

std::string wm_name(const testing::TestParamInfo<bool> &info)
{
    return info.param ? "WithWindowManager" : "WithoutWindowManager";
}

INSTANTIATE_TEST_SUITE_P(X, WindowPaint, testing::Bool(), wm_name);

}  // namespace
