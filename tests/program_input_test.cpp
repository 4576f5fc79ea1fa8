// The real program against a test portal, driven with xdotool on a display of its own,
// with a window manager (openbox) and without: a click and typed text reach the page,
// right and middle clicks do not, F1 types nothing, a click at 50 % lands where it
// points, and File > Exit ends the program with exit code 0.
//
// The program asks the built-in address 127.0.0.1:8080 for its version check and
// portal, so everything runs in a network namespace of its own, where that port is the
// test's; X is reached through the server's socket file, which the namespace leaves alone.
#include <gtest/gtest.h>
#include <libgen.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/http_server.h"
#include "tests/support/netns.h"
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

std::string program_path()
{
    std::string dir = ZANDORO_WEBEXT_DIR;
    return dir.substr(0, dir.rfind('/')) + "/zandoro";
}

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The program as a child with its standard output read into a string.
class Program {
public:
    bool start(const std::string &dir)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            if (chdir(dir.c_str()) != 0)
                _exit(126);
            setenv("SDL_AUDIODRIVER", "dummy", 1);
            setenv("NO_AT_BRIDGE", "1", 1);
            setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
            setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
            std::string path = program_path();
            execl(path.c_str(), path.c_str(), (char *)nullptr);
            _exit(127);
        }
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) {
                std::lock_guard<std::mutex> hold(lock_);
                out_.append(buf, (size_t)n);
            }
            close(fd);
        });
        return pid_ > 0;
    }

    std::string out()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return out_;
    }

    bool wait_for(const std::string &text, int timeout_ms = 15000)
    {
        long long end = now_ms() + timeout_ms;
        while (out().find(text) == std::string::npos) {
            if (now_ms() > end)
                return false;
            usleep(10000);
        }
        return true;
    }

    // The exit code, or -1 when it did not end in time (it is killed then) or died of a signal.
    int wait_exit(int timeout_ms)
    {
        long long end = now_ms() + timeout_ms;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (now_ms() > end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                status = -1;
                break;
            }
            usleep(10000);
        }
        reader_.join();
        pid_ = -1;
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~Program()
    {
        if (pid_ > 0)
            wait_exit(0);
    }

private:
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::string out_;
};

// The main window's client area: the toplevel's largest child window.
std::string client_window(const std::string &toplevel)
{
    std::istringstream lines(x_command("xwininfo -children -id " + toplevel));
    std::string line, best;
    long best_area = 0;
    // "     0x200021 (has no name): ()  1020x572+2+27  +2+27"
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string id, word;
        words >> id;
        if (id.compare(0, 2, "0x") != 0)
            continue;
        while (words >> word) {
            int w, h;
            char sign;
            if (sscanf(word.c_str(), "%dx%d%c", &w, &h, &sign) == 3 && (sign == '+' || sign == '-')) {
                if ((long)w * h > best_area) {
                    best_area = (long)w * h;
                    best = id;
                }
                break;
            }
        }
    }
    return best;
}

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

class ProgramInput : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        NETNS_REQUIRE();
        struct stat st;
        if (stat(program_path().c_str(), &st) != 0)
            GTEST_SKIP() << "the program is not built: " << program_path();
        std::string why;
        if (!x_session_start(&x_, GetParam(), &why))
            GTEST_SKIP() << why;
    }
    void TearDown() override { x_session_stop(&x_); }
    XSession x_;
};

TEST_P(ProgramInput, ClicksAndTypingReachThePortalAndExitEndsWithZero)
{
    ChildRun run = netns_run(
        [] {
            LoopbackHttpServer server;
            ASSERT_TRUE(server.start(8080));
            server.set_page("/cgi-bin/zandoro_version_check", "text/plain", "OK");
            server.set_page("/portal/index.html", "text/html", portal_page);
            char dir[] = "/tmp/zandoro-program-XXXXXX";
            ASSERT_NE(mkdtemp(dir), nullptr);
            FILE *config = fopen((std::string(dir) + "/config.dat").c_str(), "w");
            ASSERT_NE(config, nullptr);
            fputs("video_w:1024\nvideo_h:576\n", config);
            fclose(config);

            Program program;
            ASSERT_TRUE(program.start(dir));
            ASSERT_TRUE(program.wait_for("portal ready")) << program.out();
            std::string top = x_command("timeout 10 xdotool search --sync --onlyvisible --name '^Tarnell$'");
            top = top.substr(0, top.find('\n'));
            ASSERT_FALSE(top.empty());
            std::string client = client_window(top);
            ASSERT_FALSE(client.empty());
            // Pointer and keys through XTEST, as a mouse and a keyboard would send them.
            auto click = [&](int x, int y, int button) {
                x_command("timeout 5 xdotool mousemove --sync --window " + client + " " + std::to_string(x) +
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
            usleep(500000);
            click(100, 50, 1);
            EXPECT_TRUE(program.wait_for("portal down0@200,100")) << program.out();

            x_command("xdotool key alt+f x");
            EXPECT_EQ(program.wait_exit(15000), 0) << program.out();

            std::string out = program.out();
            EXPECT_EQ(count(out, "portal down"), 3) << out;
            EXPECT_EQ(count(out, "portal down1@"), 0) << out;
            EXPECT_EQ(count(out, "portal down2@"), 0) << out;
            EXPECT_NE(out.find("Mouse down at (100,50)\n"), std::string::npos) << out;
            EXPECT_NE(out.find("Mouse down at (420,300)\n"), std::string::npos) << out;
            EXPECT_NE(out.find("Mouse down at (200,100)\n"), std::string::npos) << out;
            EXPECT_EQ(count(out, "Mouse down at"), 3) << out;
            // F1: a key down and up, and no character.
            size_t f1 = out.find("portal kd112");
            ASSERT_NE(f1, std::string::npos) << out;
            std::string after_f1 = out.substr(f1, out.find("portal ku112") - f1);
            EXPECT_EQ(after_f1.find("portal kp"), std::string::npos) << after_f1;
            // Each typed letter came as a key down, a character and a key up.
            EXPECT_NE(out.find("portal kp104"), std::string::npos) << out;
            EXPECT_NE(out.find("portal kp105"), std::string::npos) << out;
        },
        90000);
    EXPECT_TRUE(child_ok(run));
}

INSTANTIATE_TEST_SUITE_P(X, ProgramInput, testing::Bool(), [](const testing::TestParamInfo<bool> &info) {
    return info.param ? "WithWindowManager" : "WithoutWindowManager";
});

}  // namespace
