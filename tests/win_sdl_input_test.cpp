// What SDL sees of real X input on the window it draws into: keys with their symbol,
// modifiers, scan code and character, buttons and the wheel, and the loss of the input
// focus. xdotool types and clicks through XTEST on a display of the test's own.
#include <SDL.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/main_window.h"
#include "tests/support/netns.h"
#include "tests/support/window_harness.h"
#include "tests/support/x_session.h"

namespace {

class SdlInput : public testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!x_session_start(&x_, false, &why))
            GTEST_SKIP() << why;
    }
    void TearDown() override { x_session_stop(&x_); }
    XSession x_;
};

// Takes what SDL queued, less the pointer's motion and its coming and going.
void take_events(std::vector<SDL_Event> *out)
{
    SDL_Event e;
    while (SDL_PollEvent(&e))
        if (e.type != SDL_MOUSEMOTION && !(e.type == SDL_ACTIVEEVENT && e.active.state == SDL_APPMOUSEFOCUS))
            out->push_back(e);
}

bool is_end_mark(const SDL_Event &e)
{
    return (e.type == SDL_KEYDOWN || e.type == SDL_KEYUP) && e.key.keysym.sym == SDLK_F12;
}

// Runs the xdotool command against the window and returns what SDL queued for it.
// (xdotool lets go of the keys of a chord in the order it pressed them.) An F12 typed
// after the command reaches the window after all the command made, so once its release
// is in, so is everything else; the F12 is left out of the result.
std::vector<SDL_Event> events_of(const std::string &command)
{
    x_command("timeout 60 xdotool " + command + " key F12");
    std::vector<SDL_Event> got;
    bool ended = pump_messages_until([&] {
        take_events(&got);
        for (const SDL_Event &e : got)
            if (e.type == SDL_KEYUP && is_end_mark(e))
                return true;
        return false;
    });
    EXPECT_TRUE(ended) << "the F12 after '" << command << "' never came; " << got.size() << " events did";
    std::vector<SDL_Event> out;
    for (const SDL_Event &e : got)
        if (!is_end_mark(e))
            out.push_back(e);
    return out;
}

// What SDL queued once it holds at least `count` events, for input that cannot be marked
// off by a key.
std::vector<SDL_Event> events_until(size_t count)
{
    std::vector<SDL_Event> got;
    pump_messages_until([&] {
        take_events(&got);
        return got.size() >= count;
    });
    return got;
}

struct Key {
    int type, sym, mod, unicode;
};

void expect_keys(const std::string &command, const std::vector<Key> &want)
{
    SCOPED_TRACE(command);
    std::vector<SDL_Event> got = events_of(command);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].type, want[i].type);
        EXPECT_EQ(got[i].key.keysym.sym, want[i].sym);
        EXPECT_EQ(got[i].key.keysym.mod & ~(KMOD_NUM | KMOD_CAPS), want[i].mod);
        EXPECT_EQ(got[i].key.keysym.unicode, want[i].unicode);
    }
}

TEST_F(SdlInput, KeysButtonsAndFocusBecomeSdlEvents)
{
    ChildRun child = child_run(
        [] {
            if (!window_harness_up())
                return;
            KillTimer(main_window, 1);  // the test reads SDL's queue itself
            std::string id = std::to_string((unsigned long)(uintptr_t)main_window);
            // What the pointer's arrival queued is out of the way once the mark is in.
            events_of("mousemove --sync --window " + id + " 10 10");

            const int D = SDL_KEYDOWN, U = SDL_KEYUP;
            std::vector<SDL_Event> a = events_of("key a");
            ASSERT_EQ(a.size(), 2u);
            EXPECT_EQ(a[0].key.keysym.scancode, 38);  // the X key code of "a"
            expect_keys("key a", {{D, 'a', 0, 'a'}, {U, 'a', 0, 0}});
            expect_keys("key shift+a", {{D, SDLK_LSHIFT, KMOD_LSHIFT, 0},
                                        {D, 'a', KMOD_LSHIFT, 'A'},
                                        {U, SDLK_LSHIFT, 0, 0},
                                        {U, 'a', 0, 0}});
            expect_keys("key shift+1", {{D, SDLK_LSHIFT, KMOD_LSHIFT, 0},
                                        {D, '1', KMOD_LSHIFT, '!'},
                                        {U, SDLK_LSHIFT, 0, 0},
                                        {U, '1', 0, 0}});
            expect_keys("key ctrl+a", {{D, SDLK_LCTRL, KMOD_LCTRL, 0},
                                       {D, 'a', KMOD_LCTRL, 1},
                                       {U, SDLK_LCTRL, 0, 0},
                                       {U, 'a', 0, 0}});
            expect_keys("key F1 Return Escape", {{D, SDLK_F1, 0, 0}, {U, SDLK_F1, 0, 0},
                                                 {D, SDLK_RETURN, 0, 13}, {U, SDLK_RETURN, 0, 0},
                                                 {D, SDLK_ESCAPE, 0, 27}, {U, SDLK_ESCAPE, 0, 0}});
            expect_keys("key KP_End", {{D, SDLK_KP1, 0, 0}, {U, SDLK_KP1, 0, 0}});

            struct Click {
                std::string command;
                int button;
            } clicks[] = {{"click 1", 1}, {"click 2", 2}, {"click 3", 3}, {"click 4", 4}, {"click 5", 5}};
            x_command("timeout 60 xdotool mousemove --sync --window " + id + " 30 40");
            for (const Click &c : clicks) {
                SCOPED_TRACE(c.command);
                std::vector<SDL_Event> got = events_of(c.command);
                ASSERT_EQ(got.size(), 2u);
                EXPECT_EQ(got[0].type, SDL_MOUSEBUTTONDOWN);
                EXPECT_EQ(got[1].type, SDL_MOUSEBUTTONUP);
                for (const SDL_Event &b : got) {
                    EXPECT_EQ(b.button.button, c.button);
                    EXPECT_EQ(b.button.x, 30);
                    EXPECT_EQ(b.button.y, 40);
                }
            }

            // Another window takes the keyboard: SDL hears the input focus is lost.
            WNDCLASSEXW wc = {};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = DefWindowProcW;
            wc.lpszClassName = L"other";
            ASSERT_NE(RegisterClassExW(&wc), 0);
            HWND other = CreateWindowExW(0, L"other", L"other", WS_OVERLAPPEDWINDOW, 600, 600, 200, 100,
                                         nullptr, nullptr, nullptr, nullptr);
            ASSERT_NE(other, nullptr);
            ShowWindow(other, SW_SHOWNORMAL);
            std::vector<SDL_Event> focus = events_until(1);
            ASSERT_EQ(focus.size(), 1u);
            EXPECT_EQ(focus[0].type, SDL_ACTIVEEVENT);
            EXPECT_EQ(focus[0].active.gain, 0);
            EXPECT_EQ(focus[0].active.state, SDL_APPINPUTFOCUS);
        },
        program_test_limit_ms);
    EXPECT_TRUE(child_ok(child));
}

}  // namespace
