#include "tests/support/program_run.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "tests/support/files.h"
#include "tests/support/netns.h"
#include "tests/support/x_session.h"

long long program_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static std::string parent_dir(const std::string &path)
{
    return path.substr(0, path.rfind('/'));
}

std::string program_path()
{
    return parent_dir(ZANDORO_WEBEXT_DIR) + "/zandoro";
}

std::string program_build_dir()
{
    return parent_dir(ZANDORO_FIXTURE_DIR);
}

static bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

static std::string shell_quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs `command` with the demo directory's lock held, so that tests started together
// make each file once and never read one half written.
static bool run_locked(const std::string &command, const std::string &made, std::string *why)
{
    std::string dir = program_build_dir() + "/e2e-demo";
    mkdir(dir.c_str(), 0755);
    int lock = open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        *why = "cannot lock " + dir + ": " + strerror(errno);
        if (lock >= 0)
            close(lock);
        return false;
    }
    bool ok = exists(made);
    if (!ok) {
        std::string log = dir + "/make.log";
        int status = system((command + " > " + shell_quoted(log) + " 2>&1").c_str());
        ok = status == 0 && exists(made);
        if (!ok)
            *why = "'" + command + "' failed: " + read_file(log);
    }
    flock(lock, LOCK_UN);
    close(lock);
    return ok;
}

std::string demo_streams_dir(std::string *why)
{
    std::string dir = program_build_dir() + "/e2e-demo/streams-8s";
    // channels.txt is written once all six channels are complete.
    std::string command = shell_quoted(std::string(ZANDORO_SOURCE_DIR) + "/tools/make-demo-streams") +
                          " --seconds 8 " + shell_quoted(dir);
    return run_locked(command, dir + "/channels.txt", why) ? dir : "";
}

std::string demo_stream_repeated(int channel, int times, std::string *why)
{
    std::string dir = demo_streams_dir(why);
    if (dir.empty())
        return "";
    std::string in = dir + "/239.1.1." + std::to_string(channel) + ".ts";
    std::string out = program_build_dir() + "/e2e-demo/239.1.1." + std::to_string(channel) + "-x" +
                      std::to_string(times) + ".ts";
    std::string part = out + ".part";
    std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -y -stream_loop " +
                          std::to_string(times - 1) + " -i " + shell_quoted(in) + " -c copy -f mpegts " +
                          shell_quoted(part) + " && mv -f " + shell_quoted(part) + " " + shell_quoted(out);
    return run_locked(command, out, why) ? out : "";
}

uint32_t demo_channel_colour(int channel)
{
    static const uint32_t colours[] = {0x2050C8, 0xE07818, 0x20A040, 0x1096A0, 0xC82828, 0xDCBE28};
    return channel >= 1 && channel <= 6 ? colours[channel - 1] : 0;
}

// --- WorkDir ---

WorkDir::WorkDir(const std::string &config, const std::string &streams) : scratch_("zandoro-e2e")
{
    ok_ = !scratch_.path().empty();
    if (ok_ && !config.empty())
        write_file(file("config.dat"), config);
    if (ok_ && !streams.empty() && symlink(streams.c_str(), file("demo-streams").c_str()) != 0)
        ok_ = false;
}

// --- ProgramRun ---

