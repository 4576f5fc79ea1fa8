// The state of one playback. Allocated zeroed by the media control thread, freed by the
// playback's own decode_thread as its last act.
#pragma once

#include "input/ts_demux.h"

struct PlaybackState {
    // decode_thread only: set first thing, freed at teardown.
    TsDemux *demux;
};
