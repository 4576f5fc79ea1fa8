// Engine start-up and the control of playbacks: one playback at a time, started and
// stopped by the media control thread on requests from the GUI thread.
//
// MediaControl is shared by the GUI thread (JavaScript API, render tick), the media
// control thread and display_thread without a lock: every field but pending_url is an
// atomic; pending_url is handed over under a lock private to media_control.cpp.
#pragma once

#include <stdint.h>

#include <atomic>

#include "engine/playback.h"

struct MediaControlBlock {
    std::atomic<int32_t> screen_mode;  // 0: fitted to the whole picture; 1: stretched into PIG
    std::atomic<int32_t> pig_x;
    std::atomic<int32_t> pig_y;
    std::atomic<int32_t> pig_w;
    std::atomic<int32_t> pig_h;
    std::atomic<uint8_t> rebuild_scaler;  // set by layout setters and each start
    std::atomic<uint8_t> new_picture;     // set by the scaler, cleared by the render tick
    char pending_url[url_size];           // first byte 0: no request waiting
    std::atomic<uint8_t> stop_request;
};

// Null before media_init.
extern MediaControlBlock *MediaControl;

// GUI thread, once, before the window exists: allocates the control block and the
// output pictures, registers media_atexit and starts the media control thread.
void media_init();

// GUI thread: records a play request (the override URL when one is configured).
void media_play(const char *url);

// Thread entry of the media control thread; never returns.
void *media_control_thread(void *control);

// Paints OutputPicture black (Y 0, U and V 128).
void make_black_picture();

// Whether a play request is waiting to be started (any thread).
bool media_request_pending();

// Exit handler: tears down an AMT tunnel that is still open.
void media_atexit();

// decode_thread, at the end of its teardown: from here on the next playback may start.
// Taken under the lock the control thread holds while it writes `quit`, so that write
// never reaches a freed record.
void media_unregister_playback(PlaybackState *state);