bool ProgramRun::start(const std::vector<std::string> &argv, const std::string &dir, const EnvVars &env)
{
    // Standard output on a terminal of its own, so that the C library flushes each line as
    // it would for a user at a terminal: a pipe would hold the log back in blocks.
    int out[2], err[2];
    out[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (out[0] < 0 || grantpt(out[0]) != 0 || unlockpt(out[0]) != 0) {
        if (out[0] >= 0)
            close(out[0]);
        return false;
    }
    char slave[128];
    out[1] = ptsname_r(out[0], slave, sizeof slave) == 0 ? open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    struct termios mode;
    if (out[1] < 0 || tcgetattr(out[1], &mode) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        if (out[1] >= 0)
            close(out[1]);
        return false;
    }
    mode.c_oflag &= ~(tcflag_t)OPOST;  // "\n" as written, not "\r\n"
    tcsetattr(out[1], TCSANOW, &mode);

    // Everything the child needs is built before the fork: other threads may hold the
    // allocator's locks at that moment, so the child only calls what exec needs.
    EnvVars added = {
        {"SDL_AUDIODRIVER", "dummy"},
        {"NO_AT_BRIDGE", "1"},
        {"XDG_DATA_HOME", dir + "/data"},
        {"XDG_CACHE_HOME", dir + "/cache"},
        {"XDG_CONFIG_HOME", dir + "/config"},
    };
    // The caller's own values win over these defaults (SDL_AUDIODRIVER among them).
    for (const auto &e : env) {
        for (auto it = added.begin(); it != added.end();)
            it = it->first == e.first ? added.erase(it) : it + 1;
        added.push_back(e);
    }
    std::vector<std::string> env_text;
    for (char **e = environ; *e; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto &a : added)
            replaced |= a.first == name;
        if (!replaced)
            env_text.push_back(entry);
    }
    for (const auto &a : added)
        env_text.push_back(a.first + "=" + a.second);
    std::vector<char *> envp, args;
    for (std::string &e : env_text)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> argv_text = argv;
    for (std::string &a : argv_text)
        args.push_back(&a[0]);
    args.push_back(nullptr);
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);

    fflush(stdout);
    fflush(stderr);
    started_ms_ = program_now_ms();
    ended_ = false;
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Dies with the test, should the test end first.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(out[1], 1);
        dup2(err[1], 2);
        dup2(null_fd, 0);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(null_fd);
    close(out[1]);
    close(err[1]);
    if (pid_ < 0) {
        close(out[0]);
        close(err[0]);
        return false;
    }
    reader_ = std::thread([this, o = out[0], e = err[0]] {
        struct pollfd fds[2] = {{o, POLLIN, 0}, {e, POLLIN, 0}};
        std::string *sinks[2] = {&out_, &err_};
        int open_fds = 2;
        int idle_after_exit = 0;
        long long ended_at = 0;
        while (open_fds > 0) {
            // Helpers of the program (the web engine's processes) may hold the pipes a
            // little past its end: a second of silence after it, or two in all, is enough.
            if (ended_ && !ended_at)
                ended_at = program_now_ms();
            if (ended_at && program_now_ms() - ended_at > 2000)
                break;
            int n = poll(fds, 2, 100);
            if (n == 0) {
                if (ended_ && ++idle_after_exit >= 10)
                    break;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            for (int i = 0; i < 2; i++) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buf[8192];
                ssize_t got = read(fds[i].fd, buf, sizeof buf);
                if (got > 0) {
                    std::lock_guard<std::mutex> hold(lock_);
                    sinks[i]->append(buf, (size_t)got);
                } else if (got == 0 || errno != EINTR) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    open_fds--;
                }
            }
        }
        for (auto &p : fds)
            if (p.fd >= 0)
                close(p.fd);
    });
    return true;
}

bool ProgramRun::start_program(const std::string &dir, const EnvVars &env)
{
    return start({program_path()}, dir, env);
}

std::string ProgramRun::out()
{
    std::lock_guard<std::mutex> hold(lock_);
    return out_;
}

std::string ProgramRun::err()
{
    std::lock_guard<std::mutex> hold(lock_);
    return err_;
}

bool ProgramRun::wait_for(const std::string &text, int timeout_ms, int times)
{
    long long end = program_now_ms() + timeout_ms;
    while (count_of(out(), text) < times) {
        if (program_now_ms() > end)
            return false;
        usleep(10000);
    }
    return true;
}

bool ProgramRun::wait_for_err(const std::string &text, int timeout_ms, int times)
{
    long long end = program_now_ms() + timeout_ms;
    while (count_of(err(), text) < times) {
        if (program_now_ms() > end)
            return false;
        usleep(10000);
    }
    return true;
}

