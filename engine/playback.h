// The state of one playback, and the engine globals that name the running one.
//
// A PlaybackState is allocated zeroed by the media control thread and freed by the
// playback's own decode_thread as its last act. Fields shared between threads without a
// lock are atomics; the comment above each group says who writes it.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "engine/clock.h"
#include "engine/packet_queue.h"
#include "engine/video_decode.h"
#include "input/ts_demux.h"

enum { audio_buf_size = 288000, url_size = 1024, mcast_group_size = 20 };

struct PlaybackState {
    // Set by the media control thread before the playback starts.
    SyncMode sync_mode;

    // Audio output: SDL's audio thread alone, once the device is open. audio_clock and the
    // staging indices are also read by display_thread in sync_audio mode.
    std::atomic<double> audio_clock;
    PacketQueue audio_queue;
    uint8_t audio_buf[audio_buf_size];
    std::atomic<int32_t> audio_buf_len;
    std::atomic<int32_t> audio_buf_pos;
    AVPacket audio_pkt;
    uint8_t *audio_pkt_data;
    double drift_sum;
    double drift_coef;
    double drift_threshold;
    int32_t drift_count;
    // Seconds of sound the device holds ahead of what the callback hands it: set by
    // os_audio_setup from the granted buffer before the device runs; 0 without a device.
    std::atomic<double> audio_device_delay;

    // The stream's PCR anchor: written by decode_thread, read by every clock reader.
    std::atomic<double> pcr_base;
    std::atomic<int64_t> pcr_time;

    // Display pacing: display_thread (and on_pmt before the thread starts).
    double frame_timer;
    double last_frame_pts;
    double last_frame_delay;
    double video_clock;  // video_thread
    std::atomic<double> shown_pts;
    std::atomic<int64_t> shown_time;

    PacketQueue video_queue;

    // Picture ring: video_thread fills the slot at picture_write, display_thread shows the
    // slot at picture_read; picture_count under picture_lock (polled without it).
    PictureSlot pictures[picture_ring_size];
    std::atomic<int32_t> picture_count;
    int32_t picture_read;
    int32_t picture_write;

    // Stream selection: decode_thread (on_pmt).
    int32_t video_pid;
    int32_t audio_pid;
    std::atomic<AVCodecContext *> video_codec;
    AVCodecContext *audio_codec;

    pthread_mutex_t *picture_lock;
    pthread_cond_t *picture_cond;

    // Non-null while the thread runs: set by on_pmt, cleared by the thread as its last step
    // (or by the teardown's report). Points at the join handle below.
    std::atomic<pthread_t *> video_thread_id;
    std::atomic<pthread_t *> display_thread_id;

    // decode_thread only.
    TsDemux *demux;
    char url[url_size];
    char mcast_group[mcast_group_size];
    int32_t mcast_port;
    char file_path[url_size];

    // Set to 1 by the media control thread, never cleared.
    std::atomic<int32_t> quit;

    int32_t last_pmt_version;  // decode_thread (on_pmt); -1 = none

    // Join handles, so the teardown can wait for the threads to end for real.
    pthread_t video_thread;
    pthread_t display_thread;
    uint8_t video_thread_joinable;
    uint8_t display_thread_joinable;

    // ---- Audio conversion into the staging format (48 kHz interleaved S16 stereo) ----
    // SDL's audio thread alone, like the audio fields above; freed by audio_release once
    // the device is closed. The input format the converter was built for; rebuilt when a
    // decoded frame reports another.
    struct SwrContext *audio_swr;
    int32_t audio_swr_rate;
    int32_t audio_swr_format;
    AVChannelLayout audio_swr_layout;
};

// A zeroed record for `url` with its picture lock and condition variable, no PMT handled
// yet and the PCR clock as master; null when memory runs out.
PlaybackState *playback_alloc(const char *url);

// Sets quit and wakes the playback's blocked waits (the video queue's get, the picture
// ring's wait for a free slot) so its threads see it.
void playback_set_quit(PlaybackState *state);

// Frees the record and all it still holds: queued packets, decoders, the audio converter,
// slot pictures, locks. Only once no thread of the playback can touch it.
void playback_free(PlaybackState *state);

// The running playback, or null. Registered by the media control thread before its
// decode_thread starts; cleared by that decode_thread's teardown.
extern std::atomic<PlaybackState *> current_playback;

// A video_thread has started since the program started; never cleared afterwards.
extern std::atomic<uint8_t> video_started;

// Pictures display_thread has taken off a ring and shown (or passed over when they could
// not be scaled) since the program started; never reset. Unlike the new_picture flag,
// which folds pictures together until the render tick looks, it counts each one.
extern std::atomic<uint32_t> pictures_shown;

// A native multicast datagram has arrived since the program started; never cleared.
extern std::atomic<uint8_t> mcast_seen;

// PTS (90 kHz) of the video packet being decoded, for the decoder's buffer callback.
extern std::atomic<int64_t> decoding_pts;
