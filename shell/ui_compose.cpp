#include "shell/ui_compose.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

AVFrame *UiBgraPicture;
AVFrame *UiPicture;
AVFrame *CompositePicture;

AVFrame *ui_picture_alloc(enum AVPixelFormat format, int width, int height)
{
    int size = av_image_get_buffer_size(format, width, height, 1);
    if (size < 0)
        return nullptr;
    AVFrame *frame = av_frame_alloc();
    uint8_t *buffer = (uint8_t *)av_malloc((size_t)size);
    if (!frame || !buffer) {
        av_frame_free(&frame);
        av_free(buffer);
        return nullptr;
    }
    av_image_fill_arrays(frame->data, frame->linesize, buffer, format, width, height, 1);
    frame->format = format;
    frame->width = width;
    frame->height = height;
    return frame;
}
