// The input thread of one playback: opens what the URL names, feeds the demultiplexer
// (which calls on_pmt, on_pes_packet and the AMT gateway on this thread), and tears the
// playback down when its quit flag is set.
#pragma once

#include "engine/playback.h"

enum InputKind { input_refused, input_socket, input_file };

// Thread entry; `state` is the new, already registered PlaybackState, freed on return.
void *decode_thread(void *state);

// Reads state->url into mcast_group/mcast_port or file_path, logging what it chose.
// A multicast URL is a file input while fake_mcast is configured.
InputKind decode_parse_url(PlaybackState *state);

// Back-pressure: the queues hold more than the input thread may add to.
bool decode_queues_full(const PlaybackState *state);
