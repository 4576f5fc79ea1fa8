#include "platform/win32/win_env.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/win32/win_text.h"

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value)
{
    std::string key = win_utf8_from_wide(name);
    if (key.empty() || key.find('=') != std::string::npos)
        return FALSE;
    if (!value)
        return unsetenv(key.c_str()) == 0;
    return setenv(key.c_str(), win_utf8_from_wide(value).c_str(), 1) == 0;
}
