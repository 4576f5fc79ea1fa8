// FIFO of compressed packets between the playback's decode_thread (producer, through
// on_pes_packet) and one consumer: video_thread (blocking gets) or the audio callback
// (non-blocking gets). `mutex` guards every field; `bytes` is also read without it by
// decode_thread as a back-pressure hint.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>

extern "C" {
#include <libavcodec/packet.h>
}

struct PacketNode {
    AVPacket packet;  // payload pointer travels with the record; never copied
    PacketNode *next;
};

struct PacketQueue {
    PacketNode *first;
    PacketNode *last;
    int32_t count;
    std::atomic<int32_t> bytes;
    std::atomic<pthread_mutex_t *> mutex;  // null until packet_queue_init
    pthread_cond_t *cond;
};

// Empties the queue and creates its mutex and condition variable.
void packet_queue_init(PacketQueue *q);

// Appends a copy of the record. 0 when queued, -1 when no node could be had (the packet
// and its payload stay the caller's).
int packet_queue_put(PacketQueue *q, const AVPacket *packet);

// Takes the oldest packet into *out: 1 when taken, 0 when empty and block is 0, -1 when
// the running playback is quitting (the queue keeps its packets).
int packet_queue_get(PacketQueue *q, AVPacket *out, int block);

// Wakes every blocked get so it sees the quit flag. Safe on a queue never initialised.
void packet_queue_wake(PacketQueue *q);

// Frees the queued packets with their payloads, then the mutex and condition variable.
// Only when no other thread can touch the queue any more.
void packet_queue_release(PacketQueue *q);
