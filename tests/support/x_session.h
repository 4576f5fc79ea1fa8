// A private X display for a test: its own Xvfb (1920 x 1080, 24 bits), optionally with
// the openbox window manager, so window tests neither share focus nor the screen with
// other tests and see a known monitor. Also small helpers to run the X command-line
// tools (xdotool, xwininfo) against it.
#pragma once

#include <sys/types.h>

#include <string>

struct XSession {
    pid_t xvfb = -1;
    pid_t wm = -1;
    std::string display;  // ":N"
};

// Starts the server (and the window manager, waiting until it has taken the screen)
// and points DISPLAY at it in this process. False with *why when that fails. The screen
// is 1920 x 1080 unless `screen` ("WxHxD") says otherwise.
bool x_session_start(XSession *session, bool window_manager, std::string *why,
                     const char *screen = "1920x1080x24");
// Ends what x_session_start started.
void x_session_stop(XSession *session);

// Runs a shell command and returns its standard output (standard error is dropped).
std::string x_command(const std::string &command);

// Geometry of an X window as xwininfo reports it: the absolute position of its
// top-left corner and its size. False when the window does not exist.
struct XGeometry {
    int x, y, width, height;
};
bool x_window_geometry(unsigned long window, XGeometry *geometry);
