#include "shell/input_forward.h"

#include <stdio.h>
#include <string.h>

#include "shell/main_window.h"
#include "shell/web_host.h"

namespace {

// Window pixels to page pixels; the page is shown at view_scale percent.
int page_pixels(int window_pixels)
{
    return view_scale > 0 ? window_pixels * 100 / view_scale : window_pixels;
}

}  // namespace

void ui_input_event(const SDL_Event &event)
{
    switch (event.type) {
    case SDL_ACTIVEEVENT:
        if (event.active.gain == 0 && (event.active.state & SDL_APPINPUTFOCUS) && fullscreen)
            ui_set_fullscreen(false);
        break;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
        ui_key_event(event.type, event.key.keysym);
        break;
    case SDL_MOUSEMOTION:
        if (web_view)
            web_view->InjectMouseMove(page_pixels(event.motion.x), page_pixels(event.motion.y));
        break;
    case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT)
            ui_mouse_down(page_pixels(event.button.x), page_pixels(event.button.y));
        break;
    case SDL_MOUSEBUTTONUP:
        if (event.button.button == SDL_BUTTON_LEFT && web_view) {
            web_view->InjectMouseMove(page_pixels(event.button.x), page_pixels(event.button.y));
            web_view->InjectMouseUp(Awesomium::kMouseButton_Left);
        }
        break;
    default:
        break;
    }
}

void ui_mouse_down(int32_t x, int32_t y)
{
    if (!web_view)
        return;
    printf("Mouse down at (%d,%d)\n", x, y);
    web_view->InjectMouseMove(x, y);
    web_view->InjectMouseDown(Awesomium::kMouseButton_Left);
}

int32_t sdl_key_to_vk(int32_t sym)
{
    if (sym < 8 || sym > 317)
        return 0;
    if (sym >= '0' && sym <= '9')
        return sym;
    if (sym >= 'a' && sym <= 'z')
        return sym - 'a' + 'A';
    if (sym >= SDLK_KP0 && sym <= SDLK_KP9)
        return 96 + (sym - SDLK_KP0);
    if (sym >= SDLK_F1 && sym <= SDLK_F15)
        return 112 + (sym - SDLK_F1);
    switch (sym) {
    // Keys whose code is their own value.
    case SDLK_BACKSPACE: case SDLK_TAB: case SDLK_CLEAR: case SDLK_RETURN:
    case SDLK_PAUSE: case SDLK_ESCAPE: case SDLK_SPACE:
        return sym;
    // Shifted digits: the digit key that carries the symbol.
    case SDLK_EXCLAIM: return '1';
    case SDLK_AT: return '2';
    case SDLK_QUOTEDBL: return '2';
    case SDLK_HASH: return '3';
    case SDLK_DOLLAR: return '4';
    case SDLK_CARET: return '6';
    case SDLK_AMPERSAND: return '7';
    case SDLK_ASTERISK: return '8';
    case SDLK_LEFTPAREN: return '9';
    case SDLK_RIGHTPAREN: return '0';
    // Punctuation keys, shifted or not.
    case SDLK_COLON: case SDLK_SEMICOLON: return 186;
    case SDLK_PLUS: case SDLK_EQUALS: return 187;
    case SDLK_COMMA: case SDLK_LESS: return 188;
    case SDLK_MINUS: case SDLK_UNDERSCORE: return 189;
    case SDLK_PERIOD: case SDLK_GREATER: return 190;
    case SDLK_SLASH: case SDLK_QUESTION: return 191;
    case SDLK_BACKQUOTE: return 192;
    case SDLK_LEFTBRACKET: return 219;
    case SDLK_BACKSLASH: return 220;
    case SDLK_RIGHTBRACKET: return 221;
    case SDLK_QUOTE: return 222;
    case SDLK_DELETE: return 46;
    // Keypad.
    case SDLK_KP_PERIOD: return 110;
    case SDLK_KP_DIVIDE: return 111;
    case SDLK_KP_MULTIPLY: return 106;
    case SDLK_KP_MINUS: return 109;
    case SDLK_KP_PLUS: return 107;
    case SDLK_KP_ENTER: return 108;
    // Arrows and the block above them.
    case SDLK_UP: return 38;
    case SDLK_DOWN: return 40;
    case SDLK_RIGHT: return 39;
    case SDLK_LEFT: return 37;
    case SDLK_INSERT: return 45;
    case SDLK_HOME: return 36;
    case SDLK_END: return 35;
    case SDLK_PAGEUP: return 33;
    case SDLK_PAGEDOWN: return 34;
    // Locks and modifiers.
    case SDLK_NUMLOCK: return 144;
    case SDLK_CAPSLOCK: return 20;
    case SDLK_SCROLLOCK: return 145;
    case SDLK_RSHIFT: return 161;
    case SDLK_LSHIFT: return 160;
    case SDLK_RCTRL: return 163;
    case SDLK_LCTRL: return 162;
    case SDLK_RALT: return 165;
    case SDLK_LALT: return 164;
    // Right meta gives the left Windows key and left meta the right one.
    case SDLK_RMETA: return 91;
    case SDLK_LMETA: return 92;
    case SDLK_LSUPER: return 91;
    case SDLK_RSUPER: return 92;
    case SDLK_MODE: return 31;
    case SDLK_COMPOSE: return 30;
    case SDLK_HELP: return 47;
    case SDLK_PRINT: return 44;
    case SDLK_SYSREQ: return 43;
    default:
        return 0;
    }
}