bool ProgramRun::running()
{
    if (pid_ < 0)
        return false;
    siginfo_t info = {};
    // WNOWAIT: an ended program stays for wait_exit to collect its code.
    return waitid(P_PID, (id_t)pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

int ProgramRun::wait_exit(int timeout_ms)
{
    if (pid_ < 0) {
        if (reader_.joinable())
            reader_.join();
        return -1;
    }
    long long end = program_now_ms() + timeout_ms;
    int status = 0;
    bool killed = false;
    for (;;) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR))
            break;
        if (program_now_ms() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            killed = true;
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
    ended_ = true;
    if (reader_.joinable())
        reader_.join();
    return !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ProgramRun::stop(int grace_ms)
{
    if (pid_ > 0)
        kill(pid_, SIGTERM);
    return wait_exit(grace_ms);
}

ProgramRun::~ProgramRun()
{
    if (pid_ > 0)
        wait_exit(0);
    else if (reader_.joinable())
        reader_.join();
}

int count_of(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        n++;
    return n;
}

std::string sanitizer_report(const std::string &err)
{
    for (const char *mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                             "WARNING: ThreadSanitizer"}) {
        size_t at = err.find(mark);
        if (at != std::string::npos)
            return err.substr(at, 4000);
    }
    return "";
}

// --- DemoServer ---

bool DemoServer::start(const std::string &answer, int check_status)
{
    std::string server = std::string(ZANDORO_SOURCE_DIR) + "/tools/demo-server";
    if (!run_.start({server, "--port", "8080", "--answer", answer, "--check-status",
                     std::to_string(check_status)},
                    "/"))
        return false;
    return run_.wait_for("demo-server: listening on http://127.0.0.1:8080/");
}

// --- The main window ---

// The client area: the toplevel's largest child window.
static std::string largest_child(const std::string &toplevel)
{
    std::istringstream lines(x_command("timeout 60 xwininfo -children -id " + toplevel));
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

bool main_window_update(MainWindow *window)
{
    XGeometry g;
    if (window->client.empty() || !x_window_geometry(strtoul(window->client.c_str(), nullptr, 0), &g))
        return false;
    window->x = g.x;
    window->y = g.y;
    window->width = g.width;
    window->height = g.height;
    return true;
}

bool main_window_size_becomes(MainWindow *window, int width, int height, int timeout_ms)
{
    long long end = program_now_ms() + timeout_ms;
    for (;;) {
        main_window_update(window);
        if (window->width == width && window->height == height)
            return true;
        if (program_now_ms() > end)
            return false;
        usleep(50000);
    }
}

bool main_window_find(MainWindow *window, int timeout_ms)
{
    long long end = program_now_ms() + timeout_ms;
    while (program_now_ms() < end) {
        std::string top = x_command("timeout 60 xdotool search --onlyvisible --name '^Tarnell$'");
        top = top.substr(0, top.find('\n'));
        if (!top.empty()) {
            // xdotool prints decimal ids; xwininfo takes either.
            window->toplevel = top;
            window->client = largest_child(top);
            if (main_window_update(window))
                return true;
        }
        usleep(100000);
    }
    return false;
}

// --- Colours and screenshots ---

Rgb rgb_of(uint32_t hex)
{
    return {(int)(hex >> 16 & 0xFF), (int)(hex >> 8 & 0xFF), (int)(hex & 0xFF)};
}

std::string rgb_text(Rgb c)
{
    char text[32];
    snprintf(text, sizeof text, "#%02X%02X%02X", c.r, c.g, c.b);
    return text;
}

Rgb Screenshot::at(int x, int y) const
{
    if (x < 0 || y < 0 || x >= width || y >= height || rgb.size() < (size_t)width * height * 3)
        return {-1000, -1000, -1000};
    const uint8_t *p = &rgb[((size_t)y * width + x) * 3];
    return {p[0], p[1], p[2]};
}

static bool ppm_number(const std::string &data, size_t *at, int *value)
{
    for (;;) {
        while (*at < data.size() && isspace((unsigned char)data[*at]))
            (*at)++;
        if (*at < data.size() && data[*at] == '#') {
            while (*at < data.size() && data[*at] != '\n')
                (*at)++;
            continue;
        }
        break;
    }
    if (*at >= data.size() || !isdigit((unsigned char)data[*at]))
        return false;
    *value = 0;
    while (*at < data.size() && isdigit((unsigned char)data[*at]))
        *value = *value * 10 + (data[(*at)++] - '0');
    return true;
}

bool screenshot_take(Screenshot *shot, const MainWindow *window)
{
    shot->x0 = window ? window->x : 0;
    shot->y0 = window ? window->y : 0;
    std::string data = x_command("timeout 60 import -window " + (window ? window->client : std::string("root")) +
                                 " -depth 8 ppm:-");
    size_t at = 2;
    int maxval = 0;
    shot->rgb.clear();
    if (data.compare(0, 2, "P6") != 0 || !ppm_number(data, &at, &shot->width) ||
        !ppm_number(data, &at, &shot->height) || !ppm_number(data, &at, &maxval) || maxval != 255)
        return false;
    at++;  // the one white-space byte before the samples
    size_t size = (size_t)shot->width * shot->height * 3;
    if (data.size() < at + size)
        return false;
    shot->rgb.assign(data.begin() + (long)at, data.begin() + (long)(at + size));
    return true;
}

void screenshot_keep(const std::string &name)
{
    const char *dir = getenv("ZANDORO_E2E_SHOTS");
    if (dir && *dir)
        x_command("timeout 60 import -window root " + shell_quoted(std::string(dir) + "/" + name + ".png"));
}

static bool near(Rgb a, Rgb b, int tol)
{
    return abs(a.r - b.r) <= tol && abs(a.g - b.g) <= tol && abs(a.b - b.b) <= tol;
}

bool colour_shows(Rgb seen, uint32_t want, int tol)
{
    return near(seen, rgb_of(want), tol);
}

Rgb client_pixel(const Screenshot &shot, const MainWindow &window, int cx, int cy)
{
    return shot.at(window.x + cx - shot.x0, window.y + cy - shot.y0);
}

long long wait_for_colour(const MainWindow &window, int cx, int cy, uint32_t want, int timeout_ms,
                          Screenshot *last)
{
    long long start = program_now_ms();
    Screenshot shot;
    for (;;) {
        bool taken = screenshot_take(&shot, &window);
        if (taken && colour_shows(client_pixel(shot, window, cx, cy), want, 8)) {
            if (last)
                *last = shot;
            return program_now_ms() - start;
        }
        if (program_now_ms() - start > timeout_ms) {
            if (last)
                *last = shot;
            return -1;
        }
        usleep(50000);
    }
}

// --- IGMP memberships ---

std::vector<std::string> igmp_groups()
{
    // Idx  Device    : Count Querier       Group    Users Timer    Reporter
    // 1    lo        :     2      V3
    //                              010101EF     1 0:00000000       0
    std::vector<std::string> groups;
    std::ifstream in("/proc/net/igmp");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || (line[0] != '\t' && line[0] != ' '))
            continue;
        std::istringstream words(line);
        std::string group;
        if (words >> group && group.size() == 8)
            groups.push_back(group);
    }
    return groups;
}

