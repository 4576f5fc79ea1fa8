#include "shell/ui_compose.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/cpu.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include "engine/picture_scale.h"
#include "shell/config.h"

AVFrame *UiBgraPicture;
AVFrame *UiPicture;
AVFrame *CompositePicture;
UiBox ui_box;
Awesomium::BitmapSurface *ui_surface;
SwsContext *ui_sws;

bool ui_composite_alloc()
{
    CompositePicture =
        picture_alloc(AV_PIX_FMT_YUV420P, PlayerConfig.video_w + 4, PlayerConfig.video_h + 4);
    return CompositePicture != nullptr;
}

void ui_convert_surface()
{
    if (!ui_surface)
        return;
    ui_convert_bitmap(ui_surface->buffer(), ui_surface->width(), ui_surface->height(),
                      ui_surface->row_span());
    ui_surface->set_is_dirty(false);
}

// One key-colour pixel (B, G, R, A).
static void fill_key(uint8_t *row, int pixels)
{
    for (int x = 0; x < pixels; x++)
        AV_WL32(row + 4 * x, 0xFF000000u | ui_key_colour);
}

// The bitmap into UiBgraPicture. The view's surface normally matches W x H exactly and
// is one copy; anything else is copied where it overlaps, the rest keyed out so the
// video shows there.
static void copy_bitmap(const uint8_t *pixels, int width, int height, int row_span)
{
    int w = PlayerConfig.video_w, h = PlayerConfig.video_h;
    uint8_t *dst = UiBgraPicture->data[0];
    int dst_span = UiBgraPicture->linesize[0];
    if (pixels && width == w && height == h && row_span == w * 4 && dst_span == w * 4) {
        memcpy(dst, pixels, (size_t)w * h * 4);
        return;
    }
    int rows = pixels ? std::min(std::max(height, 0), h) : 0;
    int cols = std::min(std::max(width, 0), w);
    for (int y = 0; y < h; y++) {
        uint8_t *row = dst + (size_t)y * dst_span;
        int copied = y < rows ? cols : 0;
        if (copied)
            memcpy(row, pixels + (size_t)y * row_span, (size_t)copied * 4);
        fill_key(row + 4 * copied, w - copied);
    }
}

static bool is_key(const uint8_t *pixel)
{
    return (AV_RL32(pixel) & 0xFFFFFF) == ui_key_colour;
}

// The two loops below run over every pixel of the portal or of its box on each tick
// that needs them; with SSE2 they take 16 pixels at a time and give the same bytes as
// the plain loop, which does the rest of a row (and everything elsewhere).

// One row of the key test: luma 0 and alpha 0 where the pixel is keyed, the pixel's
// alpha elsewhere. Returns whether the row has a non-key pixel, with the first and last.
static bool key_row(const uint8_t *src, uint8_t *luma, uint8_t *alpha, int w, int *first, int *last)
{
    int first_block = -1, last_block = -1;
    int x = 0;
#ifdef __SSE2__
    const __m128i colour_mask = _mm_set1_epi32(0xFFFFFF), key = _mm_set1_epi32((int)ui_key_colour);
    for (; x + 16 <= w; x += 16) {
        __m128i keyed[4], alphas[4];
        for (int i = 0; i < 4; i++) {
            __m128i p = _mm_loadu_si128((const __m128i *)(src + 4 * x + 16 * i));
            keyed[i] = _mm_cmpeq_epi32(_mm_and_si128(p, colour_mask), key);
            alphas[i] = _mm_srli_epi32(_mm_andnot_si128(keyed[i], p), 24);
        }
        // Four 32-bit lanes of 0 or -1 (or 0 to 255) each, narrowed to 16 bytes.
        __m128i keyed8 =
            _mm_packs_epi16(_mm_packs_epi32(keyed[0], keyed[1]), _mm_packs_epi32(keyed[2], keyed[3]));
        __m128i alpha8 =
            _mm_packus_epi16(_mm_packs_epi32(alphas[0], alphas[1]), _mm_packs_epi32(alphas[2], alphas[3]));
        __m128i y = _mm_loadu_si128((const __m128i *)(luma + x));
        _mm_storeu_si128((__m128i *)(luma + x), _mm_andnot_si128(keyed8, y));
        _mm_storeu_si128((__m128i *)(alpha + x), alpha8);
        if (_mm_movemask_epi8(keyed8) != 0xFFFF) {
            if (first_block < 0)
                first_block = x;
            last_block = x;
        }
    }
#endif
    int tail_first = -1, tail_last = -1;
    for (; x < w; x++) {
        if (is_key(src + 4 * x)) {
            luma[x] = 0;
            alpha[x] = 0;
        } else {
            // A fully transparent pixel still counts for the box.
            alpha[x] = src[4 * x + 3];
            if (tail_first < 0)
                tail_first = x;
            tail_last = x;
        }
    }
    if (first_block < 0 && tail_first < 0)
        return false;
    *first = tail_first;
    if (first_block >= 0)
        for (int i = first_block;; i++)
            if (!is_key(src + 4 * i)) {
                *first = i;
                break;
            }
    *last = tail_last;
    if (tail_last < 0)
        for (int i = last_block + 15;; i--)
            if (!is_key(src + 4 * i)) {
                *last = i;
                break;
            }
    return true;
}

