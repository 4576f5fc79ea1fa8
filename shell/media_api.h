// What the portal's calls ask of the playback engine and the window, after the
// JavaScript API has taken their arguments apart. Each writes its log line to standard
// output (not flushed), then acts.
//
// Main thread only: the web view delivers the calls inside the render tick. Before
// media_init there is no MediaControl; the engine requests then log and change nothing.
#pragma once

#include <stdint.h>

// The picture-in-graphics rectangle in output-picture pixels, stored as given; the
// scaler is rebuilt for the next picture.
void media_set_pig_pos(int32_t x, int32_t y, int32_t width, int32_t height);

// 1: the video stretched into the rectangle; anything else: fitted to the whole picture.
// The scaler is rebuilt for the next picture.
void media_set_screen_mode(int32_t mode);

// Full screen when value is 1, windowed for every other value.
void media_set_fullscreen(int32_t value);

// The ratio is only logged; the scaler is rebuilt, keeping the layout it had.
void media_set_aspect_ratio(int32_t ratio);

// Logged only.
void media_set_alpha_level(int32_t level);
void media_set_subtitles(int32_t subtitles);

// Whether the window is in full screen.
bool ui_get_fullscreen_state();
