#include "tests/support/x_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "tests/support/deadline.h"
#include "tests/support/files.h"

namespace {

// Starts a program with DISPLAY set; it dies with the process that started it.
pid_t spawn(const std::vector<std::string> &argv, const std::string &display, int keep_fd)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    if (!display.empty())
        setenv("DISPLAY", display.c_str(), 1);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    for (int fd = 3; fd < 256; fd++)
        if (fd != keep_fd)
            close(fd);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void end(pid_t *pid)
{
    if (*pid > 0) {
        kill(*pid, SIGTERM);
        waitpid(*pid, nullptr, 0);
    }
    *pid = -1;
}

// Starts Xvfb on display `number` and waits until it takes connections; false when it
// could not have that display.
bool xvfb_start(XSession *session, int number, const char *screen)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    // -noreset: by default the server resets when its last client leaves, and a client
    // connecting meanwhile is refused, which a test's quick succession of tools (xdotool,
    // import, the program) meets now and then.
    session->xvfb = spawn({"Xvfb", ":" + std::to_string(number), "-displayfd", std::to_string(fds[1]), "-screen",
                           "0", screen, "-nolisten", "tcp", "-noreset"},
                          "", fds[1]);
    close(fds[1]);
    std::string said;
    struct pollfd p = {fds[0], POLLIN, 0};
    while (said.find('\n') == std::string::npos && poll(&p, 1, test_deadline_ms) > 0) {
        char buf[32];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        said.append(buf, (size_t)n);
    }
    close(fds[0]);
    if (said == std::to_string(number) + "\n")
        return true;
    x_session_stop(session);
    return false;
}

}  // namespace

bool x_session_start(XSession *session, bool window_manager, std::string *why, const char *screen)
{
    // A display number of its own, far above the ones other X servers on the machine take
    // by counting up from 0 (or down from 99): a server whose lock file went missing would
    // otherwise lose its socket to the next one started, in the middle of a test.
    int number = -1;
    int first = 1000 + (int)(getpid() % 8000);
    for (int n = first; n < first + 50 && number < 0; n++) {
        std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        if (access(socket.c_str(), F_OK) == 0 || access(lock.c_str(), F_OK) == 0)
            continue;
        if (xvfb_start(session, n, screen))
            number = n;
    }
    if (number < 0) {
        *why = "Xvfb did not start";
        return false;
    }
    session->display = ":" + std::to_string(number);
    setenv("DISPLAY", session->display.c_str(), 1);
    if (!window_manager)
        return true;

    session->wm = spawn({"openbox", "--sm-disable"}, session->display, -1);
    long long until = now_ms() + test_deadline_ms;
    while (now_ms() < until) {
        if (x_command("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos)
            return true;
        usleep(25000);
    }
    *why = "openbox did not take the screen in " + std::to_string(test_deadline_ms / 1000) + " s";
    x_session_stop(session);
    return false;
}

void x_session_stop(XSession *session)
{
    end(&session->wm);
    end(&session->xvfb);
}

std::string x_command(const std::string &command)
{
    return command_output(command + " 2>/dev/null");
}

bool x_window_geometry(unsigned long window, XGeometry *g)
{
    std::string info = x_command("timeout 60 xwininfo -id " + std::to_string(window));
    auto field = [&](const char *name, int *value) {
        size_t at = info.find(name);
        if (at == std::string::npos)
            return false;
        *value = atoi(info.c_str() + at + strlen(name));
        return true;
    };
    return field("Absolute upper-left X:", &g->x) && field("Absolute upper-left Y:", &g->y) &&
           field("Width:", &g->width) && field("Height:", &g->height);
}
