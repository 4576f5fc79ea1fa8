// A keyboard event in Windows terms (virtual-key codes, a key down, a key up and a
// typed character as separate events), as the program hands it to WebView.
#pragma once

#include "platform/awesomium/web_string.h"

namespace Awesomium {

struct WebKeyboardEvent {
    enum Type { kTypeKeyDown = 0, kTypeKeyUp = 1, kTypeChar = 2 };
    enum Modifiers {
        kModShiftKey = 0x01,
        kModControlKey = 0x02,
        kModAltKey = 0x04,
        kModMetaKey = 0x08,
        kModNumLock = 0x10,
        kModIsAutorepeat = 0x20,
    };

    Type type = kTypeKeyDown;
    int modifiers = 0;
    int virtual_key_code = 0;
    int native_key_code = 0;
    char key_identifier[20] = {};
    wchar16 text[4] = {};
    wchar16 unmodified_text[4] = {};
    bool is_system_key = false;
};

// Writes the DOM key identifier of a Windows virtual-key code into the buffer that
// *key_identifier points at (20 bytes, NUL-terminated): "Enter", "Left", "F1", "Win",
// "U+007F" for delete, and "U+" with four hex digits of the code for the rest
// (letters and digits give their upper-case character, "U+0041" for A).
void GetKeyIdentifierFromVirtualKeyCode(int virtual_key_code, char **key_identifier);

}  // namespace Awesomium
