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

// Deadlines for what a playback does at its own pace: generous, as decoding on a loaded
// machine or under a sanitizer is many times slower; a test gives up only at a fault.
const int harness_event_timeout_ms = 60000;

// Appended to a stream file after its last whole packet: the demuxer reports the partial
// packet with harness_end_line once it has processed everything before it.
std::string harness_end_mark();
extern const char harness_end_line[];

// The playback's video packets and pictures are all used up: its video queue and picture
// ring are empty at one moment (a picture may still be in the decoder or being shown).
bool harness_playback_drained(PlaybackState *state);

// For playbacks through media_play: asks for a stop and waits up to timeout_ms until no
// playback is registered and the request is taken. True when it ended.
bool harness_stop_playback(int timeout_ms = harness_event_timeout_ms);
