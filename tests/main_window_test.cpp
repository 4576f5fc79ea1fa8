// The main window on a real X server, with a window manager (openbox) and without:
// scales, full screen and back, the deactivation and focus rules, the about dialog
// under a running timer, and the ways the program ends. Each case runs in a child
// process on a display of its own.
#include <SDL.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/win32/win_resource.h"
#include "shell/config.h"
#include "shell/main_window.h"
#include "shell/resources.h"
#include "tests/support/capture.h"
#include "tests/support/netns.h"
#include "tests/support/window_harness.h"
#include "tests/support/x_session.h"

namespace {

constexpr int W = 1024, H = 576;  // the configuration's defaults
constexpr int monitor_w = 1920, monitor_h = 1080;

class MainWindow : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        std::string why;
        if (!x_session_start(&x_, GetParam(), &why))
            GTEST_SKIP() << why;
    }
    void TearDown() override { x_session_stop(&x_); }

    // The body runs in a child with the window up.
    void run(const std::function<void()> &body)
    {
        ChildRun child = child_run(
            [&] {
                if (window_harness_up())
                    body();
            },
            program_test_limit_ms);
        EXPECT_TRUE(child_ok(child));
    }

    bool with_wm() const { return GetParam(); }

    XSession x_;
};

std::string wm_name(const testing::TestParamInfo<bool> &info)
{
    return info.param ? "WithWindowManager" : "WithoutWindowManager";
}

bool settles_to(int width, int height)
{
    return pump_messages_until([&] { return client_area_is(main_window, width, height); });
}

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Whether the window manager has taken the main window on: mapped it in its frame, which it
// does once it has placed it.
bool managed_by_the_window_manager()
{
    std::string top = x_command("timeout 60 xdotool search --onlyvisible --name '^Tarnell$'");
    top = top.substr(0, top.find('\n'));
    return !top.empty() &&
           x_command("timeout 60 xprop -id " + top + " _NET_FRAME_EXTENTS").find(" = ") != std::string::npos;
}

void expect_client_area(int width, int height)
{
    RECT r = {};
    EXPECT_TRUE(settles_to(width, height)) << "client area is "
                                           << (GetClientRect(main_window, &r), r.right) << " x "
                                           << r.bottom << ", not " << width << " x " << height;
}

TEST_P(MainWindow, ScalesGiveTheirClientAreaAndVideoMode)
{
    run([] {
        // The start-up size counts the client edge, so the whole picture shows.
        expect_client_area(W, H);
        EXPECT_EQ(sdl_screen->w, W);
        EXPECT_EQ(sdl_screen->h, H);

        struct Case {
            int command, scale, width, height;
        };
        for (Case c : {Case{menu_scale_100, 100, W, H}, Case{menu_scale_50, 50, W / 2, H / 2},
                       Case{menu_scale_25, 25, W / 4, H / 4}, Case{menu_scale_100, 100, W, H}}) {
            SCOPED_TRACE(c.command);
            post_command(c.command);
            expect_client_area(c.width, c.height);
            EXPECT_EQ(view_scale, c.scale);
            EXPECT_EQ(saved_view_scale, c.scale);
            EXPECT_EQ(sdl_screen->w, c.width);
            EXPECT_EQ(sdl_screen->h, c.height);
        }
        // The overlay was made once and stays.
        EXPECT_EQ(yuv_overlay->w, W);
        EXPECT_EQ(yuv_overlay->h, H);
    });
}

