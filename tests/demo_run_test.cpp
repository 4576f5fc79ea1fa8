// The run command's start and stop of the demo (tools/demo-session, which tools/run ends
// in), from the outside with the real program on a display of its own under openbox:
// however the program ends (its window closed, File > Exit, Ctrl+C, killed), the demo
// server ends with it, port 8080 is free and a second run right after works; the server
// also ends when the run script itself is killed outright; and a taken port is said
// plainly, with the way to run on another one.
//
// Everything runs in a network namespace of its own, so port 8080 is the test's. The run
// script is started in a session of its own, so that a signal to its process group is
// what Ctrl+C in its terminal would send.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "tests/support/program_run.h"
#include "tests/support/x_session.h"

namespace {

// Generous: under a loaded machine the window has taken 15 s to appear.
constexpr int start_ms = 90000;
constexpr int end_ms = 60000;

std::string session_script()
{
    return std::string(ZANDORO_SOURCE_DIR) + "/tools/demo-session";
}

// A socket bound to 127.0.0.1:port as the demo server binds it; -1 when that fails.
// Listening on it (with room for the run script's probes) makes the port taken.
int bind_port(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool port_free(int port)
{
    int fd = bind_port(port);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

// The processes left in the session sid, one "pid name" line each.
std::string session_processes(pid_t sid)
{
    return x_command("ps -o pid=,comm= -s " + std::to_string(sid));
}

std::string program_pid(pid_t sid)
{
    std::string pid = x_command("pgrep -s " + std::to_string(sid) + " -x zandoro");
    return pid.substr(0, pid.find('\n'));
}

// Whether process pid has ended (gone, or a zombie not yet waited for).
bool process_ended(pid_t pid)
{
    std::string stat = x_command("cat /proc/" + std::to_string(pid) + "/stat 2>/dev/null");
    size_t close_paren = stat.rfind(')');
    return close_paren == std::string::npos || stat.compare(close_paren, 3, ") Z") == 0;
}

// Until text is in the run's output; false at the limit or when the run has ended first.
bool wait_for_output(ProgramRun &run, const std::string &text, int timeout_ms)
{
    long long end = program_now_ms() + timeout_ms;
    while (run.out().find(text) == std::string::npos) {
        if (program_now_ms() > end || process_ended(run.pid()))
            return run.out().find(text) != std::string::npos;
        usleep(20000);
    }
    return true;
}

// What the X server says of itself, for failure messages.
std::string display_state()
{
    std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    std::string info = x_command("timeout 10 xdpyinfo 2>&1 | head -n 3; ls -l /tmp/.X11-unix/X" +
                                 display.substr(display.find(':') + 1) + " 2>&1");
    return "display " + display + ": " + info;
}

template <class Done>
bool wait_until(Done done, int timeout_ms)
{
    long long end = program_now_ms() + timeout_ms;
    while (!done()) {
        if (program_now_ms() > end)
            return false;
        usleep(20000);
    }
    return true;
}

// The demo as tools/run runs it: the session script with this tree's program, the demo
// configuration and channels, on port 8080.
struct Session {
    explicit Session(WorkDir *d) : dir(d) {}
    WorkDir *dir;
    ProgramRun run;
    MainWindow window;

    testing::AssertionResult start()
    {
        if (!run.start({"setsid", session_script(), "--program", program_path(), "--dir", dir->path(), "--port",
                        "8080"},
                       dir->path()))
            return testing::AssertionFailure() << "the run script did not start";
        if (!wait_for_output(run, "run: demo portal server on http://127.0.0.1:8080/", start_ms))
            return testing::AssertionFailure() << "no demo server\n" << run.out() << run.err();
        // The portal loaded and asked for its first channel: the program is fully up.
        if (!wait_for_output(run, "media_play(igmp://239.1.1.1:5000)", start_ms))
            return testing::AssertionFailure() << "no Media_Play from the portal\n"
                                               << display_state() << "\n"
                                               << run.out() << run.err();
        if (!main_window_find(&window, start_ms))
            return testing::AssertionFailure() << "no main window\n" << run.out() << run.err();
        return testing::AssertionSuccess();
    }

    // Until the program has gone from the session.
    bool program_gone(int timeout_ms)
    {
        pid_t sid = run.pid();
        return wait_until([&] { return program_pid(sid).empty(); }, timeout_ms);
    }

    // The run's exit code, then: the port free at that moment and, soon after, nothing of
    // the session left (the web engine's helpers end a little after the program).
    testing::AssertionResult ended(int want_code)
    {
        pid_t sid = run.pid();
        int code = run.wait_exit(end_ms);
        bool free_then = port_free(8080);
        bool emptied = wait_until([&] { return session_processes(sid).empty(); }, end_ms);
        if (code == want_code && free_then && emptied)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "run exit code " << code << " (want " << want_code << "), port 8080 "
                                           << (free_then ? "free" : "still taken") << ", left in the session:\n"
                                           << session_processes(sid) << "\n"
                                           << run.out() << run.err();
    }

    void exit_from_menu()
    {
        // Escape first closes a menu an earlier try may have left open.
        for (int i = 0; i < 6; i++) {
            main_window_keys(window, i == 0 ? "alt+f x" : "Escape alt+f x");
            if (program_gone(10000))
                return;
        }
    }

    void close_window()
    {
        // The window manager's close, through XTEST where its key grab sees it.
        for (int i = 0; i < 20; i++) {
            x_command("timeout 5 xdotool windowactivate --sync " + window.toplevel + "; xdotool key alt+F4");
            if (program_gone(3000))
                return;
        }
    }
};

enum class Ending { window_closed, file_exit, ctrl_c, program_killed };

struct EndingCase {
    const char *name;
    Ending ending;
    int code;  // the run's exit code
};

class DemoRunEnding : public ProgramTest, public testing::WithParamInterface<EndingCase> {
protected:
    bool window_manager() const override { return true; }
};

TEST_P(DemoRunEnding, LeavesThePortFreeAndASecondRunWorks)
{
    EndingCase c = GetParam();
    run_in_netns(
        [c] {
            std::string why;
            std::string streams = demo_streams_dir(&why);
            ASSERT_FALSE(streams.empty()) << why;
            WorkDir dir(demo_config(), streams);
            ASSERT_TRUE(dir.ok());

            long long t0 = program_now_ms();
            {
                Session first(&dir);
                ASSERT_TRUE(first.start());
                switch (c.ending) {
                case Ending::window_closed:
                    first.close_window();
                    break;
                case Ending::file_exit:
                    first.exit_from_menu();
                    break;
                case Ending::ctrl_c:
                    // What the terminal sends to its foreground process group.
                    ASSERT_EQ(kill(-first.run.pid(), SIGINT), 0);
                    break;
                case Ending::program_killed: {
                    std::string pid = program_pid(first.run.pid());
                    ASSERT_FALSE(pid.empty()) << session_processes(first.run.pid());
                    ASSERT_EQ(kill(std::stoi(pid), SIGKILL), 0);
                    break;
                }
                }
                ASSERT_TRUE(first.ended(c.code));
            }
            long long t1 = program_now_ms();
            Session second(&dir);
            ASSERT_TRUE(second.start());
            second.exit_from_menu();
            ASSERT_TRUE(second.ended(0));
            figure("demo run ended by %s: first run %lld ms, second %lld ms", c.name, t1 - t0,
                   program_now_ms() - t1);
        },
        2 * start_ms + 2 * end_ms);
}

INSTANTIATE_TEST_SUITE_P(Endings, DemoRunEnding,
                         testing::Values(EndingCase{"WindowClosed", Ending::window_closed, 0},
                                         EndingCase{"FileExit", Ending::file_exit, 0},
                                         EndingCase{"CtrlC", Ending::ctrl_c, 130},
                                         EndingCase{"ProgramKilled", Ending::program_killed, 128 + SIGKILL}),
                         [](const testing::TestParamInfo<EndingCase> &info) { return info.param.name; });

class DemoSession : public ProgramTest {
protected:
    bool window_manager() const override { return true; }
};

TEST_F(DemoSession, TheServerAndTheProgramEndWhenTheRunScriptIsKilledOutright)
{
    run_in_netns(
        [] {
            std::string why;
            std::string streams = demo_streams_dir(&why);
            ASSERT_FALSE(streams.empty()) << why;
            WorkDir dir(demo_config(), streams);
            ASSERT_TRUE(dir.ok());
            Session s(&dir);
            ASSERT_TRUE(s.start());
            pid_t sid = s.run.pid();
            // The script alone: no trap of its own runs.
            ASSERT_EQ(kill(sid, SIGKILL), 0);
            EXPECT_EQ(s.run.wait_exit(end_ms), -1);
            EXPECT_TRUE(wait_until([] { return port_free(8080); }, end_ms)) << "port 8080 still taken";
            EXPECT_TRUE(wait_until([&] { return session_processes(sid).empty(); }, end_ms))
                << "left in the session:\n"
                << session_processes(sid);
        },
        start_ms + 3 * end_ms);
}

TEST_F(DemoSession, ATakenPortIsSaidWithTheWayToRunOnAnother)
{
    run_in_netns(
        [] {
            WorkDir dir(demo_config());
            ASSERT_TRUE(dir.ok());
            int holder = bind_port(8080);
            ASSERT_GE(holder, 0);
            ASSERT_EQ(listen(holder, 64), 0);
            // The check tools/run makes before building, and the run itself.
            for (bool check_only : {true, false}) {
                SCOPED_TRACE(check_only ? "--check-port" : "the run");
                ProgramRun run;
                std::vector<std::string> argv = {session_script(), "--port", "8080"};
                if (check_only)
                    argv = {session_script(), "--check-port", "8080"};
                else
                    argv.insert(argv.end(), {"--program", program_path(), "--dir", dir.path()});
                ASSERT_TRUE(run.start(argv, dir.path()));
                EXPECT_EQ(run.wait_exit(end_ms), 3);
                std::string err = run.err();
                EXPECT_NE(err.find("run: port 8080 on 127.0.0.1 is taken by another program"), std::string::npos)
                    << err;
                EXPECT_NE(err.find("pid " + std::to_string(getpid()) + ")"), std::string::npos) << err;
                EXPECT_NE(err.find("tools/run --port 8081"), std::string::npos) << err;
                EXPECT_EQ(run.out().find("media_play"), std::string::npos) << "the program ran:\n" << run.out();
            }
            // The suggestion is a port that is free: with 8081 taken too, the next one.
            int second = bind_port(8081);
            ASSERT_GE(second, 0);
            ASSERT_EQ(listen(second, 64), 0);
            ProgramRun run;
            ASSERT_TRUE(run.start({session_script(), "--check-port", "8080"}, dir.path()));
            EXPECT_EQ(run.wait_exit(end_ms), 3);
            EXPECT_NE(run.err().find("tools/run --port 8082"), std::string::npos) << run.err();
            close(second);
            close(holder);
            // Free again, the check passes.
            ProgramRun again;
            ASSERT_TRUE(again.start({session_script(), "--check-port", "8080"}, dir.path()));
            EXPECT_EQ(again.wait_exit(end_ms), 0) << again.err();
        },
        4 * end_ms);
}

}  // namespace
