// Input and exposes on the client area that SDL draws into, handed to SDL as SDL's own X11 back end
// would report it. SDL 1.2 selects no input on a window it did not make (SDL_WINDOWID),
// so without this it would see no key and no click.
//
// What SDL gets:
// - key down / up: sym from the key's unshifted symbol (as SDL reads it from the X key
//   map), mod as SDL tracks it (after this key's own change), scancode the X key code,
//   unicode the typed character on key down (Ctrl+letter gives its control code) when
//   SDL_EnableUNICODE is on; a key held down repeats only when SDL key repeat is on.
// - motion with the buttons held and the relative move; button down / up 1 to 3 (and
//   beyond) as X numbers them; the wheel as buttons 4 to 7 pressed and released.
// - active events: input focus (the area's keyboard focus), mouse focus (the pointer
//   entering and leaving) and the application's activity (minimised or not).
// WM_PAINT's default handling has SDL show its screen surface again, which is what SDL's
// X11 back end does on an expose of a window of its own (a menu or dialog closing over
// the picture leaves nothing behind).
#include <SDL.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <bitset>

#include "platform/win32/win_window_state.h"

namespace {

unsigned held_mod;            // KMOD_* as SDL would track it
std::bitset<256> keys_down;   // X key codes pressed and not yet released
int last_x, last_y;           // for the motion's relative move

// Only the window SDL was told to use, and only while SDL's video is up.
bool sdl_window(const WinWindow *w)
{
    if (!w || !SDL_WasInit(SDL_INIT_VIDEO))
        return false;
    const char *id = getenv("SDL_WINDOWID");
    if (!id || !*id)
        return false;
    char *end;
    unsigned long value = strtoul(id, &end, 0);
    return *end == 0 && (HWND)(uintptr_t)value == w->handle;
}

bool sdl_window(HWND hwnd)
{
    return sdl_window(win_window_get(hwnd));
}

SDLKey sym_for_keyval(guint kv)
{
    if (kv >= 'A' && kv <= 'Z')
        return (SDLKey)(kv + 32);
    if (kv >= 0x20 && kv <= 0xFF)
        return (SDLKey)gdk_keyval_to_lower(kv);
    switch (kv) {
    case GDK_KEY_BackSpace: return SDLK_BACKSPACE;
    case GDK_KEY_Tab: case GDK_KEY_ISO_Left_Tab: return SDLK_TAB;
    case GDK_KEY_Clear: return SDLK_CLEAR;
    case GDK_KEY_Return: return SDLK_RETURN;
    case GDK_KEY_Pause: return SDLK_PAUSE;
    case GDK_KEY_Escape: return SDLK_ESCAPE;
    case GDK_KEY_Delete: return SDLK_DELETE;
    case GDK_KEY_KP_0: case GDK_KEY_KP_Insert: return SDLK_KP0;
    case GDK_KEY_KP_1: case GDK_KEY_KP_End: return SDLK_KP1;
    case GDK_KEY_KP_2: case GDK_KEY_KP_Down: return SDLK_KP2;
    case GDK_KEY_KP_3: case GDK_KEY_KP_Page_Down: return SDLK_KP3;
    case GDK_KEY_KP_4: case GDK_KEY_KP_Left: return SDLK_KP4;
    case GDK_KEY_KP_5: case GDK_KEY_KP_Begin: return SDLK_KP5;
    case GDK_KEY_KP_6: case GDK_KEY_KP_Right: return SDLK_KP6;
    case GDK_KEY_KP_7: case GDK_KEY_KP_Home: return SDLK_KP7;
    case GDK_KEY_KP_8: case GDK_KEY_KP_Up: return SDLK_KP8;
    case GDK_KEY_KP_9: case GDK_KEY_KP_Page_Up: return SDLK_KP9;
    case GDK_KEY_KP_Decimal: case GDK_KEY_KP_Delete: return SDLK_KP_PERIOD;
    case GDK_KEY_KP_Divide: return SDLK_KP_DIVIDE;
    case GDK_KEY_KP_Multiply: return SDLK_KP_MULTIPLY;
    case GDK_KEY_KP_Subtract: return SDLK_KP_MINUS;
    case GDK_KEY_KP_Add: return SDLK_KP_PLUS;
    case GDK_KEY_KP_Enter: return SDLK_KP_ENTER;
    case GDK_KEY_KP_Equal: return SDLK_KP_EQUALS;
    case GDK_KEY_Up: return SDLK_UP;
    case GDK_KEY_Down: return SDLK_DOWN;
    case GDK_KEY_Right: return SDLK_RIGHT;
    case GDK_KEY_Left: return SDLK_LEFT;
    case GDK_KEY_Insert: return SDLK_INSERT;
    case GDK_KEY_Home: return SDLK_HOME;
    case GDK_KEY_End: return SDLK_END;
    case GDK_KEY_Page_Up: return SDLK_PAGEUP;
    case GDK_KEY_Page_Down: return SDLK_PAGEDOWN;
    case GDK_KEY_Num_Lock: return SDLK_NUMLOCK;
    case GDK_KEY_Caps_Lock: return SDLK_CAPSLOCK;
    case GDK_KEY_Scroll_Lock: return SDLK_SCROLLOCK;
    case GDK_KEY_Shift_R: return SDLK_RSHIFT;
    case GDK_KEY_Shift_L: return SDLK_LSHIFT;
    case GDK_KEY_Control_R: return SDLK_RCTRL;
    case GDK_KEY_Control_L: return SDLK_LCTRL;
    case GDK_KEY_Alt_R: return SDLK_RALT;
    case GDK_KEY_Alt_L: return SDLK_LALT;
    case GDK_KEY_Meta_R: return SDLK_RMETA;
    case GDK_KEY_Meta_L: return SDLK_LMETA;
    case GDK_KEY_Super_L: return SDLK_LSUPER;
    case GDK_KEY_Super_R: return SDLK_RSUPER;
    case GDK_KEY_Mode_switch: case GDK_KEY_ISO_Level3_Shift: return SDLK_MODE;
    case GDK_KEY_Multi_key: return SDLK_COMPOSE;
    case GDK_KEY_Help: return SDLK_HELP;
    case GDK_KEY_Print: return SDLK_PRINT;
    case GDK_KEY_Sys_Req: return SDLK_SYSREQ;
    case GDK_KEY_Break: return SDLK_BREAK;
    case GDK_KEY_Menu: return SDLK_MENU;
    default:
        if (kv >= GDK_KEY_F1 && kv <= GDK_KEY_F15)
            return (SDLKey)(SDLK_F1 + (kv - GDK_KEY_F1));
        return SDLK_UNKNOWN;
    }
}

// The symbol of the key without any modifier, group 0: what SDL reads from the key map.
SDLKey key_sym(const GdkEventKey *event)
{
    guint kv = 0;
    GdkKeymap *keymap = gdk_keymap_get_for_display(gdk_window_get_display(event->window));
    if (!gdk_keymap_translate_keyboard_state(keymap, event->hardware_keycode, (GdkModifierType)0, 0,
                                             &kv, nullptr, nullptr, nullptr))
        kv = event->keyval;
    return sym_for_keyval(kv);
}

// GDK gives the modifiers from before the event; SDL reports them after it.
unsigned key_mod(const GdkEventKey *event, SDLKey sym, bool press)
{
    unsigned state = event->state, m = held_mod;
    struct Pair {
        unsigned gdk_mask, kmod_both, kmod_left;
    };
    // A modifier let go while the area had no keyboard, or held before it had it.
    for (Pair p : {Pair{GDK_SHIFT_MASK, KMOD_SHIFT, KMOD_LSHIFT}, Pair{GDK_CONTROL_MASK, KMOD_CTRL, KMOD_LCTRL},
                   Pair{GDK_MOD1_MASK, KMOD_ALT, KMOD_LALT}}) {
        if (!(state & p.gdk_mask))
            m &= ~p.kmod_both;
        else if (!(m & p.kmod_both))
            m |= p.kmod_left;
    }
    m = (m & ~(unsigned)(KMOD_NUM | KMOD_CAPS)) | ((state & GDK_MOD2_MASK) ? KMOD_NUM : 0) |
        ((state & GDK_LOCK_MASK) ? KMOD_CAPS : 0);
    unsigned bit = 0;
    switch (sym) {
    case SDLK_LSHIFT: bit = KMOD_LSHIFT; break;
    case SDLK_RSHIFT: bit = KMOD_RSHIFT; break;
    case SDLK_LCTRL: bit = KMOD_LCTRL; break;
    case SDLK_RCTRL: bit = KMOD_RCTRL; break;
    case SDLK_LALT: bit = KMOD_LALT; break;
    case SDLK_RALT: bit = KMOD_RALT; break;
    case SDLK_LMETA: bit = KMOD_LMETA; break;
    case SDLK_RMETA: bit = KMOD_RMETA; break;
    case SDLK_MODE: bit = KMOD_MODE; break;
    case SDLK_NUMLOCK:
        if (press)
            m ^= KMOD_NUM;
        break;
    case SDLK_CAPSLOCK:
        if (press)
            m ^= KMOD_CAPS;
        break;
    default: break;
    }
    if (bit)
        m = press ? (m | bit) : (m & ~bit);
    held_mod = m;
    return m;
}

Uint16 key_unicode(const GdkEventKey *event)
{
    gunichar c = gdk_keyval_to_unicode(event->keyval);
    if ((event->state & GDK_CONTROL_MASK) && c >= '@' && c < 0x7F)
        c &= 0x1F;
    return c > 0xFFFF ? 0 : (Uint16)c;
}

void push(SDL_Event &e)
{
    SDL_PushEvent(&e);
}

gboolean on_key(GtkWidget *, GdkEventKey *event, gpointer data)
{
    if (!sdl_window((HWND)data))
        return FALSE;
    bool press = event->type == GDK_KEY_PRESS;
    Uint8 code = (Uint8)event->hardware_keycode;
    if (press && keys_down[code]) {
        int delay = 0, interval = 0;
        SDL_GetKeyRepeat(&delay, &interval);
        if (delay == 0)
            return TRUE;  // SDL reports a held key once unless asked to repeat it
    }
    keys_down[code] = press;
    SDL_Event e;
    memset(&e, 0, sizeof e);
    e.key.type = press ? SDL_KEYDOWN : SDL_KEYUP;
    e.key.state = press ? SDL_PRESSED : SDL_RELEASED;
    e.key.keysym.scancode = code;
    e.key.keysym.sym = key_sym(event);
    e.key.keysym.mod = (SDLMod)key_mod(event, e.key.keysym.sym, press);
    e.key.keysym.unicode = press && SDL_EnableUNICODE(-1) == 1 ? key_unicode(event) : 0;
    push(e);
    return TRUE;
}

Uint8 button_state(guint state)
{
    Uint8 b = 0;
    if (state & GDK_BUTTON1_MASK)
        b |= SDL_BUTTON(1);
    if (state & GDK_BUTTON2_MASK)
        b |= SDL_BUTTON(2);
    if (state & GDK_BUTTON3_MASK)
        b |= SDL_BUTTON(3);
    return b;
}

Uint16 coordinate(double v)
{
    return (Uint16)std::min(std::max(v, 0.0), 65535.0);
}

void push_button(bool press, guint button, double x, double y)
{
    SDL_Event e;
    memset(&e, 0, sizeof e);
    e.button.type = press ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
    e.button.state = press ? SDL_PRESSED : SDL_RELEASED;
    e.button.button = (Uint8)std::min(button, 255u);
    e.button.x = coordinate(x);
    e.button.y = coordinate(y);
    push(e);
}

gboolean on_button(GtkWidget *client, GdkEventButton *event, gpointer data)
{
    // The double- and triple-click events come on top of the presses; SDL has none.
    if (event->type != GDK_BUTTON_PRESS && event->type != GDK_BUTTON_RELEASE)
        return TRUE;
    if (event->type == GDK_BUTTON_PRESS)
        gtk_widget_grab_focus(client);
    if (sdl_window((HWND)data))
        push_button(event->type == GDK_BUTTON_PRESS, event->button, event->x, event->y);
    return TRUE;
}

gboolean on_scroll(GtkWidget *, GdkEventScroll *event, gpointer data)
{
    guint button = event->direction == GDK_SCROLL_UP     ? 4
                   : event->direction == GDK_SCROLL_DOWN ? 5
                   : event->direction == GDK_SCROLL_LEFT ? 6
                   : event->direction == GDK_SCROLL_RIGHT ? 7
                                                          : 0;
    if (button && sdl_window((HWND)data)) {
        push_button(true, button, event->x, event->y);
        push_button(false, button, event->x, event->y);
    }
    return TRUE;
}

gboolean on_motion(GtkWidget *, GdkEventMotion *event, gpointer data)
{
    if (!sdl_window((HWND)data))
        return FALSE;
    SDL_Event e;
    memset(&e, 0, sizeof e);
    e.motion.type = SDL_MOUSEMOTION;
    e.motion.state = button_state(event->state);
    e.motion.x = coordinate(event->x);
    e.motion.y = coordinate(event->y);
    e.motion.xrel = (Sint16)(e.motion.x - last_x);
    e.motion.yrel = (Sint16)(e.motion.y - last_y);
    last_x = e.motion.x;
    last_y = e.motion.y;
    push(e);
    return TRUE;
}

void push_active(bool gain, Uint8 state)
{
    SDL_Event e;
    memset(&e, 0, sizeof e);
    e.active.type = SDL_ACTIVEEVENT;
    e.active.gain = gain ? 1 : 0;
    e.active.state = state;
    push(e);
}

gboolean on_crossing(GtkWidget *, GdkEventCrossing *event, gpointer data)
{
    if (event->mode == GDK_CROSSING_NORMAL && sdl_window((HWND)data))
        push_active(event->type == GDK_ENTER_NOTIFY, SDL_APPMOUSEFOCUS);
    return FALSE;
}

gboolean on_focus(GtkWidget *, GdkEventFocus *event, gpointer data)
{
    if (sdl_window((HWND)data))
        push_active(event->in != 0, SDL_APPINPUTFOCUS);
    return FALSE;
}

}  // namespace

