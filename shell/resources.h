// The program's resources: the main menu, the about dialog and the icons. Read-only data.
#pragma once

#include "platform/win32/win_resource.h"

enum {
    resource_app_icon = 107,    // icon group: 256, 48, 32 and 16 pixels
    resource_main_menu = 109,
    resource_about_icon = 110,  // icon group: 48 pixels
    resource_about_dialog = 112,
};

extern const WinResourceTable zandoro_resources;
