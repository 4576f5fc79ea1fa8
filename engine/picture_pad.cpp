#include "engine/picture_pad.h"

#include <stddef.h>
#include <string.h>

// One plane: rows outside [top, top + rows) are all colour; the others are colour, then
// `cols` source bytes, then colour again.
static void pad_plane(uint8_t *dst, int dst_stride, int dst_w, int dst_h, const uint8_t *src,
                      int src_stride, int left, int top, int cols, int rows, uint8_t colour)
{
    int right = dst_w - left - cols;
    for (int row = 0; row < dst_h; row++) {
        uint8_t *line = dst + (ptrdiff_t)row * dst_stride;
        if (row < top || row >= top + rows) {
            memset(line, colour, dst_w);
            continue;
        }
        memset(line, colour, left);
        memcpy(line + left, src + (ptrdiff_t)(row - top) * src_stride, cols);
        memset(line + left + cols, colour, right);
    }
}

int picture_pad(AVFrame *dst, const AVFrame *src, int x, int y, int w, int h, const uint8_t colour[3])
{
    int64_t dst_w = dst->width, dst_h = dst->height;
    if (x < 0 || y < 0 || w < 0 || h < 0 || x + (int64_t)w > dst_w || y + (int64_t)h > dst_h)
        return -1;

    pad_plane(dst->data[0], dst->linesize[0], dst->width, dst->height, src->data[0],
              src->linesize[0], x, y, w, h, colour[0]);
    // Chroma covers 2 x 2 luma pixels, rounded up at odd sizes; an odd start falls inside
    // the sample before it. Since x + w <= width, x / 2 + (w + 1) / 2 <= (width + 1) / 2.
    int chroma_w = (dst->width + 1) / 2, chroma_h = (dst->height + 1) / 2;
    int left = x / 2, top = y / 2, cols = (w + 1) / 2, rows = (h + 1) / 2;
    for (int plane = 1; plane <= 2; plane++)
        pad_plane(dst->data[plane], dst->linesize[plane], chroma_w, chroma_h, src->data[plane],
                  src->linesize[plane], left, top, cols, rows, colour[plane]);
    return 0;
}
