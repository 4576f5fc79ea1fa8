#include "engine/audio_output.h"

#include <SDL.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include "engine/clock.h"
#include "engine/playback.h"
#include "platform/crt.h"

enum {
    drift_warmup_chunks = 20,  // differences gathered before correcting
    quit_silence_bytes = 1024,
    device_frames = 1024,
    empty_queue_wait_ms = 5,
};

static const double drift_reset_seconds = 10.0;

static_assert(2 * audio_chunk_max_bytes <= audio_buf_size, "a lengthened chunk must fit audio_buf");

int32_t audio_sync_adjust(PlaybackState *state, uint8_t *buffer, int32_t size)
{
    const int n = audio_out_frame_bytes;
    if (state->sync_mode == sync_audio)
        return size;

    // The chunk has just been decoded, so audio_clock is the time of its end and none of it
    // has been handed over yet: it is dated by its first sample.
    double chunk_start = audio_clock_now(state) - (double)size / audio_out_bytes_per_second;
    double diff = chunk_start - master_clock_now(state);
    // So far either way, the sound and the clock are on different time lines (a jump in
    // the stream's timestamps, a clock not yet anchored on the stream): the chunk plays as
    // it is, since cutting sound that far behind would silence it for good. Sound far
    // ahead logs each chunk; sound far behind once, as it may last the whole playback.
    if (!(fabs(diff) < drift_reset_seconds)) {
        bool held = state->drift_count != 0 || state->drift_sum != 0.0;
        state->drift_count = 0;
        state->drift_sum = 0.0;
        if (diff > 0 || held)
            printf("Resetting diff stuff\n");
        return size;
    }

    state->drift_sum = diff + state->drift_coef * state->drift_sum;
    if (state->drift_count < drift_warmup_chunks) {
        state->drift_count++;
        return size;
    }
    double avg = fabs((1.0 - state->drift_coef) * state->drift_sum);
    if (avg < state->drift_threshold)
        return size;

    // The current difference, not the average, in whole sample frames toward zero.
    int64_t wanted = (int64_t)size + (int64_t)trunc(diff * audio_out_rate) * n;
    int64_t result = wanted < 0 ? 0 : std::min<int64_t>(wanted, 2 * (int64_t)size);
    if (result > size)
        memset(buffer + size, 0, (size_t)(result - size));
    return (int32_t)result;
}

// Builds the converter for the frame's format unless the one held already fits it.
static bool audio_converter_ready(PlaybackState *state, const AVFrame *frame)
{
    if (state->audio_swr && frame->sample_rate == state->audio_swr_rate &&
        frame->format == state->audio_swr_format &&
        av_channel_layout_compare(&frame->ch_layout, &state->audio_swr_layout) == 0)
        return true;

    swr_free(&state->audio_swr);
    av_channel_layout_uninit(&state->audio_swr_layout);
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext *swr = nullptr;
    // Takes the layouts as non-const in this FFmpeg, though it only reads them.
    AVChannelLayout *in_layout = const_cast<AVChannelLayout *>(&frame->ch_layout);
    if (swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, audio_out_rate, in_layout,
                            (AVSampleFormat)frame->format, frame->sample_rate, 0, nullptr) < 0)
        return false;
    if (frame->ch_layout.nb_channels == 1) {
        // Mono plays each sample on both sides at full level (the default mix is 3 dB down).
        static const double both_sides[audio_out_channels] = {1.0, 1.0};
        swr_set_matrix(swr, both_sides, 1);
    }
    if (swr_init(swr) < 0 || av_channel_layout_copy(&state->audio_swr_layout, &frame->ch_layout) < 0) {
        swr_free(&swr);
        return false;
    }
    state->audio_swr = swr;
    state->audio_swr_rate = frame->sample_rate;
    state->audio_swr_format = frame->format;
    return true;
}

int32_t audio_convert_frame(PlaybackState *state, const AVFrame *frame, uint8_t *out)
{
    if (!audio_converter_ready(state, frame))
        return 0;
    uint8_t *planes[1] = {out};
    int frames = swr_convert(state->audio_swr, planes, audio_chunk_max_frames,
                             (const uint8_t **)frame->extended_data, frame->nb_samples);
    if (frames < 0)
        return 0;
    if (frames == audio_chunk_max_frames) {
        // Whatever did not fit is dropped: carried over, it would only grow with each frame.
        if (swr_init(state->audio_swr) < 0)
            swr_free(&state->audio_swr);  // built afresh for the next frame
    }
    return frames * audio_out_frame_bytes;
}

// The packet is used up (or failed): its payload goes back, the record is reset.
static void audio_packet_release(PlaybackState *state)
{
    if (!state->audio_pkt_data)
        return;
    av_free(state->audio_pkt_data);
    state->audio_pkt_data = nullptr;
    state->audio_pkt.data = nullptr;
    state->audio_pkt.size = 0;
    av_packet_unref(&state->audio_pkt);
}

