// Conversions between the wide text of the Windows spellings and the UTF-8 that GTK
// and GLib take. Any thread.
#pragma once

#include <string>

#include "platform/win32/win_types.h"

// A null text gives an empty string; a value that is no Unicode scalar becomes U+FFFD.
std::string win_utf8_from_wide(LPCWSTR text);
// Malformed UTF-8 becomes U+FFFD, one per bad byte.
std::wstring win_wide_from_utf8(const char *text);
