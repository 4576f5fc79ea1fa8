#include "tests/support/window_harness.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "platform/win32/win_resource.h"
#include "shell/config.h"
#include "shell/main_window.h"
#include "shell/resources.h"
#include "tests/support/x_session.h"

namespace {

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

}  // namespace

bool window_harness_up()
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    bool ok = win_ui_start();
    EXPECT_TRUE(ok) << "no display";
    if (!ok)
        return false;
    config_defaults();
    app_instance = win_module_instance(&zandoro_resources);
    ok = ui_register_class(app_instance);
    EXPECT_TRUE(ok);
    if (!ok)
        return false;
    HWND hwnd = ui_create_main_window(SW_SHOWNORMAL);
    EXPECT_NE(hwnd, nullptr);
    if (!hwnd)
        return false;
    ui_start_display();
    EXPECT_NE(sdl_screen, nullptr);
    EXPECT_NE(yuv_overlay, nullptr);
    return sdl_screen && yuv_overlay;
}

bool pump_messages_until(const std::function<bool()> &done, int timeout_ms, int *quit_code)
{
    long long end = now_ms() + timeout_ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                if (quit_code)
                    *quit_code = (int)msg.wParam;
                return done();
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        if (now_ms() > end)
            return false;
        usleep(2000);
    }
}

void pump_messages_for(int ms)
{
    pump_messages_until([] { return false; }, ms);
}

void post_command(int id)
{
    PostMessageW(main_window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
    pump_messages_for(20);
}

bool client_area_is(HWND hwnd, int width, int height)
{
    RECT r;
    XGeometry g;
    return GetClientRect(hwnd, &r) && r.right == width && r.bottom == height &&
           x_window_geometry((unsigned long)(uintptr_t)hwnd, &g) && g.width == width && g.height == height;
}