int32_t audio_decode_next(PlaybackState *state, uint8_t *out)
{
    AVCodecContext *codec = state->audio_codec;
    const bool decoder_open = codec && avcodec_is_open(codec);
    AVFrame *frame = nullptr;
    for (;;) {
        // The decoder holds the packet in progress and gives one frame per call; the rest
        // of the packet stays with it for the next call. Nothing more (or a decode error,
        // after which the decoder has dropped the rest of the packet): the packet is done.
        if (state->audio_pkt_data && decoder_open) {
            if (!frame && !(frame = av_frame_alloc())) {
                fprintf(stderr, "Could not allocate audio frame!\n");
                exit(1);
            }
            if (avcodec_receive_frame(codec, frame) == 0) {
                int32_t size = audio_convert_frame(state, frame, out);
                av_frame_free(&frame);
                state->audio_clock = state->audio_clock + (double)size / audio_out_bytes_per_second;
                return size;
            }
        }
        av_frame_free(&frame);
        audio_packet_release(state);

        if (state->quit)
            return -1;
        int got = packet_queue_get(&state->audio_queue, &state->audio_pkt, 0);
        if (got < 0)
            return -1;
        if (got == 0) {
            if (decoder_open)
                avcodec_flush_buffers(codec);
            // The callback must not return short, so it waits here for the next packet.
            Sleep(empty_queue_wait_ms);
            continue;
        }

        state->audio_pkt_data = state->audio_pkt.data;
        if (state->audio_pkt.pts != AV_NOPTS_VALUE)
            state->audio_clock = (double)state->audio_pkt.pts / 90000.0;
        // An empty packet would start the decoder's draining; a refused one is dropped.
        if (!decoder_open || !state->audio_pkt.data || state->audio_pkt.size <= 0 ||
            avcodec_send_packet(codec, &state->audio_pkt) < 0)
            audio_packet_release(state);
    }
}

double audio_device_delay_of(const SDL_AudioSpec *granted)
{
    // The device's buffer is samples x channels x bytes a sample, played at freq frames a
    // second. Counted twice, as ffplay counts its hardware buffer: the one the callback is
    // filling and the one the device is playing (SDL's pulse backend asks the server to
    // hold two as well).
    int sample_bytes = (granted->format & 0xFF) / 8;
    int bytes = granted->samples * granted->channels * sample_bytes;
    int bytes_per_second = granted->freq * granted->channels * sample_bytes;
    if (bytes <= 0 || bytes_per_second <= 0)
        return 0.0;
    return 2.0 * bytes / bytes_per_second;
}

void os_audio_callback(void *user, uint8_t *stream, int len)
{
    PlaybackState *state = (PlaybackState *)user;
    memset(stream, 0, (size_t)len);
    int filled = 0;
    while (filled < len) {
        if ((uint32_t)state->audio_buf_pos >= (uint32_t)state->audio_buf_len) {
            int32_t size = audio_decode_next(state, state->audio_buf);
            if (size < 0) {
                memset(state->audio_buf, 0, quit_silence_bytes);
                state->audio_buf_len = quit_silence_bytes;
            } else {
                state->audio_buf_len = audio_sync_adjust(state, state->audio_buf, size);
            }
            state->audio_buf_pos = 0;
        }
        int pos = state->audio_buf_pos;
        int k = std::min(len - filled, (int)state->audio_buf_len - pos);
        memcpy(stream + filled, state->audio_buf + pos, (size_t)k);
        state->audio_buf_pos = pos + k;
        filled += k;
    }
}

bool os_audio_setup(int32_t channels, int32_t rate, PlaybackState *state)
{
    printf("os_audio_setup(%d, %d, %p)\n", channels, rate, (void *)state);
    SDL_AudioSpec wanted;
    SDL_AudioSpec granted;
    memset(&wanted, 0, sizeof wanted);
    memset(&granted, 0, sizeof granted);
    wanted.freq = rate;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = (Uint8)channels;
    wanted.silence = 0;
    wanted.samples = device_frames;
    wanted.callback = os_audio_callback;
    wanted.userdata = state;
    // No sound server or no card: the picture plays on without sound.
    if (SDL_OpenAudio(&wanted, &granted) < 0) {
        fprintf(stderr, "SDL_OpenAudioDevice: %s\n", SDL_GetError());
        return false;
    }
    state->audio_device_delay = audio_device_delay_of(&granted);
    return true;
}

void os_audio_close()
{
    printf("os_audio_close()\n");
    SDL_CloseAudio();
    printf("os_audio_close() done\n");
}

void audio_release(PlaybackState *state)
{
    swr_free(&state->audio_swr);
    av_channel_layout_uninit(&state->audio_swr_layout);
}