void ui_blend_row(uint8_t *out, const uint8_t *ui, const uint8_t *alpha, int n)
{
    int x = 0;
#ifdef __SSE2__
    // |u - o| x a fits 16 bits unsigned (at most 65025), and there (p + 1 + (p >> 8)) >> 8
    // is exactly p / 255. The result is o plus or minus that, toward u.
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1);
    for (; x + 16 <= n; x += 16) {
        __m128i a = _mm_loadu_si128((const __m128i *)(alpha + x));
        // Keyed samples leave the video as it is; most of a portal's box is key colour.
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero)) == 0xFFFF)
            continue;
        __m128i o = _mm_loadu_si128((const __m128i *)(out + x));
        __m128i u = _mm_loadu_si128((const __m128i *)(ui + x));
        __m128i down = _mm_cmpeq_epi8(_mm_subs_epu8(u, o), zero);  // u <= o
        __m128i d = _mm_or_si128(_mm_subs_epu8(u, o), _mm_subs_epu8(o, u));
        __m128i p_lo = _mm_mullo_epi16(_mm_unpacklo_epi8(d, zero), _mm_unpacklo_epi8(a, zero));
        __m128i p_hi = _mm_mullo_epi16(_mm_unpackhi_epi8(d, zero), _mm_unpackhi_epi8(a, zero));
        __m128i q_lo = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(p_lo, one), _mm_srli_epi16(p_lo, 8)), 8);
        __m128i q_hi = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(p_hi, one), _mm_srli_epi16(p_hi, 8)), 8);
        __m128i q = _mm_packus_epi16(q_lo, q_hi);
        __m128i r =
            _mm_or_si128(_mm_and_si128(down, _mm_sub_epi8(o, q)), _mm_andnot_si128(down, _mm_add_epi8(o, q)));
        _mm_storeu_si128((__m128i *)(out + x), r);
    }
#endif
    for (; x < n; x++)
        out[x] = ui_blend_value(out[x], ui[x], alpha[x]);
}

// The conversion runs on the render tick, so it is cut into slices over a few threads
// of libswscale's own, in about half the time. Slices give exactly the bytes of the whole
// only when the rows keep the alignment libswscale's vector code chooses by, which with
// rows packed end to end means widths that are a multiple of 16 (1024 is); other widths
// are converted in one piece.
static int ui_sws_threads = 1;

SwsContext *ui_sws_create(int w, int h)
{
    SwsContext *sws = sws_alloc_context();
    if (!sws)
        return nullptr;
    int threads = w % 16 == 0 ? std::min(std::max(av_cpu_count() / 2, 1), 4) : 1;
    if (av_opt_set_int(sws, "srcw", w, 0) < 0 || av_opt_set_int(sws, "srch", h, 0) < 0 ||
        av_opt_set_int(sws, "dstw", w, 0) < 0 || av_opt_set_int(sws, "dsth", h, 0) < 0 ||
        av_opt_set_int(sws, "src_format", AV_PIX_FMT_BGRA, 0) < 0 ||
        av_opt_set_int(sws, "dst_format", AV_PIX_FMT_YUV420P, 0) < 0 ||
        av_opt_set_int(sws, "sws_flags", SWS_BICUBIC, 0) < 0 || av_opt_set_int(sws, "threads", threads, 0) < 0 ||
        sws_init_context(sws, nullptr, nullptr) < 0) {
        sws_freeContext(sws);
        return nullptr;
    }
    ui_sws_threads = threads;
    return sws;
}

static void no_free(void *, uint8_t *) {}

