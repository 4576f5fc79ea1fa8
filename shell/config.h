// Fills the configuration record: built-in defaults, then "config.dat" from the working
// directory. Written only on the main thread during start-up, before any other thread
// exists; read-only (and read from any thread without a lock) afterwards.
#pragma once

#include <stdio.h>

#include "config/player_config.h"

// The largest video_w and video_h: SDL 1.2 keeps a screen row's length in bytes in 16 bits,
// so a 32-bit screen is at most 16383 pixels wide; the window, its menu bar and edge must
// stay under X's 32767 in height, and the same bound keeps room for that.
enum { config_video_size_max = 16383 };

// Zeroes the record and sets the built-in values.
void config_defaults();

// Reads "./config.dat" over the current values. Ends the process with exit code 1 when
// the file cannot be opened or leaves a video size the display cannot hold, before any
// window exists.
void config_read();

// config_read's two steps once the file is open, so a caller that must not end the
// process (a fuzzer) can run them: reading the lines of `file` until its end or a read
// error, and the check of the video size afterwards, false after a line on standard
// error when either side is not positive or above config_video_size_max.
void config_read_lines(FILE *file);
bool config_video_size_usable();
