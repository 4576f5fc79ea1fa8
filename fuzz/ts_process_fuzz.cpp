// Arbitrary bytes through the demultiplexer with the engine's own callbacks attached, as
// decode_thread feeds it from a file: the real on_pmt chooses streams and opens their
// decoders, the real on_pes_packet parses PES headers and queues payloads. Every packet
// that reaches a queue must lie inside the bytes it came from, with its zeroed padding.
//
// Two things a playback does would make every input cost threads and an audio device,
// and make coverage depend on their timing, so they are held back:
// - on_pmt starts video_thread and display_thread only when no handle is set; the
//   record here says both already run, so the packets stay queued for the check below;
// - the audio device: os_audio_setup's SDL calls are redirected at link time
//   (--wrap=SDL_OpenAudio, --wrap=SDL_PauseAudio) to stand-ins that open nothing.
#include <SDL.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "engine/playback.h"
#include "engine/stream_select.h"
#include "shell/config.h"

enum { read_size = 3760 };  // what decode_thread reads from a file at a time

extern "C" int __wrap_SDL_OpenAudio(SDL_AudioSpec *wanted, SDL_AudioSpec *obtained)
{
    if (obtained)
        *obtained = *wanted;
    return 0;
}

extern "C" void __wrap_SDL_PauseAudio(int) {}

static bool stamp_ok(int64_t stamp)
{
    return stamp == AV_NOPTS_VALUE || (stamp >= 0 && stamp < (int64_t)1 << 33);
}

// Takes every packet off the queue, checking what on_pes_packet promised its consumers.
static void drain(PacketQueue *queue, int32_t most)
{
    if (!queue->mutex)
        return;
    AVPacket packet;
    while (packet_queue_get(queue, &packet, 0) == 1) {
        if (packet.size <= 0 || packet.size > most || !stamp_ok(packet.pts) || !stamp_ok(packet.dts))
            abort();
        volatile uint8_t sum = 0;
        for (int i = 0; i < packet.size; i++)
            sum = sum + packet.data[i];
        for (int i = 0; i < AV_INPUT_BUFFER_PADDING_SIZE; i++)
            if (packet.data[packet.size + i] != 0)
                abort();
        av_free(packet.data);
    }
    if (queue->bytes != 0)
        abort();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    config_defaults();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PlaybackState *state = playback_alloc("file:fuzz");
    if (!state)
        abort();
    state->video_thread_id = &state->video_thread;
    state->display_thread_id = &state->display_thread;
    state->demux = ts_demux_create();
    if (!state->demux)
        abort();
    state->demux->pmt_callback = on_pmt;
    state->demux->pmt_user = state;

    // Each read in a buffer of its own size, so the sanitizer sees a read past it.
    for (size_t at = 0; at < size; at += read_size) {
        size_t n = size - at < read_size ? size - at : read_size;
        uint8_t *block = (uint8_t *)malloc(n);
        memcpy(block, data + at, n);
        ts_process_packets(block, (int32_t)n, state);
        free(block);
    }

    drain(&state->video_queue, ts_buffer_limit);
    drain(&state->audio_queue, ts_buffer_limit);
    ts_demux_free(state->demux);
    state->demux = nullptr;
    state->video_thread_id = nullptr;
    state->display_thread_id = nullptr;
    playback_free(state);
    return 0;
}