std::string igmp_hex(const char *group)
{
    uint32_t addr = inet_addr(group);  // network order, as the kernel holds it
    char text[16];
    snprintf(text, sizeof text, "%08X", addr);
    return text;
}

// --- Driving it ---

std::string program_missing()
{
    if (!exists(program_path()))
        return "the program is not built: " + program_path();
    for (const char *tool : {"import", "xdotool", "xwininfo", "ffmpeg", "python3"})
        if (x_command(std::string("command -v ") + tool).empty())
            return std::string(tool) + " is not installed";
    return "";
}

void figure(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    printf("figure: ");
    vprintf(format, args);
    printf("\n");
    fflush(stdout);
    va_end(args);
}

void figures_pass_on(const std::string &child_out)
{
    if (getenv("ZANDORO_E2E_VERBOSE")) {
        printf("%s", child_out.c_str());
        fflush(stdout);
        return;
    }
    std::istringstream lines(child_out);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, 8, "figure: ") == 0)
            printf("%s\n", line.c_str());
    fflush(stdout);
}

void main_window_keys(const MainWindow &window, const std::string &keys, int cx, int cy)
{
    // One connection, so the server takes the pointer and focus before the keys. No --sync:
    // it waits for a pointer motion or focus event, which never comes when the pointer is
    // there already or the window has the focus.
    x_command("timeout 60 xdotool mousemove --window " + window.client + " " + std::to_string(cx) + " " +
              std::to_string(cy) + " windowfocus " + window.toplevel + " key --delay 40 " + keys);
}

