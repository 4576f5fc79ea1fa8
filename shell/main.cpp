// Entry point: brings up this system's side of the window layer and hands over to
// WinMain as Windows would.
#include <stdio.h>

#include <string>

#include "platform/win32/win_resource.h"
#include "shell/main_window.h"
#include "shell/resources.h"

int main(int argc, char **argv)
{
    if (!win_ui_start()) {
        fprintf(stderr, "Cannot open the display\n");
        return 1;
    }
    // Windows hands WinMain the arguments after the program's name as one line.
    std::string command_line;
    for (int i = 1; i < argc; i++)
        command_line += (i > 1 ? " " : "") + std::string(argv[i]);
    return WinMain(win_module_instance(&zandoro_resources), nullptr, &command_line[0], SW_SHOWDEFAULT);
}
