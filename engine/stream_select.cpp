// Stream choice from each new PMT version, the decoders and threads it starts, and the
// intake of PES packets into the playback's packet queues.
#include "engine/stream_select.h"

#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <SDL.h>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

#include "engine/audio_output.h"
#include "engine/playback.h"
#include "engine/video_decode.h"

enum {
    stream_mpeg2_video = 2,
    stream_mpeg1_audio = 3,
    stream_mpeg2_audio = 4,  // named "Unknown" in the table, yet played
    stream_h264_video = 27,
    output_channels = 2,
    output_rate = 48000,
    pes_fixed_header = 9,  // start code, stream_id, length, two flag bytes, header length
};

const char *const stream_type_names[33] = {
    "Reserved",           "MPEG-1 Video",       "MPEG-2 Video",       "MPEG-1 Audio",
    "Unknown",            "Private Sections",   "PES Private Data",   "MHEG",
    "Unknown",            "Unknown",            "ISO 13818-6 type A", "ISO 13818-6 type B",
    "ISO 13818-6 type C", "ISO 13818-6 type D", "Unknown",            "AAC Audio",
    "Unknown",            "Unknown",            "Unknown",            "Unknown",
    "Unknown",            "Unknown",            "Unknown",            "Unknown",
    "Unknown",            "Unknown",            "Unknown",            "H.264 Video",
    "Unknown",            "Unknown",            "Unknown",            "Unknown",
    "Unknown",
};

const char *stream_type_name(int32_t stream_type)
{
    if (stream_type < 0 || stream_type >= (int32_t)(sizeof stream_type_names / sizeof *stream_type_names))
        return "Unknown";
    return stream_type_names[stream_type];
}

static void stream_take_payload(TsDemux *demux, int32_t pid, PlaybackState *state)
{
    TsPidStream *record = demux->pids[pid];
    if (record) {
        record->payload_callback = on_pes_packet;
        record->payload_user = state;
    }
}

// Failures are not fatal: the stream stays chosen and its packets are queued; a missing
// context just decodes nothing.
static AVCodecContext *stream_open_decoder(AVCodecID id, bool tag_buffers)
{
    const AVCodec *codec = avcodec_find_decoder(id);
    AVCodecContext *context = avcodec_alloc_context3(codec);
    if (!context)
        return nullptr;
    if (tag_buffers) {
        context->get_buffer2 = decoder_get_buffer_tagged;
        // One thread: the buffer callback must run inside the decode of the packet whose
        // pts it reads. No frame threading either (it would warn about the callback).
        context->thread_count = 1;
        context->thread_type = FF_THREAD_SLICE;
    }
    avcodec_open2(context, codec, nullptr);
    return context;
}

// Starts `entry` on `handle`; `id` is set before the thread can run, so the thread's own
// clearing of it at its end is always the later write.
static void stream_start_thread(PlaybackState *state, void *(*entry)(void *), pthread_t *handle,
                                uint8_t *joinable, std::atomic<pthread_t *> *id)
{
    *id = handle;
    if (pthread_create(handle, nullptr, entry, state) == 0)
        *joinable = 1;
    else
        *id = nullptr;
}

static void stream_setup_video(TsDemux *demux, PlaybackState *state, const TsPidStream *s)
{
    state->video_pid = s->pid;
    stream_take_payload(demux, s->pid, state);
    AVCodecID id = s->stream_type == stream_mpeg2_video ? AV_CODEC_ID_MPEG2VIDEO : AV_CODEC_ID_H264;
    state->video_codec = stream_open_decoder(id, true);
    state->frame_timer = av_gettime() / 1000000.0;
    state->last_frame_delay = 0.04;
    state->shown_time = av_gettime();
    packet_queue_init(&state->video_queue);
    if (!state->video_thread_id)
        stream_start_thread(state, video_thread, &state->video_thread, &state->video_thread_joinable,
                            &state->video_thread_id);
    if (!state->display_thread_id)
        stream_start_thread(state, display_thread, &state->display_thread,
                            &state->display_thread_joinable, &state->display_thread_id);
}

static void stream_setup_audio(TsDemux *demux, PlaybackState *state, const TsPidStream *s)
{
    state->audio_pid = s->pid;
    state->audio_codec = stream_open_decoder(AV_CODEC_ID_MP3, false);
    state->audio_buf_len = 0;
    state->audio_buf_pos = 0;
    // The device always plays 2 channels at 48 kHz, whatever the stream says.
    if (state->audio_codec) {
        av_channel_layout_uninit(&state->audio_codec->ch_layout);
        av_channel_layout_default(&state->audio_codec->ch_layout, output_channels);
        state->audio_codec->sample_rate = output_rate;
    }
    state->drift_coef = exp(log(0.0005));
    state->drift_count = 0;
    state->drift_threshold = 2048.0 / output_rate;
    memset(&state->audio_pkt, 0, sizeof state->audio_pkt);
    state->audio_pkt.pts = AV_NOPTS_VALUE;
    state->audio_pkt.dts = AV_NOPTS_VALUE;
    state->audio_pkt_data = nullptr;
    packet_queue_init(&state->audio_queue);
    // Without a device the stream stays chosen but its packets are not taken: nothing
    // would drain the queue, and its back-pressure would stop the picture too.
    if (!os_audio_setup(output_channels, output_rate, state))
        return;
    stream_take_payload(demux, s->pid, state);
    SDL_PauseAudio(0);
}

