// Entry point. Start-up grows here as the shell's pieces land; for now the program
// reads its configuration and stops.
#include <stdio.h>

#include "shell/config.h"

int main()
{
    config_defaults();
    config_read();
    printf("video %dx%d, portal %s\n", PlayerConfig.video_w, PlayerConfig.video_h,
           PlayerConfig.portal_url);
    return 0;
}
