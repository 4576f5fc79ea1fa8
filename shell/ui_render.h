// The render tick: drives the web core, converts the portal when it has painted, lays
// it over the engine's OutputPicture (or shows it alone before any video) and puts the
// frame on the screen through the YV12 overlay at view_scale.
//
// Main thread only: the window timer calls ui_render every 10 ms once start-up is done.
// The portal's JavaScript calls and the view listeners run inside it.
#pragma once

#include <stdint.h>

#include <SDL.h>

extern "C" {
#include <libswscale/swscale.h>
}

// Compose and show on the next tick even without a new video picture. Set after a
// conversion, by ui_apply_scale and by ui_set_fullscreen; cleared by each shown frame.
extern int32_t ui_redraw_pending;

// W x H YUV420P to YUV420P, bicubic: made by the first composing tick and kept.
extern SwsContext *output_sws;

// One tick. Stops early while there is no SDL screen or no picture to compose, and
// leaves the screen as it was when neither a new picture nor a redraw is due. Ends the
// process with exit code 1 when output_sws cannot be made.
void ui_render();

// Copies the W x H of CompositePicture into `overlay` (YV12: planes Y, V, U), each
// plane at the overlay's pitch and within the overlay's size. A software overlay
// (hw_overlay 0) gets the samples in full range (UiFullRange): SDL converts it to RGB
// with full-range formulas, where video-range samples would show washed out.
void ui_overlay_put(SDL_Overlay *overlay);

// Video range to full range, one lookup per sample: luma (Y - 16) x 255 / 219 and chroma
// (C - 128) x 255 / 224 + 128, rounded and clipped to 0..255.
struct UiFullRange {
    uint8_t luma[256], chroma[256];
};
UiFullRange ui_full_range_make();

// Where the overlay is shown: the top-left corner of the screen, W x H at view_scale
// percent, truncated toward zero.
SDL_Rect ui_display_rect();

// The whole client area again, at once: the overlay as last shown (nothing before the
// first frame) and black around it. For WM_PAINT, when part of the window was uncovered.
void ui_repaint();
