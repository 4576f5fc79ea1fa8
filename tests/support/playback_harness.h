// A playback record for engine tests, made and ended the way the media control thread and
// decode_thread do, without the input thread: tests drive on_pmt, on_pes_packet and the
// video threads directly.
#pragma once

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
}

#include "engine/playback.h"

// Once per process: configuration defaults, SDL's dummy audio driver, and the control
// block and output pictures the display path writes (without the media control thread).
void harness_engine_init();

// Once per process, for playbacks through media_play: configuration defaults, SDL's dummy
// audio driver and media_init with its media control thread. Not with harness_engine_init.
void harness_media_start();

// A zeroed record with its picture lock, last_pmt_version -1 and sync_pcr, registered as
// current_playback (the queues read the quit flag through it).
PlaybackState *harness_playback_create();

// Sets quit, wakes every wait, joins the threads on_pmt started and closes the audio
// device; the record stays, for a look at what the threads left.
void harness_playback_stop(PlaybackState *state);

// Stops the playback, then frees everything the record holds and the record.
void harness_playback_free(PlaybackState *state);

// The video packets of a transport stream read with libavformat, pts and dts in 90 kHz,
// each payload in its own av_malloc'ed buffer with zeroed padding (as on_pes_packet makes
// them). Empty when the file cannot be read.
std::vector<AVPacket> harness_read_video_packets(const std::string &path);

// Frees the payloads of packets that were never queued.
void harness_free_packets(std::vector<AVPacket> &packets);

std::string harness_fixture(const char *name);
