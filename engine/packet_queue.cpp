#include "engine/packet_queue.h"

#include <stdlib.h>

extern "C" {
#include <libavutil/mem.h>
}

#include "engine/playback.h"

void packet_queue_init(PacketQueue *q)
{
    q->first = nullptr;
    q->last = nullptr;
    q->count = 0;
    q->bytes = 0;
    pthread_mutex_t *mutex = (pthread_mutex_t *)malloc(sizeof *mutex);
    q->cond = (pthread_cond_t *)malloc(sizeof *q->cond);
    if (mutex)
        pthread_mutex_init(mutex, nullptr);
    if (q->cond)
        pthread_cond_init(q->cond, nullptr);
    // Published last: a waker that sees the mutex also sees the condition variable.
    q->mutex = mutex;
}

int packet_queue_put(PacketQueue *q, const AVPacket *packet)
{
    PacketNode *node = (PacketNode *)av_malloc(sizeof *node);
    if (!node)
        return -1;
    node->packet = *packet;
    node->next = nullptr;

    pthread_mutex_lock(q->mutex);
    if (q->last)
        q->last->next = node;
    else
        q->first = node;
    q->last = node;
    q->count++;
    q->bytes += packet->size;
    pthread_cond_signal(q->cond);
    pthread_mutex_unlock(q->mutex);
    return 0;
}

static bool playback_quitting()
{
    PlaybackState *running = current_playback;
    return running && running->quit;
}

int packet_queue_get(PacketQueue *q, AVPacket *out, int block)
{
    int result;
    pthread_mutex_lock(q->mutex);
    for (;;) {
        if (playback_quitting()) {
            result = -1;
            break;
        }
        PacketNode *node = q->first;
        if (node) {
            q->first = node->next;
            if (!q->first)
                q->last = nullptr;
            q->count--;
            q->bytes -= node->packet.size;
            *out = node->packet;
            av_free(node);
            result = 1;
            break;
        }
        if (!block) {
            result = 0;
            break;
        }
        pthread_cond_wait(q->cond, q->mutex);
    }
    pthread_mutex_unlock(q->mutex);
    return result;
}

void packet_queue_wake(PacketQueue *q)
{
    pthread_mutex_t *mutex = q->mutex;
    if (!mutex)
        return;
    pthread_mutex_lock(mutex);
    pthread_cond_broadcast(q->cond);
    pthread_mutex_unlock(mutex);
}

void packet_queue_release(PacketQueue *q)
{
    pthread_mutex_t *mutex = q->mutex;
    if (!mutex)
        return;
    for (PacketNode *node = q->first; node;) {
        PacketNode *next = node->next;
        av_free(node->packet.data);
        av_free(node);
        node = next;
    }
    q->first = q->last = nullptr;
    q->count = 0;
    q->bytes = 0;
    pthread_cond_destroy(q->cond);
    free(q->cond);
    q->cond = nullptr;
    pthread_mutex_destroy(mutex);
    free(mutex);
    q->mutex = nullptr;
}
