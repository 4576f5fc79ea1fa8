// Picks the playback's streams from each PMT, opens their decoders and threads, and takes
// in their PES packets. Runs on the playback's decode_thread, inside ts_process_packets;
// decoder_get_buffer_tagged runs on video_thread, inside the decoder.
#pragma once

#include <stdint.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "input/ts_demux.h"

// Names of the PMT stream types 0 to 32.
extern const char *const stream_type_names[33];

// The name to log for any stream type ("Unknown" beyond the table).
const char *stream_type_name(int32_t stream_type);

// PMT callback; `user` is the PlaybackState. Owns and frees `pmt`.
void on_pmt(TsDemux *demux, PmtInfo *pmt, void *user);

// Payload callback of the chosen PIDs: queues the PES payload with its timestamps.
void on_pes_packet(TsDemux *demux, int32_t pid, const uint8_t *data, int32_t len, void *user);

// The video decoder's get_buffer2: tags each picture buffer with decoding_pts.
int decoder_get_buffer_tagged(AVCodecContext *context, AVFrame *frame, int flags);
