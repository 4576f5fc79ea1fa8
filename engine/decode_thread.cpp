#include "engine/decode_thread.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
}

#include "engine/audio_output.h"
#include "engine/media_control.h"
#include "engine/stream_select.h"
#include "input/amt.h"
#include "input/mcast.h"
#include "platform/crt.h"
#include "platform/winsock.h"
#include "config/player_config.h"

enum {
    receive_size = 3760,  // 20 transport-stream packets
    audio_queue_limit = 81920,
    video_queue_limit = 1310720,
    default_mcast_port = 5000,
    teardown_pauses = 12,
};

InputKind decode_parse_url(PlaybackState *state)
{
    const char *url = state->url;
    if (strncmp(url, "igmp:", 5) == 0) {
        // The two characters after the scheme (normally "//") are skipped unread.
        const char *rest = strlen(url) >= 7 ? url + 7 : "";
        const char *colon = strchr(rest, ':');
        size_t group_len = colon ? (size_t)(colon - rest) : strlen(rest);
        if (group_len > sizeof state->mcast_group - 1)
            group_len = sizeof state->mcast_group - 1;
        memcpy(state->mcast_group, rest, group_len);
        state->mcast_group[group_len] = 0;
        // Read as atoi reads, but defined for digits past any int (a page's URL): strtol
        // stops at its limit, and the port is used modulo 65536 anyway.
        state->mcast_port = colon ? (int32_t)strtol(colon + 1, nullptr, 10) : default_mcast_port;
        printf("decode_thread: mcast(%s:%d)\n", state->mcast_group, state->mcast_port);
        if (!PlayerConfig.fake_mcast[0])
            return input_socket;
        int n = snprintf(state->file_path, sizeof state->file_path, "%s%s.ts", PlayerConfig.fake_mcast,
                         state->mcast_group);
        if (n < 0 || (size_t)n >= sizeof state->file_path) {
            state->file_path[0] = 0;
            printf("decode_thread: fake multicast path too long, not played\n");
            return input_refused;
        }
        return input_file;
    }
    if (strncmp(url, "file:", 5) == 0) {
        av_strlcpy(state->file_path, url + 5, sizeof state->file_path);
        printf("decode_thread: file(%s)\n", state->file_path);
        return input_file;
    }
    printf("decode_thread: Request to play URL with unknown transport\n");
    return input_refused;
}

bool decode_queues_full(const PlaybackState *state)
{
    return state->audio_queue.bytes > audio_queue_limit || state->video_queue.bytes > video_queue_limit;
}

// A page chooses the path. A pipe, a terminal or a device would block the open or the
// reads, and a playback blocked there never sees its stop, so only a regular file is
// opened; anything else counts as a file that cannot be opened. *err: the system's
// error when the open itself failed, else 0.
static int decode_open_file(const char *path, int *err)
{
    *err = 0;
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        printf("decode_thread: %s is not a regular file\n", path);
        return -1;
    }
    int fd = _open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0)
        *err = errno;
    return fd;
}

// At the end of the file, or without one, a pass only waits: a live player keeps the
// playback registered until it is stopped, and need not spin a processor meanwhile.
static void decode_read_file(PlaybackState *state, int fd, uint8_t *buffer)
{
    int n = fd >= 0 ? _read(fd, buffer, receive_size) : 0;
    if (n <= 0) {
        Sleep(10);
        return;
    }
    ts_process_packets(buffer, n, state);
}

