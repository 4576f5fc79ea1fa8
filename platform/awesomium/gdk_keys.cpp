// Windows virtual-key codes as GDK key values, for the key events the view feeds to
// the engine.
#include <gdk/gdkkeysyms.h>

#include "platform/awesomium/host_state.h"

namespace Awesomium {
namespace detail {

struct KeyPair {
    int code;
    guint keyval, shifted;
};

static const KeyPair keys[] = {
    {0x08, GDK_KEY_BackSpace, 0}, {0x09, GDK_KEY_Tab, GDK_KEY_ISO_Left_Tab},
    {0x0C, GDK_KEY_Clear, 0},     {0x0D, GDK_KEY_Return, 0},
    {0x10, GDK_KEY_Shift_L, 0},   {0x11, GDK_KEY_Control_L, 0},
    {0x12, GDK_KEY_Alt_L, 0},     {0x13, GDK_KEY_Pause, 0},
    {0x14, GDK_KEY_Caps_Lock, 0}, {0x1B, GDK_KEY_Escape, 0},
    {0x1E, GDK_KEY_Multi_key, 0}, {0x1F, GDK_KEY_Mode_switch, 0},
    {0x20, GDK_KEY_space, 0},     {0x21, GDK_KEY_Page_Up, 0},
    {0x22, GDK_KEY_Page_Down, 0}, {0x23, GDK_KEY_End, 0},
    {0x24, GDK_KEY_Home, 0},      {0x25, GDK_KEY_Left, 0},
    {0x26, GDK_KEY_Up, 0},        {0x27, GDK_KEY_Right, 0},
    {0x28, GDK_KEY_Down, 0},      {0x29, GDK_KEY_Select, 0},
    {0x2A, GDK_KEY_Print, 0},     {0x2B, GDK_KEY_Execute, 0},
    {0x2C, GDK_KEY_Print, 0},     {0x2D, GDK_KEY_Insert, 0},
    {0x2E, GDK_KEY_Delete, 0},    {0x2F, GDK_KEY_Help, 0},
    {0x30, GDK_KEY_0, GDK_KEY_parenright}, {0x31, GDK_KEY_1, GDK_KEY_exclam},
    {0x32, GDK_KEY_2, GDK_KEY_at},         {0x33, GDK_KEY_3, GDK_KEY_numbersign},
    {0x34, GDK_KEY_4, GDK_KEY_dollar},     {0x35, GDK_KEY_5, GDK_KEY_percent},
    {0x36, GDK_KEY_6, GDK_KEY_asciicircum}, {0x37, GDK_KEY_7, GDK_KEY_ampersand},
    {0x38, GDK_KEY_8, GDK_KEY_asterisk},   {0x39, GDK_KEY_9, GDK_KEY_parenleft},
    {0x5B, GDK_KEY_Super_L, 0},   {0x5C, GDK_KEY_Super_R, 0},
    {0x5D, GDK_KEY_Menu, 0},
    {0x6A, GDK_KEY_KP_Multiply, 0}, {0x6B, GDK_KEY_KP_Add, 0},
    {0x6C, GDK_KEY_KP_Enter, 0},  {0x6D, GDK_KEY_KP_Subtract, 0},
    {0x6E, GDK_KEY_KP_Decimal, 0}, {0x6F, GDK_KEY_KP_Divide, 0},
    {0x90, GDK_KEY_Num_Lock, 0},  {0x91, GDK_KEY_Scroll_Lock, 0},
    {0xA0, GDK_KEY_Shift_L, 0},   {0xA1, GDK_KEY_Shift_R, 0},
    {0xA2, GDK_KEY_Control_L, 0}, {0xA3, GDK_KEY_Control_R, 0},
    {0xA4, GDK_KEY_Alt_L, 0},     {0xA5, GDK_KEY_Alt_R, 0},
    {0xBA, GDK_KEY_semicolon, GDK_KEY_colon}, {0xBB, GDK_KEY_equal, GDK_KEY_plus},
    {0xBC, GDK_KEY_comma, GDK_KEY_less},      {0xBD, GDK_KEY_minus, GDK_KEY_underscore},
    {0xBE, GDK_KEY_period, GDK_KEY_greater},  {0xBF, GDK_KEY_slash, GDK_KEY_question},
    {0xC0, GDK_KEY_grave, GDK_KEY_asciitilde}, {0xDB, GDK_KEY_bracketleft, GDK_KEY_braceleft},
    {0xDC, GDK_KEY_backslash, GDK_KEY_bar},   {0xDD, GDK_KEY_bracketright, GDK_KEY_braceright},
    {0xDE, GDK_KEY_apostrophe, GDK_KEY_quotedbl},
};

guint keyval_for_virtual_key(int code, bool shift)
{
    if (code >= 0x41 && code <= 0x5A)  // A to Z
        return shift ? GDK_KEY_A + (code - 0x41) : GDK_KEY_a + (code - 0x41);
    if (code >= 0x60 && code <= 0x69)  // keypad digits
        return GDK_KEY_KP_0 + (code - 0x60);
    if (code >= 0x70 && code <= 0x87)  // F1 to F24
        return GDK_KEY_F1 + (code - 0x70);
    for (const KeyPair &k : keys)
        if (k.code == code)
            return shift && k.shifted ? k.shifted : k.keyval;
    return 0;
}

}  // namespace detail
}  // namespace Awesomium
