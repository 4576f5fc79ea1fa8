#include "platform/awesomium/web_keyboard_event.h"

#include <stdio.h>
#include <string.h>

namespace Awesomium {

struct NamedKey {
    int code;
    const char *identifier;
};

// Keys with a name of their own among the DOM key identifiers.
static const NamedKey named_keys[] = {
    {0x0C, "Clear"},     {0x0D, "Enter"},    {0x10, "Shift"},     {0x11, "Control"},
    {0x12, "Alt"},       {0x13, "Pause"},    {0x14, "CapsLock"},  {0x21, "PageUp"},
    {0x22, "PageDown"},  {0x23, "End"},      {0x24, "Home"},      {0x25, "Left"},
    {0x26, "Up"},        {0x27, "Right"},    {0x28, "Down"},      {0x29, "Select"},
    {0x2B, "Execute"},   {0x2C, "PrintScreen"}, {0x2D, "Insert"}, {0x2E, "U+007F"},
    {0x2F, "Help"},      {0x5B, "Win"},      {0x5C, "Win"},       {0x91, "Scroll"},
    {0xA0, "Shift"},     {0xA1, "Shift"},    {0xA2, "Control"},   {0xA3, "Control"},
    {0xA4, "Alt"},       {0xA5, "Alt"},
};

void GetKeyIdentifierFromVirtualKeyCode(int virtual_key_code, char **key_identifier)
{
    if (!key_identifier || !*key_identifier)
        return;
    char *out = *key_identifier;
    const size_t size = 20;
    if (virtual_key_code >= 0x70 && virtual_key_code <= 0x87) {  // F1 to F24
        snprintf(out, size, "F%d", virtual_key_code - 0x70 + 1);
        return;
    }
    for (const NamedKey &key : named_keys) {
        if (key.code == virtual_key_code) {
            snprintf(out, size, "%s", key.identifier);
            return;
        }
    }
    int code = virtual_key_code;
    if (code >= 'a' && code <= 'z')
        code -= 'a' - 'A';
    snprintf(out, size, "U+%04X", (unsigned int)code & 0xFFFF);
}

}  // namespace Awesomium
