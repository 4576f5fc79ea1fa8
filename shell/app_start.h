// Start-up: the configuration, the composite picture, libcurl, the version check, then
// the web UI and the playback engine. Main thread, once, before the main window exists
// and before any other thread of the program.
#pragma once

#include <stdint.h>

// 0 until app_init has finished, then 1 for good. The window's timer runs the render
// tick only once it is set. Main thread only.
extern uint8_t app_started;

// The start-up steps in order. Returns only when the program may go on; otherwise it
// ends the process: exit code 1 when config.dat cannot be read or the version-check
// server cannot be reached, 0 when the user leaves to upgrade.
void app_init();

// Asks the version-check server at url whether this version may run: "REQUIRE" ends the
// process with 0 after offering the download page, "OFFER" asks and ends it with 0 when
// the user takes the download page; any other answer returns. No answer at all ends the
// process with exit code 1.
void app_version_check(const char *url);
