#include "tests/support/playback_harness.h"

#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <new>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include "engine/audio_output.h"
#include "engine/media_control.h"
#include "engine/picture_scale.h"
#include "shell/config.h"

void harness_engine_init()
{
    if (MediaControl)
        return;
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    config_defaults();
    MediaControl = new (av_mallocz(sizeof(MediaControlBlock))) MediaControlBlock();
    MediaControl->pig_w = PlayerConfig.video_w;
    MediaControl->pig_h = PlayerConfig.video_h;
    OutputPicture = picture_alloc_yuv420(PlayerConfig.video_w, PlayerConfig.video_h);
    ScaledPicture = picture_alloc_yuv420(PlayerConfig.video_w, PlayerConfig.video_h);
}

void harness_media_start()
{
    static bool started = false;
    if (started)
        return;
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    config_defaults();
    media_init();
    started = true;
}

PlaybackState *harness_playback_create()
{
    harness_engine_init();
    PlaybackState *state = playback_alloc("");
    current_playback = state;
    return state;
}

void harness_playback_stop(PlaybackState *state)
{
    playback_set_quit(state);
    if (state->video_thread_joinable)
        pthread_join(state->video_thread, nullptr);
    if (state->display_thread_joinable)
        pthread_join(state->display_thread, nullptr);
    state->video_thread_joinable = 0;
    state->display_thread_joinable = 0;
    os_audio_close();
}

void harness_playback_free(PlaybackState *state)
{
    harness_playback_stop(state);
    if (current_playback == state)
        current_playback = nullptr;
    playback_free(state);
}

std::vector<AVPacket> harness_read_video_packets(const std::string &path)
{
    std::vector<AVPacket> packets;
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0)
        return packets;
    avformat_find_stream_info(format, nullptr);
    int video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVPacket *read = av_packet_alloc();
    while (video >= 0 && av_read_frame(format, read) >= 0) {
        if (read->stream_index == video) {
            AVRational ticks = {1, 90000};
            AVRational base = format->streams[video]->time_base;
            AVPacket p;
            memset(&p, 0, sizeof p);
            p.data = (uint8_t *)av_mallocz((size_t)read->size + AV_INPUT_BUFFER_PADDING_SIZE);
            memcpy(p.data, read->data, (size_t)read->size);
            p.size = read->size;
            p.pts = read->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : av_rescale_q(read->pts, base, ticks);
            p.dts = read->dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : av_rescale_q(read->dts, base, ticks);
            p.pos = -1;
            packets.push_back(p);
        }
        av_packet_unref(read);
    }
    av_packet_free(&read);
    avformat_close_input(&format);
    return packets;
}

void harness_free_packets(std::vector<AVPacket> &packets)
{
    for (AVPacket &p : packets)
        av_free(p.data);
    packets.clear();
}

std::string harness_fixture(const char *name)
{
    return std::string(ZANDORO_FIXTURE_DIR) + "/" + name;
}

const char harness_end_line[] = "Ignoring 47 bytes after the last whole packet\n";

std::string harness_end_mark()
{
    return std::string(47, '\xA5');
}

bool harness_playback_drained(PlaybackState *state)
{
    PacketQueue *q = &state->video_queue;
    pthread_mutex_t *mutex = q->mutex;
    if (!mutex)
        return state->picture_count == 0;
    pthread_mutex_lock(mutex);
    bool drained = q->count == 0 && state->picture_count == 0;
    pthread_mutex_unlock(mutex);
    return drained;
}

bool harness_stop_playback(int timeout_ms)
{
    MediaControl->stop_request = 1;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (current_playback || MediaControl->stop_request) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