// libswscale slices only whole frames that hold buffer references, and would allocate
// its own for a frame without one, so the two pictures are lent to it through frames
// that refer to their planes without owning them.
static bool ui_sws_convert_sliced()
{
    AVFrame *src = av_frame_alloc(), *dst = av_frame_alloc();
    bool done = false;
    if (src && dst) {
        src->format = AV_PIX_FMT_BGRA;
        dst->format = AV_PIX_FMT_YUV420P;
        src->width = dst->width = UiBgraPicture->width;
        src->height = dst->height = UiBgraPicture->height;
        for (int p = 0; p < 3; p++) {
            dst->data[p] = UiPicture->data[p];
            dst->linesize[p] = UiPicture->linesize[p];
        }
        src->data[0] = UiBgraPicture->data[0];
        src->linesize[0] = UiBgraPicture->linesize[0];
        src->buf[0] = av_buffer_create(src->data[0], 1, no_free, nullptr, 0);
        dst->buf[0] = av_buffer_create(dst->data[0], 1, no_free, nullptr, 0);
        done = src->buf[0] && dst->buf[0] && sws_scale_frame(ui_sws, dst, src) >= 0;
    }
    av_frame_free(&src);
    av_frame_free(&dst);
    return done;
}

void ui_sws_convert()
{
    if (ui_sws_threads > 1 && ui_sws_convert_sliced())
        return;
    sws_scale(ui_sws, UiBgraPicture->data, UiBgraPicture->linesize, 0, UiBgraPicture->height,
              UiPicture->data, UiPicture->linesize);
}

void ui_convert_bitmap(const uint8_t *pixels, int width, int height, int row_span)
{
    int w = PlayerConfig.video_w, h = PlayerConfig.video_h;
    copy_bitmap(pixels, width, height, row_span);
    if (!ui_sws) {
        ui_sws = ui_sws_create(w, h);
        // Without it the portal can never be shown: nothing left to run.
        if (!ui_sws) {
            fprintf(stderr, "Cannot init the UI conversion context!\n");
            exit(1);
        }
    }
    ui_sws_convert();

    UiBox box = {w, 0, h, 0};
    for (int y = 0; y < h; y++) {
        int first, last;
        const uint8_t *src = UiBgraPicture->data[0] + (size_t)y * UiBgraPicture->linesize[0];
        if (!key_row(src, UiPicture->data[0] + (size_t)y * UiPicture->linesize[0],
                     UiPicture->data[3] + (size_t)y * UiPicture->linesize[3], w, &first, &last))
            continue;
        box.min_x = std::min(box.min_x, first);
        box.max_x = std::max(box.max_x, last);
        box.min_y = std::min(box.min_y, y);
        box.max_y = std::max(box.max_y, y);
    }
    ui_box = box;
}

void ui_blend(AVFrame *dst, const UiBox &box)
{
    int x0 = std::max(box.min_x, 0), x1 = std::min(box.max_x, PlayerConfig.video_w - 1);
    int y0 = std::max(box.min_y, 0), y1 = std::min(box.max_y, PlayerConfig.video_h - 1);
    if (x0 > x1)
        return;
    // Each chroma sample follows the top-left pixel of its 2 x 2 block only: the even
    // columns of the box on its even rows.
    int c0 = (x0 + 1) / 2, c1 = x1 / 2;
    std::vector<uint8_t> chroma_alpha(c1 >= c0 ? c1 - c0 + 1 : 0);
    for (int y = y0; y <= y1; y++) {
        const uint8_t *alpha = UiPicture->data[3] + (size_t)y * UiPicture->linesize[3];
        ui_blend_row(dst->data[0] + (size_t)y * dst->linesize[0] + x0,
                     UiPicture->data[0] + (size_t)y * UiPicture->linesize[0] + x0, alpha + x0, x1 - x0 + 1);
        if ((y & 1) || chroma_alpha.empty())
            continue;
        for (int c = c0; c <= c1; c++)
            chroma_alpha[c - c0] = alpha[2 * c];
        for (int plane = 1; plane <= 2; plane++)
            ui_blend_row(dst->data[plane] + (size_t)(y / 2) * dst->linesize[plane] + c0,
                         UiPicture->data[plane] + (size_t)(y / 2) * UiPicture->linesize[plane] + c0,
                         chroma_alpha.data(), (int)chroma_alpha.size());
    }
}

void ui_compose(const AVFrame *video, bool video_started)
{
    int w = PlayerConfig.video_w, h = PlayerConfig.video_h;
    const AVFrame *src = video_started ? video : UiPicture;
    // The video may be rewritten while it is copied (a frame may mix two pictures), but
    // its buffer never moves; the copy stays within the picture's own size.
    if (src->width > 0 && src->height > 0) {
        w = std::min(w, src->width);
        h = std::min(h, src->height);
    }
    // Plane 3 of UiPicture (alpha) is not taken: key areas show with luma 0.
    av_image_copy(CompositePicture->data, CompositePicture->linesize, (const uint8_t **)src->data,
                  src->linesize, AV_PIX_FMT_YUV420P, w, h);
    if (video_started && ui_box.max_x > 0 && ui_box.max_y > 0)
        ui_blend(CompositePicture, ui_box);
}
