// The playback's clocks: which one is the master, and (with the audio output) how sound
// and picture follow it. Every function here only reads the PlaybackState and may run
// on SDL's audio thread or on display_thread.
#pragma once

#include <stdint.h>

enum SyncMode : int32_t {
    sync_audio = 0,  // audio is the master and is never corrected
    sync_video = 1,  // the shown-picture clock
    sync_pcr = 2,    // the stream's first PCR, running at wall-clock speed
};

struct PlaybackState;

// Seconds: the first PCR plus the wall time since it was seen, 0.4 s behind; before any
// PCR, the shown-picture clock.
double pcr_clock_now(const PlaybackState *state);

// Seconds: the clock that state->sync_mode names (any other value: the system clock).
double master_clock_now(const PlaybackState *state);

// Seconds: the presentation time of the sound being heard now: audio_clock less the staged
// bytes not yet handed to the device and less what the device holds.
double audio_clock_now(const PlaybackState *state);
