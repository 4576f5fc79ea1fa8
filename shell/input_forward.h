// Keyboard and mouse forwarding: SDL's input events handed to the web view. Main thread
// only, inside the window procedure's timer handling (the event pump at the tail of
// WM_TIMER drains SDL_PollEvent into ui_input_event). Nothing here fails; every
// injection is skipped while web_view is null.
//
// Pointer coordinates come in window pixels and go to the view in page pixels: the
// render tick shows the page at view_scale percent from the window's top-left corner,
// so a click lands on the spot of the page it points at, at every scale and in full
// screen.
#pragma once

#include <SDL.h>
#include <stdint.h>

#include "platform/awesomium/web_keyboard_event.h"

// One event of the pump: focus loss ends full screen, keys go to ui_key_event, motion
// and the left button go to the view; everything else is ignored.
void ui_input_event(const SDL_Event &event);

// A left-button press at (x, y) in page pixels: logs "Mouse down at (x,y)", moves the
// view's pointer there and presses the left button.
void ui_mouse_down(int32_t x, int32_t y);

// The Windows virtual-key code of an SDL key symbol; 0 when it has none.
int32_t sdl_key_to_vk(int32_t sym);
// SDL's modifier bits as the view's: Alt, Ctrl, Meta, Shift and Num Lock.
int ui_key_modifiers(uint32_t mod);

// The view's events for an SDL key down (2) or up (3): a key up gives one, a key down
// one plus a character event when it typed a character. Returns how many it wrote
// into out; 0 for any other type.
int ui_key_events(uint8_t type, SDL_keysym key, Awesomium::WebKeyboardEvent out[2]);
// Injects those events into the view.
void ui_key_event(uint8_t type, SDL_keysym key);
