#include "tests/support/netns.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static std::string errno_text(const char *what, int err)
{
    return std::string(what) + ": " + strerror(err);
}

// The route for 224.0.0.0/4 via lo, for SIOCADDRT and SIOCDELRT.
static struct rtentry multicast_route()
{
    struct rtentry rt;
    memset(&rt, 0, sizeof rt);
    struct sockaddr_in *dst = (struct sockaddr_in *)&rt.rt_dst;
    dst->sin_family = AF_INET;
    dst->sin_addr.s_addr = htonl(0xE0000000u);
    struct sockaddr_in *mask = (struct sockaddr_in *)&rt.rt_genmask;
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = htonl(0xF0000000u);
    static char dev[] = "lo";
    rt.rt_dev = dev;
    rt.rt_flags = RTF_UP;
    return rt;
}

// ioctls rather than `ip`: nothing to exec, so it works in a bare child and needs no iproute2.
static bool netns_setup_loopback(std::string *why)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = errno_text("socket", errno);
        return false;
    }

    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, "lo", 3);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags |= IFF_UP | IFF_MULTICAST;
        ok = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (!ok) {
        *why = errno_text("bringing lo up", errno);
        close(fd);
        return false;
    }

    // Without this route a join on INADDR_ANY finds no interface for the group.
    struct rtentry rt = multicast_route();
    if (ioctl(fd, SIOCADDRT, &rt) != 0) {
        *why = errno_text("adding route 224.0.0.0/4 via lo", errno);
        close(fd);
        return false;
    }
    close(fd);
    return true;
}

bool netns_drop_multicast_route(std::string *why)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = errno_text("socket", errno);
        return false;
    }
    struct rtentry rt = multicast_route();
    bool ok = ioctl(fd, SIOCDELRT, &rt) == 0;
    if (!ok)
        *why = errno_text("deleting route 224.0.0.0/4 via lo", errno);
    close(fd);
    return ok;
}

bool netns_enter(std::string *why)
{
    if (unshare(CLONE_NEWNET) != 0) {
        int err = errno;
        // Not root: a user namespace of our own grants network rights in the new one.
        if (err != EPERM || unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            *why = errno_text("unshare(CLONE_NEWNET)", err);
            if (err == EPERM)
                *why += "; " + errno_text("unshare(CLONE_NEWUSER | CLONE_NEWNET)", errno);
            return false;
        }
    }
    return netns_setup_loopback(why);
}

static int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Failures the current test has recorded so far; the child counts only its own.
static int failed_parts()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    if (!info)
        return testing::Test::HasFailure() ? 1 : 0;
    const testing::TestResult *result = info->result();
    int failed = 0;
    for (int i = 0; i < result->total_part_count(); i++)
        failed += result->GetTestPartResult(i).failed() ? 1 : 0;
    return failed;
}

static void write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += (size_t)n;
    }
}

[[noreturn]] static void child_main(const std::function<void()> &body, bool in_netns,
                                    int out_fd, int err_fd, int status_fd)
{
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    close(out_fd);
    close(err_fd);

    if (in_netns) {
        std::string why;
        if (!netns_enter(&why)) {
            write_all(status_fd, why);
            _exit(127);
        }
    }
    close(status_fd);  // an empty status tells the parent the body ran

    int failed_before = failed_parts();
    body();
    fflush(stdout);
    fflush(stderr);
    // _exit: the runner's own exit handlers and destructors belong to the parent.
    _exit(failed_parts() > failed_before ? CHILD_BODY_FAILED : 0);
}

static ChildRun run_child(const std::function<void()> &body, bool in_netns, int timeout_ms)
{
    ChildRun run;
    int out[2], err[2], status[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0) {
        run.why = errno_text("pipe2", errno);
        return run;
    }
    // Whatever the runner has buffered would otherwise be written a second time by the child.
    fflush(stdout);
    fflush(stderr);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        run.why = errno_text("fork", errno);
        for (int fd : {out[0], out[1], err[0], err[1], status[0], status[1]})
            close(fd);
        return run;
    }
    if (pid == 0) {
        // Its own process group, so a timeout kills what the body started too; and it dies
        // with the runner rather than outliving an interrupted test.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        close(out[0]);
        close(err[0]);
        close(status[0]);
        child_main(body, in_netns, out[1], err[1], status[1]);
    }
    setpgid(pid, pid);  // the same as the child's call; whichever runs first wins the race
    close(out[1]);
    close(err[1]);
    close(status[1]);

    std::string status_text;
    bool status_closed = false;
    struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {status[0], POLLIN, 0}};
    std::string *sinks[3] = {&run.out, &run.err, &status_text};
    int open_fds = 3;
    int64_t deadline = now_ms() + timeout_ms;
    while (open_fds > 0) {
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            run.timed_out = true;
            break;
        }
        int n = poll(fds, 3, (int)left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        for (int i = 0; i < 3; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, (size_t)got);
            } else if (got == 0 || errno != EINTR) {
                status_closed |= i == 2;
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            }
        }
    }

    // A child that closed its output may still be running: wait for it up to the same limit.
    int wstatus = 0;
    for (;;) {
        pid_t done = run.timed_out ? 0 : waitpid(pid, &wstatus, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            break;
        if (run.timed_out || now_ms() >= deadline) {
            run.timed_out = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        usleep(5000);
    }
    for (int i = 0; i < 3; i++)
        if (fds[i].fd >= 0)
            close(fds[i].fd);

    if (WIFEXITED(wstatus))
        run.exit_code = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        run.signal = WTERMSIG(wstatus);
    run.entered = status_closed && status_text.empty();
    if (!status_text.empty())
        run.why = status_text;
    return run;
}

ChildRun child_run(const std::function<void()> &body, int timeout_ms)
{
    return run_child(body, false, timeout_ms);
}

ChildRun netns_run(const std::function<void()> &body, int timeout_ms)
{
    return run_child(body, true, timeout_ms);
}

bool netns_available(std::string *why)
{
    ChildRun run = netns_run([] {});
    if (run.entered && run.exit_code == 0)
        return true;
    *why = run.why.empty() ? child_describe(run) : run.why;
    return false;
}

std::string child_describe(const ChildRun &run)
{
    std::string text;
    if (!run.entered)
        text = "the child never ran its body: " + (run.why.empty() ? std::string("timed out") : run.why);
    else if (run.timed_out)
        text = "the child was killed at its time limit";
    else if (run.signal)
        text = std::string("the child was ended by signal ") + strsignal(run.signal);
    else
        text = "the child exited with code " + std::to_string(run.exit_code);
    text += "\n--- child stdout ---\n" + run.out + "\n--- child stderr ---\n" + run.err;
    return text;
}

testing::AssertionResult child_ok(const ChildRun &run)
{
    if (run.entered && !run.timed_out && run.signal == 0 && run.exit_code == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << child_describe(run);
}
