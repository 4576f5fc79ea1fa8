// The real zandoro program as a test runs it: the binary of this build tree, a working
// directory with a config.dat (and the demo channels), the demo portal server, and what
// the viewer sees, read back from the X server as screenshots.
//
// For the body of a netns_run child on a display of its own (x_session_start): the
// program asks the built-in 127.0.0.1:8080, which only a private namespace makes the
// test's. Everything started here is a child of the calling process and is ended by the
// destructors (and, should the body hang, by netns_run's kill of the process group).
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/deadline.h"
#include "tests/support/files.h"
#include "tests/support/x_session.h"

long long program_now_ms();

// shell/zandoro of this build tree, and the tree itself.
std::string program_path();
std::string program_build_dir();

// The six demo channels of tools/make-demo-streams, 8 seconds each, made once per build
// tree (under a lock, so parallel tests share them). Returns their directory, or empty
// with *why set.
std::string demo_streams_dir(std::string *why);
// Channel n's stream played `times` over in one file with continuous clocks, made once
// like the channels; its path, or empty with *why set.
std::string demo_stream_repeated(int channel, int times, std::string *why);

// The channel's signature colour (tools/make-demo-streams), 0xRRGGBB, for n = 1..6.
uint32_t demo_channel_colour(int channel);

// A scratch directory holding config.dat with `config` as its text (none when empty) and,
// when streams is not empty, "demo-streams" pointing at it.
class WorkDir {
public:
    explicit WorkDir(const std::string &config, const std::string &streams = "");
    const std::string &path() const { return scratch_.path(); }
    bool ok() const { return ok_; }
    std::string file(const std::string &name) const { return path() + "/" + name; }

private:
    ScratchDir scratch_;
    bool ok_ = false;
};

// Variables added to a child's environment: (NAME, value).
using EnvVars = std::vector<std::pair<std::string, std::string>>;

// A child process with its standard output and error read into strings as they come.
class ProgramRun {
public:
    ProgramRun() = default;
    ~ProgramRun();
    ProgramRun(const ProgramRun &) = delete;
    ProgramRun &operator=(const ProgramRun &) = delete;

    // Starts argv[0] (searched in PATH) in dir with env (NAME, value) added, and with
    // SDL's dummy audio driver and XDG directories inside dir unless env names them.
    bool start(const std::vector<std::string> &argv, const std::string &dir, const EnvVars &env = {});
    // The zandoro of this build tree, no arguments.
    bool start_program(const std::string &dir, const EnvVars &env = {});

    std::string out();
    std::string err();
    long long started_ms() const { return started_ms_; }
    pid_t pid() const { return pid_; }

    // Until standard output holds `text` (at least `times` times); false at the limit.
    bool wait_for(const std::string &text, int timeout_ms = test_deadline_ms, int times = 1);
    // The same for standard error.
    bool wait_for_err(const std::string &text, int timeout_ms = test_deadline_ms, int times = 1);
    // Whether the program has not ended yet (it is not reaped).
    bool running();
    // The exit code; -1 when it died of a signal or did not end in time (then it is
    // killed with SIGKILL).
    int wait_exit(int timeout_ms);
    // SIGTERM, then SIGKILL after grace_ms; the exit code as wait_exit gives it.
    int stop(int grace_ms = test_deadline_ms);

private:
    pid_t pid_ = -1;
    std::atomic<bool> ended_{false};  // the child has been waited for
    long long started_ms_ = 0;
    std::thread reader_;
    std::mutex lock_;
    std::string out_, err_;
};

// Occurrences of what in text.
int count_of(const std::string &text, const std::string &what);
// What a sanitizer reported in a program's standard error, or empty.
std::string sanitizer_report(const std::string &err);

// tools/demo-server on 127.0.0.1:8080 with --answer answer, its standard output read.
class DemoServer {
public:
    bool start(const std::string &answer = "", int check_status = 200);
    std::string log() { return run_.out(); }
    // Until the log holds `text` (at least `times` times): the server logs a request
    // before it answers, but the log reaches the test through a reader thread.
    bool wait_for(const std::string &text, int times = 1) { return run_.wait_for(text, test_deadline_ms, times); }
    void stop() { run_.stop(); }

private:
    ProgramRun run_;
};

// The main window "Tarnell" and its client area (where SDL shows the picture).
struct MainWindow {
    std::string toplevel, client;  // X window ids, "0x..."
    int x = 0, y = 0, width = 0, height = 0;  // the client area on the screen
};
// Waits for the window to be mapped; false after timeout_ms.
bool main_window_find(MainWindow *window, int timeout_ms = test_deadline_ms);
// Reads the client area's place and size again.
bool main_window_update(MainWindow *window);
// Until the client area is width x height (after a change of scale); false at the limit,
// with the size last seen in *window.
bool main_window_size_becomes(MainWindow *window, int width, int height, int timeout_ms = test_deadline_ms);

