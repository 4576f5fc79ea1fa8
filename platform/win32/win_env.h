// The process environment in the kernel's wide spelling. Main thread only (setenv).
#pragma once

#include "platform/win32/win_types.h"

// Sets the variable (a null value removes it). FALSE for a null or empty name, or one
// that holds "=".
BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);
