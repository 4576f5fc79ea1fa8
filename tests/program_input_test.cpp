// The real program against a test portal, driven with xdotool on a display of its own,
// with a window manager (openbox) and without: a click and typed text reach the page,
// right and middle clicks do not, F1 types nothing, a click at 50 % lands where it
// points, and File > Exit ends the program with exit code 0.
//
// The program asks the built-in address 127.0.0.1:8080 for its version check and
// portal, so everything runs in a network namespace of its own, where that port is the
// test's; X is reached through the server's socket file, which the namespace leaves alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/http_server.h"
#include "tests/support/program_run.h"
#include "tests/support/x_session.h"

namespace {

const char portal_page[] = R"(<!DOCTYPE html>
<html><head><title>test portal</title></head>
<body style="margin:0; background:#F048E0">
<input id="field" style="position:absolute; left:50px; top:30px; width:200px; height:40px">
<script>
function log(s) { console.log('portal ' + s); }
document.addEventListener('mousedown', e => log('down' + e.button + '@' + e.clientX + ',' + e.clientY));
document.addEventListener('keydown', e => log('kd' + e.keyCode));
document.addEventListener('keypress', e => log('kp' + e.charCode));
document.addEventListener('keyup', e => log('ku' + e.keyCode));
document.getElementById('field').addEventListener('input', e => log('value:' + e.target.value));
window.addEventListener('load', () => log('ready'));
</script></body></html>)";

class ProgramInput : public ProgramTest, public testing::WithParamInterface<bool> {
protected:
    bool window_manager() const override { return GetParam(); }
};

TEST_P(ProgramInput, ClicksAndTypingReachThePortalAndExitEndsWithZero)
{
    run_in_netns(
        [] {
            LoopbackHttpServer server;
            ASSERT_TRUE(server.start(8080));
            server.set_page("/cgi-bin/zandoro_version_check", "text/plain", "OK");
            server.set_page("/portal/index.html", "text/html", portal_page);
            WorkDir dir(video_size_config);
            ASSERT_TRUE(dir.ok());

            ProgramRun program;
            ASSERT_TRUE(program.start_program(dir.path()));
            ASSERT_TRUE(program.wait_for("portal ready")) << program.out() << program.err();
            MainWindow w;
            ASSERT_TRUE(main_window_find(&w)) << program.out() << program.err();
            // Pointer and keys through XTEST, as a mouse and a keyboard would send them.
            auto click = [&](int x, int y, int button) {
                x_command("timeout 60 xdotool mousemove --sync --window " + w.client + " " + std::to_string(x) +
                          " " + std::to_string(y) + "; xdotool click " + std::to_string(button));
            };

            // A left click on the field: the page sees it where it was, and takes the keys.
            click(100, 50, 1);
            EXPECT_TRUE(program.wait_for("portal down0@100,50")) << program.out();
            x_command("xdotool type --delay 50 hi");
            EXPECT_TRUE(program.wait_for("portal value:hi")) << program.out();
            x_command("xdotool key F1");
            EXPECT_TRUE(program.wait_for("portal ku112")) << program.out();

            // Right and middle clicks go nowhere; the left click after them shows it.
            click(400, 300, 3);
            click(410, 300, 2);
            click(420, 300, 1);
            EXPECT_TRUE(program.wait_for("portal down0@420,300")) << program.out();

            // At 50 % a click lands on the spot of the page it points at.
            x_command("xdotool key alt+v Down Return");
            ASSERT_TRUE(main_window_size_becomes(&w, 512, 288)) << "client area " << w.width << "x" << w.height;
            click(100, 50, 1);
            EXPECT_TRUE(program.wait_for("portal down0@200,100")) << program.out();

            x_command("xdotool key alt+f x");
            EXPECT_EQ(program.wait_exit(test_deadline_ms), 0) << program.out() << program.err();

            std::string out = program.out();
            EXPECT_EQ(count_of(out, "portal down"), 3) << out;
            EXPECT_EQ(count_of(out, "portal down1@"), 0) << out;
            EXPECT_EQ(count_of(out, "portal down2@"), 0) << out;
            EXPECT_NE(out.find("Mouse down at (100,50)\n"), std::string::npos) << out;
            EXPECT_NE(out.find("Mouse down at (420,300)\n"), std::string::npos) << out;
            EXPECT_NE(out.find("Mouse down at (200,100)\n"), std::string::npos) << out;
            EXPECT_EQ(count_of(out, "Mouse down at"), 3) << out;
            // F1: a key down and up, and no character.
            size_t f1 = out.find("portal kd112");
            ASSERT_NE(f1, std::string::npos) << out;
            std::string after_f1 = out.substr(f1, out.find("portal ku112") - f1);
            EXPECT_EQ(after_f1.find("portal kp"), std::string::npos) << after_f1;
            // Each typed letter came as a key down, a character and a key up.
            EXPECT_NE(out.find("portal kp104"), std::string::npos) << out;
            EXPECT_NE(out.find("portal kp105"), std::string::npos) << out;
        },
        program_test_limit_ms);
}

