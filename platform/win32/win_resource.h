// A module's resources in the shapes a Windows resource script gives them (menus,
// dialog templates, icon groups), held as plain data by the program, and the calls
// that load them. The module instance handle names the program's resource table, as
// an instance handle names a module's resources on Windows. Main thread only.
#pragma once

#include "platform/win32/win_window.h"

// Menu template, read in order like a script's MENU block: a popup opens a sub-menu
// that runs to its end entry, and a last end entry closes the bar itself.
enum WinMenuEntryKind { win_menu_popup, win_menu_item, win_menu_separator, win_menu_end };
struct WinMenuEntry {
    WinMenuEntryKind kind;
    LPCWSTR text;  // "&" marks the mnemonic, "&&" is a literal "&"
    UINT id;       // items only
};

// Dialog template; positions and sizes in dialog units of the template's font.
struct WinDialogControl {
    LPCWSTR class_name;  // L"STATIC" or L"BUTTON"
    LPCWSTR text;        // for an SS_ICON static: MAKEINTRESOURCEW of the icon group
    int id;
    short x, y, cx, cy;
    DWORD style;
};
struct WinDialogTemplate {
    DWORD style;
    DWORD ex_style;
    short x, y, cx, cy;
    LPCWSTR caption;
    LPCWSTR font;
    WORD point_size;
    const WinDialogControl *controls;
    int control_count;
};

#define DS_3DLOOK 0x0004u
#define DS_FIXEDSYS 0x0008u
#define DS_SETFONT 0x0040u
#define DS_MODALFRAME 0x0080u
#define DS_CENTER 0x0800u
#define SS_ICON 0x00000003u
#define BS_PUSHBUTTON 0x00000000u
#define BS_DEFPUSHBUTTON 0x00000001u

// One image of an icon group: a PNG file's bytes, size pixels square.
struct WinIconImage {
    int size;
    const unsigned char *png;
    const unsigned char *png_end;
};
struct WinIconGroup {
    const WinIconImage *images;
    int image_count;
};

#define RT_MENU 4
#define RT_DIALOG 5
#define RT_GROUP_ICON 14

struct WinResource {
    int type;  // RT_MENU (WinMenuEntry list), RT_DIALOG (WinDialogTemplate),
               // RT_GROUP_ICON (WinIconGroup)
    int id;
    const void *data;
};
struct WinResourceTable {
    const WinResource *resources;
    int count;
};

// The instance handle of a module with these resources; the table must outlive it.
HINSTANCE win_module_instance(const WinResourceTable *table);
// The resource of that type and numeric name, or null.
const void *win_find_resource(HINSTANCE instance, int type, LPCWSTR name);

#define IMAGE_ICON 1
#define LR_DEFAULTSIZE 0x00000040u
#define IDC_ARROW MAKEINTRESOURCEW(32512)

// IMAGE_ICON only: the group's image nearest in size, scaled to cx x cy (0: the
// image's own size, or 32 with LR_DEFAULTSIZE). The icon lives as long as the process.
HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags);
// IDC_ARROW from the system (instance null); null for anything else.
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name);
