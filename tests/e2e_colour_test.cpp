// Colours as a viewer sees them where the X server has no video extension (Xvfb, like
// VNC and remote desktops), so SDL turns the overlay into RGB itself: the real program
// with a test portal of flat colours over a key-colour page that plays the 1920 x 1080
// colour bars fixture, read back from the screen. The portal's colours must show within
// 3 levels of what the page asks for, and the bars within 3 levels of ffmpeg's own
// decoding of the same stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/http_server.h"
#include "tests/support/program_run.h"

namespace {

struct Swatch {
    const char *css;
    Rgb want;
    int x, y;  // the middle of its 80 x 40 box on the page
};
const Swatch swatches[] = {
    {"#0a101e", {10, 16, 30}, 40, 20},     {"#ffffff", {255, 255, 255}, 120, 20},
    {"#38bdf8", {56, 189, 248}, 200, 20},  {"#e02814", {224, 40, 20}, 280, 20},
    {"#808080", {128, 128, 128}, 360, 20},
};

std::string portal_page()
{
    std::string boxes;
    for (const Swatch &s : swatches)
        boxes += "<div style='position:absolute;left:" + std::to_string(s.x - 40) + "px;top:0;width:80px;"
                 "height:40px;background:" + s.css + "'></div>";
    return "<!DOCTYPE html><html><head><title>colours</title></head>"
           "<body style='margin:0;background:#F048E0'>" + boxes +
           "<script>window.addEventListener('load', () => Zandoro.Media_Play('file:" ZANDORO_FIXTURE_DIR
           "/h264_1080_mp2.ts'));</script></body></html>";
}

std::string dec(Rgb c)
{
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

int distance(Rgb a, Rgb b)
{
    return std::max({abs(a.r - b.r), abs(a.g - b.g), abs(a.b - b.b)});
}

class E2eColour : public ProgramTest {};

TEST_F(E2eColour, PortalColoursAndColourBarsShowAsAskedAndAsFfmpegDecodesThem)
{
    // ffmpeg's RGB of the stream's first picture.
    std::string fixture = std::string(ZANDORO_FIXTURE_DIR) + "/h264_1080_mp2.ts";
    std::string rgb = x_command("ffmpeg -v error -i '" + fixture + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(rgb.size(), (size_t)1920 * 1080 * 3) << "ffmpeg's decoding";
    auto ffmpeg_at = [&](int x, int y) {
        const uint8_t *p = (const uint8_t *)rgb.data() + ((size_t)y * 1920 + x) * 3;
        return Rgb{p[0], p[1], p[2]};
    };
    run_in_netns(
        [&] {
            LoopbackHttpServer server;
            ASSERT_TRUE(server.start(8080));
            server.set_page("/cgi-bin/zandoro_version_check", "text/plain", "OK");
            server.set_page("/portal/index.html", "text/html", portal_page());
            WorkDir dir(video_size_config);
            ASSERT_TRUE(dir.ok());
            ProgramRun program;
            ASSERT_TRUE(program.start_program(dir.path()));
            MainWindow w;
            ASSERT_TRUE(main_window_find(&w)) << program.out() << program.err();

            // The seven bars of the top two thirds, 16:9 into 1024 x 576 without borders:
            // their middles, in the stream and on the client area.
            std::vector<std::pair<int, int>> bars;
            for (int i = 0; i < 7; i++)
                bars.push_back({(2 * i + 1) * 1920 / 14, 1080 / 3});
            auto client_of = [](std::pair<int, int> p) {
                return std::make_pair(p.first * 1024 / 1920, p.second * 576 / 1080);
            };

            // Until the portal and the bars both show (yellow, the second bar, is unlike
            // anything the page or a black picture gives).
            Screenshot shot;
            bool up = false;
            long long end = program_now_ms() + 45000;
            while (!up && program_now_ms() < end) {
                main_window_update(&w);
                if (screenshot_take(&shot, &w)) {
                    auto [bx, by] = client_of(bars[1]);
                    Rgb yellow = client_pixel(shot, w, bx, by);
                    Rgb box = client_pixel(shot, w, swatches[1].x, swatches[1].y);
                    up = yellow.r > 120 && yellow.g > 120 && yellow.b < 60 && box.r > 200 && box.b > 200;
                }
                if (!up)
                    usleep(100000);
            }
            ASSERT_TRUE(up) << "no bars and portal: " << program.out() << program.err();
            usleep(300000);  // a later picture of the same bars
            ASSERT_TRUE(screenshot_take(&shot, &w));
            screenshot_keep("colours");

            for (const Swatch &s : swatches) {
                Rgb seen = client_pixel(shot, w, s.x, s.y);
                figure("colour: portal %s asked %s, screen %s", s.css, dec(s.want).c_str(), dec(seen).c_str());
                EXPECT_LE(distance(seen, s.want), 3) << s.css << " shows as " << rgb_text(seen);
            }
            for (size_t i = 0; i < bars.size(); i++) {
                auto [cx, cy] = client_of(bars[i]);
                Rgb seen = client_pixel(shot, w, cx, cy);
                Rgb want = ffmpeg_at(bars[i].first, bars[i].second);
                figure("colour: bar %zu ffmpeg %s, screen %s", i + 1, dec(want).c_str(), dec(seen).c_str());
                EXPECT_LE(distance(seen, want), 3) << "bar " << i + 1 << " shows as " << rgb_text(seen)
                                                   << ", ffmpeg decodes " << rgb_text(want);
            }
            EXPECT_EQ(program.stop(), 0) << program.err();
        },
        program_test_limit_ms);
}

}  // namespace
