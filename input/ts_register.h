// PID registration in a TsDemux's table, shared by the packet loop (ts_demux.cpp) and the
// PSI parsers (ts_psi.cpp). Same thread rules as ts_demux.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "input/ts_demux.h"

// Prints "New PID %04x\n", then stores a zeroed record with `kind` and last_cc 0xFF in the
// table; the caller sets stream_type. When memory runs out it says so on standard output,
// leaves the PID unregistered and returns null.
TsPidStream *ts_register_pid(TsDemux *demux, int32_t pid, PidKind kind);

// Every allocation of the demuxer goes through this, so tests can make one fail. Whatever
// it returns must be releasable with free(): the PMT callback frees PmtInfo that way.
extern void *(*ts_calloc)(size_t count, size_t size);
