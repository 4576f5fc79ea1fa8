// The Windows type spellings the shell is written against, defined here for Linux.
// Plain types and constants only; the calls that use them are declared by their own
// headers in this directory (win_dialogs.h, ...). Values are those of the Windows API,
// so code and logs read the same on both systems.
#pragma once

#include <stdint.h>
#include <wchar.h>

// Handles: distinct opaque pointer types, so one kind cannot be passed for another.
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;

typedef int INT;
typedef unsigned int UINT;
typedef int BOOL;
typedef int32_t LONG;    // 32 bits on Windows whatever the pointer size
typedef uint32_t DWORD;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;

// Wide text is wchar_t: UTF-32 here, UTF-16 on Windows. Nothing relies on the width
// beyond what the conversions in this layer handle.
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct POINT {
    LONG x;
    LONG y;
};

// Show commands (ShellExecuteW, later ShowWindow).
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

// Message box buttons (low nibble) and icons (next nibble).
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_TYPEMASK 0x0000000Fu
#define MB_ICONERROR 0x00000010u
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
#define MB_ICONMASK 0x000000F0u

// Dialog results: the button chosen.
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
