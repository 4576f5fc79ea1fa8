#include "engine/playback.h"

#include <stdlib.h>

#include <new>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
}

#include "engine/audio_output.h"

PlaybackState *playback_alloc(const char *url)
{
    void *memory = av_mallocz(sizeof(PlaybackState));
    if (!memory)
        return nullptr;
    PlaybackState *state = new (memory) PlaybackState();
    av_strlcpy(state->url, url, sizeof state->url);
    state->picture_lock = (pthread_mutex_t *)malloc(sizeof(pthread_mutex_t));
    state->picture_cond = (pthread_cond_t *)malloc(sizeof(pthread_cond_t));
    if (!state->picture_lock || !state->picture_cond) {
        free(state->picture_lock);
        free(state->picture_cond);
        state->~PlaybackState();
        av_free(state);
        return nullptr;
    }
    pthread_mutex_init(state->picture_lock, nullptr);
    pthread_cond_init(state->picture_cond, nullptr);
    state->last_pmt_version = -1;
    state->sync_mode = sync_pcr;
    return state;
}

void playback_set_quit(PlaybackState *state)
{
    state->quit = 1;
    packet_queue_wake(&state->video_queue);
    packet_queue_wake(&state->audio_queue);
    pthread_mutex_lock(state->picture_lock);
    pthread_cond_broadcast(state->picture_cond);
    pthread_mutex_unlock(state->picture_lock);
}

void playback_free(PlaybackState *state)
{
    audio_release(state);
    for (PictureSlot &slot : state->pictures)
        picture_slot_release(&slot);
    packet_queue_release(&state->video_queue);
    packet_queue_release(&state->audio_queue);
    AVCodecContext *video = state->video_codec;
    avcodec_free_context(&video);
    state->video_codec = nullptr;
    avcodec_free_context(&state->audio_codec);
    av_free(state->audio_pkt_data);
    state->audio_pkt_data = nullptr;
    pthread_cond_destroy(state->picture_cond);
    free(state->picture_cond);
    pthread_mutex_destroy(state->picture_lock);
    free(state->picture_lock);
    state->~PlaybackState();
    av_free(state);
}