TEST_P(MainWindow, FullScreenCoversTheMonitorAndLeavingRestoresTheWindow)
{
    run([this] {
        post_command(menu_scale_50);
        expect_client_area(W / 2, H / 2);
        if (with_wm()) {
            ASSERT_TRUE(pump_messages_until(managed_by_the_window_manager))
                << "the window manager never framed the window";
        }
        RECT before;
        GetWindowRect(main_window, &before);
        POINT client_before = {0, 0};
        ClientToScreen(main_window, &client_before);
        HMENU menu = GetMenu(main_window);
        ASSERT_NE(menu, nullptr);

        post_command(menu_fullscreen);
        XGeometry g = {};
        EXPECT_TRUE(pump_messages_until([&] {
            return client_area_is(main_window, monitor_w, monitor_h) &&
                   x_window_geometry((unsigned long)(uintptr_t)main_window, &g) && g.x == 0 && g.y == 0;
        })) << "client at " << g.x << "," << g.y << " " << g.width << " x " << g.height;
        EXPECT_EQ(fullscreen, 1);
        EXPECT_EQ(view_scale, 187);  // 1920 / 1024 x 100, truncated
        EXPECT_EQ(saved_view_scale, 50);
        EXPECT_EQ(sdl_screen->w, monitor_w);
        EXPECT_EQ(sdl_screen->h, monitor_h);
        EXPECT_EQ(GetMenu(main_window), nullptr);
        EXPECT_EQ((DWORD)GetWindowLongW(main_window, GWL_STYLE), 0x000B0000u);
        EXPECT_EQ((DWORD)GetWindowLongW(main_window, GWL_EXSTYLE), 0u);

        // Asking again changes nothing.
        ui_set_fullscreen(true);
        EXPECT_EQ(view_scale, 187);
        EXPECT_EQ(saved_view_scale, 50);

        // A scale leaves full screen first, then applies itself.
        post_command(menu_scale_25);
        expect_client_area(W / 4, H / 4);
        EXPECT_EQ(fullscreen, 0);
        EXPECT_EQ(view_scale, 25);
        EXPECT_EQ(saved_view_scale, 25);
        EXPECT_EQ(sdl_screen->w, W / 4);
        EXPECT_EQ(GetMenu(main_window), menu);
        EXPECT_EQ((DWORD)GetWindowLongW(main_window, GWL_STYLE), 0x00CB0000u);
        EXPECT_EQ((DWORD)GetWindowLongW(main_window, GWL_EXSTYLE), (DWORD)WS_EX_CLIENTEDGE);
        POINT client_after = {0, 0};
        EXPECT_TRUE(pump_messages_until([&] {
            client_after = {0, 0};
            ClientToScreen(main_window, &client_after);
            return client_after.x == client_before.x && client_after.y == client_before.y;
        })) << "client back at " << client_after.x << "," << client_after.y << ", was at "
            << client_before.x << "," << client_before.y;
    });
}

TEST_P(MainWindow, DeactivationLeavesFullScreenButMinimisingDoesNot)
{
    run([] {
        post_command(menu_fullscreen);
        ASSERT_TRUE(settles_to(monitor_w, monitor_h));
        SendMessageW(main_window, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 1), 0);
        SendMessageW(main_window, WM_ACTIVATE, WA_ACTIVE, 0);
        EXPECT_EQ(fullscreen, 1);
        SendMessageW(main_window, WM_ACTIVATE, WA_INACTIVE, 0);
        EXPECT_EQ(fullscreen, 0);
        EXPECT_EQ(view_scale, 100);
        expect_client_area(W, H);
    });
}

TEST_P(MainWindow, LosingTheInputFocusLeavesFullScreenButNotTheMouseFocus)
{
    run([] {
        auto lose = [](Uint8 state) {
            SDL_Event e = {};
            e.active.type = SDL_ACTIVEEVENT;
            e.active.gain = 0;
            e.active.state = state;
            SDL_PushEvent(&e);
            SendMessageW(main_window, WM_TIMER, 1, 0);
        };
        lose(SDL_APPINPUTFOCUS);  // in a window: nothing to leave
        EXPECT_EQ(fullscreen, 0);
        EXPECT_EQ(view_scale, 100);

        post_command(menu_fullscreen);
        ASSERT_TRUE(settles_to(monitor_w, monitor_h));
        EXPECT_EQ(fullscreen, 1) << "full screen did not last";
        lose(SDL_APPMOUSEFOCUS);
        EXPECT_EQ(fullscreen, 1);
        lose(SDL_APPINPUTFOCUS | SDL_APPMOUSEFOCUS);
        EXPECT_EQ(fullscreen, 0);
        expect_client_area(W, H);
    });
}

bool dialog_up()
{
    return !x_command("xdotool search --onlyvisible --name '^About Tarnell$'").empty();
}

// How a test closes the about dialog, by xdotool.
enum class CloseBy { close_button, return_key, escape_key, close_box };

