// Bringing the main window up in a test the way WinMain does, without start-up (no
// portal, no engine): the class, the window, SDL on it and the timer. For a child
// process (child_run) on a display of its own (x_session_start).
#pragma once

#include <functional>

#include "platform/win32/win_window.h"
#include "tests/support/deadline.h"

// config_defaults, the module, the class, the window shown, SDL with the dummy audio
// driver. Records a gtest failure and returns false when any of it fails.
bool window_harness_up();

// Takes and dispatches the queued messages until done() holds or timeout_ms passed;
// returns done(). Sets *quit_code (when given) and stops on WM_QUIT.
bool pump_messages_until(const std::function<bool()> &done, int timeout_ms = test_deadline_ms,
                         int *quit_code = nullptr);
void pump_messages_for(int ms);

// The menu's command, posted as the menu posts it, then the queue pumped once.
void post_command(int id);

// The client area is width x height, in the layer's layout and on the X server.
bool client_area_is(HWND hwnd, int width, int height);