void on_pmt(TsDemux *demux, PmtInfo *pmt, void *user)
{
    PlaybackState *state = (PlaybackState *)user;
    if (pmt->version == state->last_pmt_version) {
        free(pmt);
        return;
    }
    printf("PMT version %d, PCR PID %d\n", pmt->version, pmt->pcr_pid);
    for (TsPidStream *s = pmt->streams; s; s = s->next) {
        printf(" PID = %d, type = %d (%s)\n", s->pid, s->stream_type, stream_type_name(s->stream_type));
        bool video = s->stream_type == stream_mpeg2_video || s->stream_type == stream_h264_video;
        bool audio = s->stream_type == stream_mpeg1_audio || s->stream_type == stream_mpeg2_audio;
        // "NAR" marks a narration (audio description) track; only the exact upper-case code.
        if (video && state->video_pid == 0)
            stream_setup_video(demux, state, s);
        else if (audio && state->audio_pid == 0 && strncmp(s->language, "NAR", sizeof s->language) != 0)
            stream_setup_audio(demux, state, s);
    }
    state->last_pmt_version = pmt->version;
    free(pmt);
}

// The 33-bit stamp of a PES header field (c[0] to c[4]); prefix and marker bits unread.
static int64_t pes_stamp(const uint8_t *c)
{
    return (int64_t)((c[0] >> 1) & 7) << 30 | (int64_t)c[1] << 22 | (int64_t)(c[2] >> 1) << 15 |
           (int64_t)c[3] << 7 | (int64_t)(c[4] >> 1);
}

static bool pes_has_header(uint8_t stream_id)
{
    switch (stream_id) {
    case 0xBC:  // program_stream_map
    case 0xBE:  // padding_stream
    case 0xBF:  // private_stream_2
    case 0xF0:  // ECM
    case 0xF1:  // EMM
    case 0xF2:  // DSMCC_stream
    case 0xF8:  // ITU-T H.222.1 type E
    case 0xFF:  // program_stream_directory
        return false;
    default:
        return true;
    }
}

void on_pes_packet(TsDemux *demux, int32_t pid, const uint8_t *data, int32_t len, void *user)
{
    PlaybackState *state = (PlaybackState *)user;
    if (demux->first_pcr != 0) {
        state->pcr_base = (double)demux->first_pcr;
        state->pcr_time = demux->first_pcr_time;
    }
    if (len < pes_fixed_header || !pes_has_header(data[3]))
        return;
    int flags = data[7] >> 6;
    int header_length = data[8];
    int64_t pts = AV_NOPTS_VALUE;
    int64_t dts = AV_NOPTS_VALUE;
    if (flags == 2 || flags == 3) {
        if (len < pes_fixed_header + (flags == 3 ? 10 : 5))
            return;  // a stamp cut off by the packet's end: damaged
        pts = pes_stamp(data + 9);
        if (flags == 3)
            dts = pes_stamp(data + 14);
    }
    // A header that leaves no payload queues nothing.
    int32_t size = len - pes_fixed_header - header_length;
    if (size <= 0)
        return;

    // libavcodec reads past the end of its input; those bytes must be zero.
    uint8_t *payload = (uint8_t *)av_malloc((size_t)size + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!payload)
        return;
    memcpy(payload, data + pes_fixed_header + header_length, (size_t)size);
    memset(payload + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);

    AVPacket packet;
    memset(&packet, 0, sizeof packet);
    packet.pos = -1;
    packet.data = payload;
    packet.size = size;
    packet.pts = pts;
    packet.dts = dts;

    PacketQueue *queue = nullptr;
    if (pid == state->video_pid)
        queue = &state->video_queue;
    else if (pid == state->audio_pid)
        queue = &state->audio_queue;
    if (!queue || packet_queue_put(queue, &packet) < 0)
        av_free(payload);
}

int decoder_get_buffer_tagged(AVCodecContext *context, AVFrame *frame, int flags)
{
    int r = avcodec_default_get_buffer2(context, frame, flags);
    // A reference-counted tag travels with every reference to the picture and is freed
    // with the last one, so pictures the decoder drops leak nothing.
    AVBufferRef *tag = av_buffer_alloc(sizeof(int64_t));
    if (!tag)
        return r;  // untagged: the picture is timed by the predicted clock
    int64_t pts = decoding_pts;
    memcpy(tag->data, &pts, sizeof pts);
    av_buffer_unref(&frame->opaque_ref);
    frame->opaque_ref = tag;
    frame->opaque = tag->data;
    return r;
}
