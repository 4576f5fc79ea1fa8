// Sound output through SDL 1.2's audio device, pulled by SDL's audio thread: decodes MPEG
// audio from the playback's audio queue on demand, as interleaved signed 16-bit stereo at
// 48 kHz, and lengthens or shortens each chunk to follow the master clock.
//
// Owns the playback's staging buffer (audio_buf, audio_buf_len, audio_buf_pos), the packet
// in progress (audio_pkt, audio_pkt_data), audio_clock, the drift filter and the format
// converter (audio_swr and its fields). os_audio_setup, os_audio_close and audio_release
// run on decode_thread; the rest on SDL's audio thread.
#pragma once

#include <stdint.h>

extern "C" {
#include <libavutil/frame.h>
}

struct PlaybackState;

// The staging format, whatever the stream's own: every decoded frame is converted to it.
enum {
    audio_out_channels = 2,
    audio_out_rate = 48000,
    audio_out_frame_bytes = 2 * audio_out_channels,
    audio_out_bytes_per_second = audio_out_frame_bytes * audio_out_rate,
    // Half of audio_buf, so that lengthening a chunk to twice its size still fits.
    audio_chunk_max_bytes = 144000,
    audio_chunk_max_frames = audio_chunk_max_bytes / audio_out_frame_bytes,
};

// Bytes of the chunk of `size` bytes at `buffer` to play (0 to 2 x size); zero bytes
// lengthen it. Chunks play unchanged in sync_audio mode, during the first 20 chunks after
// a start or a reset, and when the drift is beyond any sensible correction.
int32_t audio_sync_adjust(PlaybackState *state, uint8_t *buffer, int32_t size);

// Decodes the next audio frame into `out` (at least audio_chunk_max_bytes) in the staging
// format; its size in bytes, or -1 when the playback is ending. While the queue is empty
// it waits, in short sleeps, for a packet or the quit flag.
int32_t audio_decode_next(PlaybackState *state, uint8_t *out);

// Converts one decoded frame into `out` in the staging format, at most
// audio_chunk_max_frames frames (the rest of a longer frame is dropped). Bytes written;
// 0 when the frame's format cannot be converted.
int32_t audio_convert_frame(PlaybackState *state, const AVFrame *frame, uint8_t *out);

// Seconds of sound between the callback and the listener for a device opened as
// `granted` (an SDL_AudioSpec); 0 for a spec without a rate or a buffer.
double audio_device_delay_of(const struct SDL_AudioSpec *granted);

// SDL's callback: fills the whole device buffer.
void os_audio_callback(void *user, uint8_t *stream, int len);

// Opens the device (paused) with os_audio_callback and `state`. When it cannot be opened
// it prints SDL's reason and returns false; the next playback tries again.
bool os_audio_setup(int32_t channels, int32_t rate, PlaybackState *state);

// At the end of a playback: closes the device, stopping its callback thread. Harmless
// when no device is open. The callback only returns once the device buffer is full, so
// the playback's quit flag must be set before this is called.
void os_audio_close();

// After os_audio_close: frees the format converter. Harmless when none was made.
void audio_release(PlaybackState *state);