const char tab_portal_page[] = R"(<!DOCTYPE html>
<html><head><title>tab portal</title></head>
<body style="margin:0; background:#F048E0">
<input id="first"><input id="last">
<script>
function log(s) { console.log('portal ' + s); }
document.addEventListener('keydown', e => { if (e.keyCode != 16) log('kd' + e.keyCode); });
window.addEventListener('load', () => log('ready'));
</script></body></html>)";

// Keys from the keyboard after the portal's focus went past its last element with Tab,
// and past its first with Shift+Tab: each of 50 letters reaches the page, in order.
TEST_P(ProgramInput, EveryKeyReachesThePortalAfterTabbingPastItsEnds)
{
    run_in_netns(
        [] {
            LoopbackHttpServer server;
            ASSERT_TRUE(server.start(8080));
            server.set_page("/cgi-bin/zandoro_version_check", "text/plain", "OK");
            server.set_page("/portal/index.html", "text/html", tab_portal_page);
            WorkDir dir(video_size_config);
            ASSERT_TRUE(dir.ok());

            ProgramRun program;
            ASSERT_TRUE(program.start_program(dir.path()));
            ASSERT_TRUE(program.wait_for("portal ready")) << program.out() << program.err();
            MainWindow w;
            ASSERT_TRUE(main_window_find(&w, test_deadline_ms)) << program.out() << program.err();

            std::string letters, expected;
            for (int i = 0; i < 50; i++) {
                letters += std::string(letters.empty() ? "" : " ") + (char)('a' + i % 26);
                expected += "portal kd" + std::to_string(65 + i % 26) + "\n";
            }
            // From the start: into the first field, the last, then out past the end.
            main_window_keys(w, "a b c Tab Tab Tab");
            ASSERT_TRUE(program.wait_for("portal kd9", 60000, 3)) << program.out();
            main_window_keys(w, letters);
            // Back: into the last field, the first, then out past the start.
            main_window_keys(w, "shift+Tab shift+Tab shift+Tab");
            ASSERT_TRUE(program.wait_for("portal kd9", 60000, 6)) << program.out();
            main_window_keys(w, letters);
            std::string want = "portal kd65\nportal kd66\nportal kd67\nportal kd9\nportal kd9\nportal kd9\n" +
                               expected + "portal kd9\nportal kd9\nportal kd9\n" + expected;
            auto seen = [&] {
                std::string out = program.out(), keys;
                for (size_t at = out.find("portal kd"); at != std::string::npos; at = out.find("portal kd", at + 1))
                    keys += out.substr(at, out.find('\n', at) + 1 - at);
                return keys;
            };
            for (long long end = program_now_ms() + 60000; seen().size() < want.size() && program_now_ms() < end;)
                usleep(50000);
            usleep(300000);  // anything after the last key would be an extra
            EXPECT_EQ(seen(), want);

            x_command("xdotool key alt+f x");
            EXPECT_EQ(program.wait_exit(test_deadline_ms), 0) << program.out() << program.err();
        },
        program_test_limit_ms);
}

INSTANTIATE_TEST_SUITE_P(X, ProgramInput, testing::Bool(), [](const testing::TestParamInfo<bool> &info) {
    return info.param ? "WithWindowManager" : "WithoutWindowManager";
});

}  // namespace