// One pass of socket input: native data first, then the tunnel, then the AMT fallback.
static void decode_read_socket(PlaybackState *state, SOCKET sock, uint8_t *buffer, int64_t start_time)
{
    SOCKET tunnel = amt_active_socket();
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    SOCKET highest = sock;
    if (tunnel != INVALID_SOCKET && tunnel != sock) {
        FD_SET(tunnel, &readable);
        if (tunnel > highest)
            highest = tunnel;
    }
    struct timeval timeout = {0, 100000};
    int ready = select(highest + 1, &readable, nullptr, nullptr, &timeout);
    if (ready < 0)
        FD_ZERO(&readable);  // interrupted: nothing is readable this pass

    if (FD_ISSET(sock, &readable)) {
        mcast_seen = 1;
        int n = (int)recv(sock, buffer, receive_size, 0);
        ts_process_packets(buffer, n, state);
        if (tunnel != INVALID_SOCKET)
            amt_teardown_active();
        return;
    }
    if (tunnel != INVALID_SOCKET) {
        if (FD_ISSET(tunnel, &readable))
            amt_receive();
        amt_tick();
        return;
    }
    if (!mcast_seen && _time64(nullptr) > start_time + 2) {
        printf("Not received any multicast, trying AMT...\n");
        amt_open(state->mcast_group, state->mcast_port, ts_process_packets, state);
    }
}

// Waits for video_thread and display_thread: polls, reports the ones still running after
// the twelfth pause, then joins them so none can touch the record after it is freed.
static void decode_wait_threads(PlaybackState *state)
{
    int pauses = 0;
    while (state->display_thread_id || state->video_thread_id) {
        Sleep(10);
        if (++pauses == teardown_pauses) {
            if (state->display_thread_id) {
                printf("killing display_thread!\n");
                state->display_thread_id = nullptr;
            }
            if (state->video_thread_id) {
                printf("killing video_thread!\n");
                state->video_thread_id = nullptr;
            }
        }
    }
    if (state->display_thread_joinable)
        pthread_join(state->display_thread, nullptr);
    if (state->video_thread_joinable)
        pthread_join(state->video_thread, nullptr);
    state->display_thread_joinable = 0;
    state->video_thread_joinable = 0;
}

void *decode_thread(void *arg)
{
    PlaybackState *state = (PlaybackState *)arg;
    printf("decode_thread starting\n");
    current_playback = state;  // already registered by the control thread
    state->demux = ts_demux_create();
    if (state->demux) {
        state->demux->pmt_callback = on_pmt;
        state->demux->pmt_user = state;
    } else {
        printf("decode_thread: cannot create the demultiplexer\n");
    }

    InputKind kind = state->demux ? decode_parse_url(state) : input_refused;
    int fd = -1;
    SOCKET sock = INVALID_SOCKET;
    if (kind == input_file) {
        int err;
        fd = decode_open_file(state->file_path, &err);
        if (strncmp(state->url, "file:", 5) == 0)
            printf("decode_thread: rx_fd = %d\n", fd);
        // Otherwise a path that cannot be opened shows only as a black picture.
        if (err)
            printf("decode_thread: cannot open %s: %s\n", state->file_path, strerror(err));
    } else if (kind == input_socket) {
        sock = mcast_join(state->mcast_group, state->mcast_port);
    }

    if (kind != input_refused) {
        uint8_t buffer[receive_size];
        int64_t start_time = _time64(nullptr);
        while (!state->quit) {
            if (decode_queues_full(state)) {
                Sleep(10);
                continue;
            }
            if (kind == input_file)
                decode_read_file(state, fd, buffer);
            else if (sock != INVALID_SOCKET)
                decode_read_socket(state, sock, buffer, start_time);
            else
                Sleep(10);  // not joined: like a file that cannot be opened, it waits for the stop
        }
    }

    if (kind == input_file && fd >= 0)
        _close(fd);
    if (kind == input_socket && sock != INVALID_SOCKET) {
        mcast_leave(sock, state->mcast_group);
        amt_teardown_active();
    }
    printf("decode_thread finishing - waiting for other threads to die\n");
    decode_wait_threads(state);
    ts_demux_free(state->demux);
    state->demux = nullptr;
    os_audio_close();
    media_unregister_playback(state);
    playback_free(state);
    printf("decode_thread finished\n");
    return (void *)(intptr_t)(kind == input_refused ? -1 : 0);
}