struct Rgb {
    int r, g, b;
};
Rgb rgb_of(uint32_t hex);
std::string rgb_text(Rgb c);

// What import (ImageMagick) reads back from the X server: the whole screen, or the
// client area of window (quicker, so the better for polling).
struct Screenshot {
    int x0 = 0, y0 = 0;  // where its top-left pixel is on the screen
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    Rgb at(int x, int y) const;  // in the screenshot's own pixels
};
bool screenshot_take(Screenshot *shot, const MainWindow *window = nullptr);
// Also keeps it as a PNG in $ZANDORO_E2E_SHOTS/name.png when that variable is set.
void screenshot_keep(const std::string &name);

// Whether a pixel on screen shows colour `want`, within tol per component. Without the X
// video extension (Xvfb has none) SDL converts the overlay in software; the program hands
// it full-range samples there, so the colours show as asked, not washed out.
bool colour_shows(Rgb seen, uint32_t want, int tol);
// The client-area pixel (cx, cy) of window in shot.
Rgb client_pixel(const Screenshot &shot, const MainWindow &window, int cx, int cy);

// Takes screenshots of the client area until its pixel (cx, cy) shows want; returns the time it took
// in milliseconds, or -1 after timeout_ms.
long long wait_for_colour(const MainWindow &window, int cx, int cy, uint32_t want, int timeout_ms,
                          Screenshot *last = nullptr);

// The multicast groups this network namespace's interfaces have joined, as the kernel
// lists them in /proc/net/igmp (the address in network order, printed %08X).
std::vector<std::string> igmp_groups();
std::string igmp_hex(const char *group);

// Why the end-to-end tests cannot run here (the program not built, a tool missing), or
// empty.
std::string program_missing();

// A figure a test measured, as one "figure: ..." line on standard output; and, in the
// test runner, those lines of a child's output passed on to the runner's own (all of it
// with ZANDORO_E2E_VERBOSE set).
void figure(const char *format, ...) __attribute__((format(printf, 1, 2)));
void figures_pass_on(const std::string &child_out);

// Puts the pointer on the main window's client area at (cx, cy) and gives the window
// the keyboard, then sends keys (xdotool key syntax: "alt+v Down Return").
void main_window_keys(const MainWindow &window, const std::string &keys, int cx = 900, int cy = 300);

// tools/demo/config.dat as it is.
std::string demo_config();
// A config.dat with the video size only: real multicast, no fake_mcast.
extern const char video_size_config[];

// The program as the demo runs it, for the body of a netns_run child: a work directory
// with `config` (and, with channels, the demo channels), the demo server, the program
// and its main window. The steps say why they failed, for ASSERT_TRUE.
class DemoRun {
public:
    explicit DemoRun(const std::string &config = demo_config(), bool channels = true);

    // The demo server answering the version check with `answer`, then the program and,
    // unless it is to end before showing one, its main window.
    testing::AssertionResult start(const std::string &answer = "", const EnvVars &env = {},
                                   bool find_window = true);
    // The page's Media_Play of channel 1 in the log (play_ms), then its picture through the
    // key colour at (920, 288) (picture_ms); *shot: the last screenshot taken.
    testing::AssertionResult first_picture(int timeout_ms = test_deadline_ms, Screenshot *shot = nullptr);
    // File > Exit: the program must end with 0 and without a sanitizer report.
    testing::AssertionResult exit_from_menu(int timeout_ms = test_deadline_ms);

private:
    std::string why_;      // why the demo channels are missing
    std::string streams_;  // before dir, which links to them

public:
    WorkDir dir;
    DemoServer server;
    ProgramRun program;
    MainWindow window;
    long long play_ms = 0, picture_ms = 0;  // program_now_ms() when each was seen
};

// The fixture of a test that runs the program: a display of its own for the test's
// length; the test is skipped when network namespaces, the program or a tool it drives
// are missing.
class ProgramTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Whether the display has openbox on it.
    virtual bool window_manager() const { return false; }
    // The screen's size and depth, as Xvfb takes it.
    virtual const char *screen() const { return "1920x1080x24"; }
    // body in a netns_run child; its figures are passed on and it must end cleanly.
    void run_in_netns(const std::function<void()> &body, int timeout_ms);
    XSession x_;
};
