// The program's resource script. The icons are the PNG files in shell/resources/,
// built into the program.
#include "shell/resources.h"

#include "shell/main_window.h"

// The assembler finds the files through the compiler's include path (the source root).
#define ICON_FILE(symbol, file)                  \
    ".global " #symbol "\n"                      \
    ".balign 16\n" #symbol ":\n"                 \
    ".incbin \"shell/resources/" file "\"\n"     \
    ".global " #symbol "_end\n" #symbol "_end:\n"
asm(".pushsection .rodata\n"
    ICON_FILE(icon_107_256, "icon_107_256.png")
    ICON_FILE(icon_107_48, "icon_107_48.png")
    ICON_FILE(icon_107_32, "icon_107_32.png")
    ICON_FILE(icon_107_16, "icon_107_16.png")
    ICON_FILE(icon_110_48, "icon_110_48.png")
    ".popsection\n");

extern "C" const unsigned char icon_107_256[], icon_107_256_end[], icon_107_48[], icon_107_48_end[],
    icon_107_32[], icon_107_32_end[], icon_107_16[], icon_107_16_end[], icon_110_48[], icon_110_48_end[];

namespace {

const WinMenuEntry main_menu[] = {
    {win_menu_popup, L"&File", 0},
    {win_menu_item, L"E&xit", menu_exit},
    {win_menu_end, nullptr, 0},
    {win_menu_popup, L"&View", 0},
    {win_menu_item, L"100%", menu_scale_100},
    {win_menu_item, L"50%", menu_scale_50},
    {win_menu_item, L"25%", menu_scale_25},
    {win_menu_separator, nullptr, 0},
    {win_menu_item, L"Fullscreen", menu_fullscreen},
    {win_menu_end, nullptr, 0},
    {win_menu_popup, L"&Help", 0},
    {win_menu_item, L"&About ...", menu_about},
    {win_menu_end, nullptr, 0},
    {win_menu_end, nullptr, 0},
};

const WinDialogControl about_controls[] = {
    {L"STATIC", MAKEINTRESOURCEW(resource_about_icon), -1, 49, 10, 32, 30,
     WS_CHILD | WS_VISIBLE | SS_ICON},
    {L"BUTTON", L"Close", IDOK, 46, 86, 37, 14,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON},
};

const WinDialogTemplate about_dialog = {
    0x90C808CCu,  // WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                  // DS_SETFONT | DS_FIXEDSYS | DS_3DLOOK | DS_CENTER
    0,
    0, 0, 129, 110,
    L"About Tarnell",
    L"Ms Shell Dlg",
    8,
    about_controls,
    2,
};

const WinIconImage app_icon_images[] = {
    {256, icon_107_256, icon_107_256_end},
    {48, icon_107_48, icon_107_48_end},
    {32, icon_107_32, icon_107_32_end},
    {16, icon_107_16, icon_107_16_end},
};
const WinIconGroup app_icon = {app_icon_images, 4};

const WinIconImage about_icon_images[] = {
    {48, icon_110_48, icon_110_48_end},
};
const WinIconGroup about_icon = {about_icon_images, 1};

const WinResource resources[] = {
    {RT_GROUP_ICON, resource_app_icon, &app_icon},
    {RT_MENU, resource_main_menu, main_menu},
    {RT_GROUP_ICON, resource_about_icon, &about_icon},
    {RT_DIALOG, resource_about_dialog, &about_dialog},
};

}  // namespace

const WinResourceTable zandoro_resources = {resources, 4};