void about_dialog_closes(CloseBy how)
{
    std::atomic<bool> seen{false}, tick_ran{false}, closed{false}, done{false};
    std::thread driver([&] {
        std::string id = x_command("timeout 60 xdotool search --sync --onlyvisible --name '^About Tarnell$'");
        id = id.substr(0, id.find('\n'));
        seen = !id.empty();
        if (seen) {
            // The window timer goes on under the dialog: the pump drains this.
            SDL_Event e = {};
            e.type = SDL_USEREVENT;
            SDL_PushEvent(&e);
            for (long long end = now_ms() + test_deadline_ms; !tick_ran && now_ms() < end;) {
                usleep(5000);
                tick_ran = SDL_PeepEvents(&e, 1, SDL_PEEKEVENT, SDL_ALLEVENTS) == 0;
            }
            XGeometry g = {};
            x_window_geometry(std::stoul(id), &g);
            // Keys through XTEST to the focused dialog, as a keyboard would send them.
            std::string focus = "timeout 60 xdotool windowfocus --sync " + id + "; xdotool ";
            switch (how) {
            case CloseBy::close_button:
                // The button's middle, from the template: (46 + 37 / 2, 86 + 14 / 2) of 129 x 110.
                x_command("timeout 60 xdotool mousemove --sync --window " + id + " " +
                          std::to_string(g.width * 64 / 129) + " " + std::to_string(g.height * 93 / 110) +
                          "; xdotool click 1");
                break;
            case CloseBy::return_key:
                x_command(focus + "key Return");
                break;
            case CloseBy::escape_key:
                x_command(focus + "key Escape");
                break;
            case CloseBy::close_box:
                // The window manager closes the window it has active; it may still be
                // busy taking the new dialog on, so ask again while the dialog stays.
                for (long long end = now_ms() + test_deadline_ms; dialog_up() && now_ms() < end;) {
                    x_command("timeout 10 xdotool windowactivate --sync " + id + "; xdotool key alt+F4");
                    usleep(300000);
                }
                break;
            }
            for (long long end = now_ms() + test_deadline_ms; dialog_up() && now_ms() < end;)
                usleep(10000);
            closed = !dialog_up();
            if (!closed)  // let the test end with its failure rather than hang
                x_command("timeout 60 xdotool windowfocus --sync " + id + "; xdotool key Escape");
        }
        done = true;
    });
    PostMessageW(main_window, WM_COMMAND, MAKEWPARAM(menu_about, 0), 0);
    // The command's dispatch runs the dialog's loop, so this returns once it ended.
    pump_messages_until([&] { return done.load(); }, program_test_limit_ms);
    driver.join();
    EXPECT_TRUE(seen) << "no dialog";
    EXPECT_TRUE(tick_ran) << "the window timer stopped under the dialog";
    EXPECT_TRUE(closed) << "the dialog stayed";
    // The main window is still there and working.
    EXPECT_TRUE(IsWindow(main_window));
    post_command(menu_scale_50);
    expect_client_area(W / 2, H / 2);
}

TEST_P(MainWindow, AboutDialogClosesOnItsCloseButton)
{
    run([] { about_dialog_closes(CloseBy::close_button); });
}

TEST_P(MainWindow, AboutDialogClosesOnReturnAndEscape)
{
    run([] {
        about_dialog_closes(CloseBy::return_key);
        about_dialog_closes(CloseBy::escape_key);
    });
}

TEST_P(MainWindow, AboutDialogClosesOnItsCloseBox)
{
    if (!with_wm())
        GTEST_SKIP() << "the close box belongs to the window manager";
    run([] { about_dialog_closes(CloseBy::close_box); });
}