void win_sdl_input_attach(WinWindow *w)
{
    GtkWidget *client = w->client;
    gpointer hwnd = (gpointer)w->handle;
    gtk_widget_add_events(client, GDK_KEY_PRESS_MASK | GDK_KEY_RELEASE_MASK | GDK_BUTTON_PRESS_MASK |
                                      GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK |
                                      GDK_SCROLL_MASK | GDK_ENTER_NOTIFY_MASK |
                                      GDK_LEAVE_NOTIFY_MASK | GDK_FOCUS_CHANGE_MASK);
    g_signal_connect(client, "key-press-event", G_CALLBACK(on_key), hwnd);
    g_signal_connect(client, "key-release-event", G_CALLBACK(on_key), hwnd);
    g_signal_connect(client, "button-press-event", G_CALLBACK(on_button), hwnd);
    g_signal_connect(client, "button-release-event", G_CALLBACK(on_button), hwnd);
    g_signal_connect(client, "scroll-event", G_CALLBACK(on_scroll), hwnd);
    g_signal_connect(client, "motion-notify-event", G_CALLBACK(on_motion), hwnd);
    g_signal_connect(client, "enter-notify-event", G_CALLBACK(on_crossing), hwnd);
    g_signal_connect(client, "leave-notify-event", G_CALLBACK(on_crossing), hwnd);
    g_signal_connect(client, "focus-in-event", G_CALLBACK(on_focus), hwnd);
    g_signal_connect(client, "focus-out-event", G_CALLBACK(on_focus), hwnd);
}

void win_sdl_exposed(WinWindow *w)
{
    SDL_Surface *screen = sdl_window(w) ? SDL_GetVideoSurface() : nullptr;
    if (screen)
        SDL_UpdateRect(screen, 0, 0, 0, 0);
}

void win_sdl_app_active(WinWindow *w, bool active)
{
    if (sdl_window(w))
        push_active(active, SDL_APPACTIVE);
}

void win_sdl_window_going(WinWindow *w)
{
    // SDL's video keeps drawing into the window until it is told otherwise; its audio
    // belongs to the engine and stays.
    if (sdl_window(w))
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
}
