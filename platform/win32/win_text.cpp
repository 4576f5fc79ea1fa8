#include "platform/win32/win_text.h"

#include <glib.h>
#include <string.h>

static_assert(sizeof(WCHAR) == sizeof(gunichar), "wide text holds one code point per unit");

static bool unicode_scalar(uint32_t c)
{
    return c < 0x110000u && (c < 0xD800u || c > 0xDFFFu);
}

std::string win_utf8_from_wide(LPCWSTR text)
{
    std::string out;
    if (!text)
        return out;
    for (; *text; text++) {
        uint32_t c = (uint32_t)*text;
        char bytes[6];
        int n = g_unichar_to_utf8(unicode_scalar(c) ? c : 0xFFFDu, bytes);
        out.append(bytes, (size_t)n);
    }
    return out;
}

std::wstring win_wide_from_utf8(const char *text)
{
    std::wstring out;
    if (!text)
        return out;
    const char *end = text + strlen(text);
    while (text < end) {
        gunichar c = g_utf8_get_char_validated(text, end - text);
        if (c == (gunichar)-1 || c == (gunichar)-2) {
            out.push_back((WCHAR)0xFFFD);
            text++;
            continue;
        }
        out.push_back((WCHAR)c);
        text = g_utf8_next_char(text);
    }
    return out;
}
