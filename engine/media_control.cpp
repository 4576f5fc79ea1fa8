#include "engine/media_control.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
}

#include "engine/decode_thread.h"
#include "engine/picture_scale.h"
#include "input/amt.h"
#include "platform/crt.h"
#include "config/player_config.h"

MediaControlBlock *MediaControl;
std::atomic<PlaybackState *> current_playback;
std::atomic<uint8_t> video_started;
std::atomic<uint32_t> pictures_shown;
std::atomic<uint8_t> mcast_seen;
std::atomic<int64_t> decoding_pts{AV_NOPTS_VALUE};

// pending_url: written by media_play on the GUI thread, taken by the control thread.
static pthread_mutex_t request_lock = PTHREAD_MUTEX_INITIALIZER;
// current_playback's registration, and every write of its quit flag. Taken before a
// queue's or the picture ring's lock, never after.
static pthread_mutex_t playback_lock = PTHREAD_MUTEX_INITIALIZER;

void media_init()
{
    MediaControl = new (av_mallocz(sizeof(MediaControlBlock))) MediaControlBlock();
    video_started = 0;
    OutputPicture = picture_alloc_yuv420(PlayerConfig.video_w, PlayerConfig.video_h);
    ScaledPicture = picture_alloc_yuv420(PlayerConfig.video_w, PlayerConfig.video_h);
    if (!OutputPicture || !ScaledPicture) {
        fprintf(stderr, "Cannot allocate the output pictures\n");
        exit(1);
    }
    MediaControl->screen_mode = 0;
    MediaControl->pig_x = 0;
    MediaControl->pig_y = 0;
    MediaControl->pig_w = PlayerConfig.video_w;
    MediaControl->pig_h = PlayerConfig.video_h;
    MediaControl->rebuild_scaler = 0;
    MediaControl->stop_request = 0;
    // FFmpeg registers its formats and codecs by itself since version 4.
    atexit(media_atexit);

    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&thread, &attr, media_control_thread, MediaControl) != 0) {
        fprintf(stderr, "Cannot start the media control thread\n");
        exit(1);
    }
    pthread_attr_destroy(&attr);
}

void media_play(const char *url)
{
    printf("media_play(%s)\n", url);
    if (!MediaControl)
        return;
    const char *chosen = PlayerConfig.override_media_url[0] ? PlayerConfig.override_media_url : url;
    pthread_mutex_lock(&request_lock);
    av_strlcpy(MediaControl->pending_url, chosen, sizeof MediaControl->pending_url);
    pthread_mutex_unlock(&request_lock);
}

// Starts a playback of `url`; called with playback_lock held and no playback registered.
static void playback_start(MediaControlBlock *control, const char *url)
{
    printf("Starting new decode_thread...\n");
    control->stop_request = 0;
    PlaybackState *state = playback_alloc(url);
    if (!state) {
        fprintf(stderr, "Cannot allocate a playback\n");
        return;
    }

    // Black and a fresh scaler before the thread starts: once it runs, its display_thread
    // owns OutputPicture.
    make_black_picture();
    control->rebuild_scaler = 1;

    // Registered before its thread runs, so the next pass cannot start a second playback.
    current_playback = state;
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int started = pthread_create(&thread, &attr, decode_thread, state);
    pthread_attr_destroy(&attr);
    if (started != 0) {
        fprintf(stderr, "Cannot start decode_thread\n");
        current_playback = nullptr;
        playback_free(state);
        return;
    }
}

void *media_control_thread(void *arg)
{
    MediaControlBlock *control = (MediaControlBlock *)arg;
    char url[url_size];
    for (;;) {
        pthread_mutex_lock(&request_lock);
        bool requested = control->pending_url[0] != 0;
        pthread_mutex_unlock(&request_lock);

        if (requested) {
            pthread_mutex_lock(&playback_lock);
            PlaybackState *running = current_playback;
            if (running) {
                playback_set_quit(running);
            } else {
                // Taken and cleared in one step: a request made meanwhile is not lost.
                pthread_mutex_lock(&request_lock);
                av_strlcpy(url, control->pending_url, sizeof url);
                control->pending_url[0] = 0;
                pthread_mutex_unlock(&request_lock);
                playback_start(control, url);
            }
            pthread_mutex_unlock(&playback_lock);
        }
        if (control->stop_request) {
            pthread_mutex_lock(&playback_lock);
            PlaybackState *running = current_playback;
            if (running) {
                playback_set_quit(running);
                control->stop_request = 0;
            }
            pthread_mutex_unlock(&playback_lock);
        }
        Sleep(10);
    }
    return nullptr;
}

bool media_request_pending()
{
    pthread_mutex_lock(&request_lock);
    bool pending = MediaControl && MediaControl->pending_url[0];
    pthread_mutex_unlock(&request_lock);
    return pending;
}

void media_unregister_playback(PlaybackState *state)
{
    pthread_mutex_lock(&playback_lock);
    if (current_playback == state)
        current_playback = nullptr;
    pthread_mutex_unlock(&playback_lock);
}

void make_black_picture()
{
    printf("make_black_picture(): Calling av_picture_pad()\n");
    AVFrame *picture = OutputPicture;
    int h = PlayerConfig.video_h;
    // Whole planes, also the last chroma column and row of an odd size.
    memset(picture->data[0], 0, (size_t)picture->linesize[0] * h);
    memset(picture->data[1], 0x80, (size_t)picture->linesize[1] * ((h + 1) / 2));
    memset(picture->data[2], 0x80, (size_t)picture->linesize[2] * ((h + 1) / 2));
    printf("make_black_picture(): back\n");
}

void media_atexit()
{
    printf("media_atexit()\n");
    amt_teardown_active();
}