int ui_key_modifiers(uint32_t mod)
{
    int modifiers = 0;
    if (mod & KMOD_ALT)
        modifiers |= Awesomium::WebKeyboardEvent::kModAltKey;
    if (mod & KMOD_CTRL)
        modifiers |= Awesomium::WebKeyboardEvent::kModControlKey;
    if (mod & KMOD_META)
        modifiers |= Awesomium::WebKeyboardEvent::kModMetaKey;
    if (mod & KMOD_SHIFT)
        modifiers |= Awesomium::WebKeyboardEvent::kModShiftKey;
    if (mod & KMOD_NUM)
        modifiers |= Awesomium::WebKeyboardEvent::kModNumLock;
    return modifiers;
}

int ui_key_events(uint8_t type, SDL_keysym key, Awesomium::WebKeyboardEvent out[2])
{
    Awesomium::WebKeyboardEvent event;
    if (type != SDL_KEYDOWN && type != SDL_KEYUP)
        return 0;
    event.type = type == SDL_KEYDOWN ? Awesomium::WebKeyboardEvent::kTypeKeyDown
                                     : Awesomium::WebKeyboardEvent::kTypeKeyUp;
    event.virtual_key_code = sdl_key_to_vk(key.sym);
    char *identifier = new char[20];
    identifier[0] = 0;
    Awesomium::GetKeyIdentifierFromVirtualKeyCode(event.virtual_key_code, &identifier);
    identifier[19] = 0;
    strcpy(event.key_identifier, identifier);
    delete[] identifier;
    event.modifiers = ui_key_modifiers(key.mod);
    event.native_key_code = key.scancode;
    if (type == SDL_KEYUP) {
        out[0] = event;
        return 1;
    }
    Awesomium::wchar16 c = key.unicode;
    event.text[0] = c;
    event.unmodified_text[0] = c;
    out[0] = event;
    if (c == 0)
        return 1;
    event.type = Awesomium::WebKeyboardEvent::kTypeChar;
    event.virtual_key_code = c;
    event.native_key_code = c;
    out[1] = event;
    return 2;
}

void ui_key_event(uint8_t type, SDL_keysym key)
{
    Awesomium::WebKeyboardEvent events[2];
    int count = ui_key_events(type, key, events);
    for (int i = 0; i < count && web_view; i++)
        web_view->InjectKeyboardEvent(events[i]);
}