// To the window manager the about dialog is a dialog of the main window that cannot be
// sized, so none offers to size or maximise it.
TEST_P(MainWindow, AboutDialogIsADialogOfTheMainWindow)
{
    if (!with_wm())
        GTEST_SKIP() << "what the dialog allows is the window manager's statement";
    run([] {
        std::atomic<bool> done{false};
        std::thread driver([&] {
            std::string id = x_command("timeout 10 xdotool search --sync --onlyvisible --name '^About Tarnell$'");
            id = id.substr(0, id.find('\n'));
            std::string main_id = x_command("xdotool search --onlyvisible --name '^Tarnell$'");
            main_id = main_id.substr(0, main_id.find('\n'));
            if (id.empty() || main_id.empty()) {
                ADD_FAILURE() << "no dialog or no main window";
            } else {
                std::string actions;
                for (int i = 0; i < 500 && actions.find("_NET_WM_ACTION_CLOSE") == std::string::npos; i++) {
                    actions = x_command("timeout 5 xprop -id " + id + " _NET_WM_ALLOWED_ACTIONS");
                    usleep(10000);
                }
                std::string props = x_command("timeout 5 xprop -id " + id + " _NET_WM_WINDOW_TYPE WM_TRANSIENT_FOR");
                char owner[64];
                snprintf(owner, sizeof owner, "WM_TRANSIENT_FOR(WINDOW): window id # 0x%lx", std::stoul(main_id));
                EXPECT_NE(props.find("_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_DIALOG"), std::string::npos)
                    << props;
                EXPECT_NE(props.find(owner), std::string::npos) << props << "main window " << main_id;
                EXPECT_NE(actions.find("_NET_WM_ACTION_CLOSE"), std::string::npos) << actions;
                EXPECT_EQ(actions.find("_NET_WM_ACTION_MAXIMIZE"), std::string::npos) << actions;
                EXPECT_EQ(actions.find("_NET_WM_ACTION_RESIZE"), std::string::npos) << actions;
                x_command("timeout 5 xdotool windowfocus --sync " + id + "; xdotool key Escape");
            }
            done = true;
        });
        PostMessageW(main_window, WM_COMMAND, MAKEWPARAM(menu_about, 0), 0);
        pump_messages_until([&] { return done.load() && !dialog_up(); }, 20000);
        driver.join();
        EXPECT_FALSE(dialog_up());
    });
}

TEST_P(MainWindow, ExitEndsTheLoopWithZeroAndSdlLetsGoOfTheWindow)
{
    run([] {
        HWND hwnd = main_window;
        PostMessageW(main_window, WM_COMMAND, MAKEWPARAM(menu_exit, 0), 0);
        EXPECT_EQ(ui_message_loop(), 0);
        EXPECT_FALSE(IsWindow(hwnd));
        EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
    });
}

TEST_P(MainWindow, TheSystemCloseCommandEndsTheLoopWithZero)
{
    run([this] {
        if (!with_wm()) {
            // What the close box and SIGTERM both post.
            raise(SIGTERM);
            EXPECT_EQ(ui_message_loop(), 0);
            return;
        }
        // The window manager's close (Alt+F4 on the focused window), until it is heard.
        std::atomic<bool> ended{false};
        std::thread closer([&] {
            for (long long end = now_ms() + test_deadline_ms; !ended && now_ms() < end;) {
                // Through XTEST, where the window manager's key grab sees it.
                x_command("timeout 10 xdotool search --onlyvisible --name '^Tarnell$' windowactivate --sync; "
                          "xdotool key alt+F4");
                usleep(250000);
            }
        });
        EXPECT_EQ(ui_message_loop(), 0);
        ended = true;
        closer.join();
    });
}

INSTANTIATE_TEST_SUITE_P(X, MainWindow, testing::Bool(), wm_name);

// No display needed: the class is refused before anything else happens.
TEST(MainWindowStart, RegistrationFailureShowsItsBoxAndReturnsZero)
{
    ChildRun child = child_run([] {
        setenv("ZANDORO_TEST_MESSAGEBOX", "IDOK", 1);
        HINSTANCE instance = win_module_instance(&zandoro_resources);
        app_instance = instance;
        ASSERT_TRUE(ui_register_class(instance));  // the name is taken now
        int code = WinMain(instance, nullptr, nullptr, SW_SHOWDEFAULT);
        EXPECT_EQ(code, 0);
        EXPECT_EQ(main_window, nullptr);
    });
    EXPECT_TRUE(child_ok(child));
    EXPECT_NE(child.out.find("MessageBoxW icon=warning buttons=OK caption=\"Error!\" "
                             "text=\"Window Registration Failed!\" answer=IDOK"),
              std::string::npos)
        << child.out;
}

}  // namespace