std::string demo_config()
{
    return read_file(std::string(ZANDORO_SOURCE_DIR) + "/tools/demo/config.dat");
}

const char video_size_config[] = "video_w:1024\nvideo_h:576\n";

// --- DemoRun ---

DemoRun::DemoRun(const std::string &config, bool channels)
    : streams_(channels ? demo_streams_dir(&why_) : ""), dir(config, streams_)
{
}

testing::AssertionResult DemoRun::start(const std::string &answer, const EnvVars &env, bool find_window)
{
    if (!why_.empty())
        return testing::AssertionFailure() << why_;
    if (!dir.ok())
        return testing::AssertionFailure() << "no work directory";
    if (!server.start(answer))
        return testing::AssertionFailure() << "the demo server did not start\n" << server.log();
    if (!program.start_program(dir.path(), env))
        return testing::AssertionFailure() << "the program did not start";
    if (find_window && !main_window_find(&window))
        return testing::AssertionFailure() << "no main window\n" << program.out() << program.err();
    return testing::AssertionSuccess();
}

testing::AssertionResult DemoRun::first_picture(int timeout_ms, Screenshot *shot)
{
    if (!program.wait_for("media_play(igmp://239.1.1.1:5000)"))
        return testing::AssertionFailure() << "no Media_Play of channel 1\n" << program.out() << program.err();
    play_ms = program_now_ms();
    Screenshot last;
    long long took = wait_for_colour(window, 920, 288, demo_channel_colour(1), timeout_ms, &last);
    picture_ms = program_now_ms();
    if (shot)
        *shot = last;
    if (took < 0)
        return testing::AssertionFailure() << "no picture of channel 1: "
                                           << rgb_text(client_pixel(last, window, 920, 288)) << "\n"
                                           << program.out() << program.err();
    return testing::AssertionSuccess();
}

testing::AssertionResult DemoRun::exit_from_menu(int timeout_ms)
{
    main_window_keys(window, "alt+f x");
    int code = program.wait_exit(timeout_ms);
    std::string report = sanitizer_report(program.err());
    if (code == 0 && report.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "File > Exit: exit code " << code << "\n"
                                       << report << program.out() << program.err();
}

// --- ProgramTest ---

void ProgramTest::SetUp()
{
    // A child killed at its time limit loses what it had buffered; by lines, its failures
    // so far reach the report.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    NETNS_REQUIRE();
    std::string why = program_missing();
    if (!why.empty())
        GTEST_SKIP() << why;
    if (!x_session_start(&x_, window_manager(), &why, screen()))
        GTEST_SKIP() << why;
}

void ProgramTest::TearDown()
{
    x_session_stop(&x_);
}

void ProgramTest::run_in_netns(const std::function<void()> &body, int timeout_ms)
{
    ChildRun run = netns_run(body, timeout_ms);
    figures_pass_on(run.out);
    EXPECT_TRUE(child_ok(run));
}
