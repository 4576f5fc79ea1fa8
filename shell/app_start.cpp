#include "shell/app_start.h"

#include <curl/curl.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/media_control.h"
#include "engine/picture_scale.h"
#include "platform/win32/win_dialogs.h"
#include "shell/config.h"
#include "shell/ui_compose.h"
#include "shell/web_get.h"
#include "shell/web_host.h"

uint8_t app_started;

static const WCHAR check_caption[] = L"Tarnell Version Check";
static const WCHAR require_text[] =
    L"You need to upgrade your version of Tarnell. Click OK to open the download page.";
static const WCHAR offer_text[] = L"A new version of Tarnell is available. Would you like to upgrade?";

enum { download_url_wide_size = 1024 };

static void app_open_download_page()
{
    WCHAR url[download_url_wide_size];
    size_t n = mbstowcs(url, PlayerConfig.download_url, download_url_wide_size);
    // Bytes the locale cannot read: there is no address to hand on.
    if (n == (size_t)-1)
        return;
    url[n < download_url_wide_size ? n : download_url_wide_size - 1] = 0;
    ShellExecuteW(nullptr, L"open", url, nullptr, nullptr, SW_SHOW);
}

void app_version_check(const char *url)
{
    char *answer = web_get(url);
    if (!answer) {
        fprintf(stderr, "Cannot speak to Version Check Server: %d\n", errno);
        exit(1);
    }
    // The whole body, as sent: "REQUIRE\n" or "require" is no answer.
    bool require = strcmp(answer, "REQUIRE") == 0;
    bool offer = strcmp(answer, "OFFER") == 0;
    free(answer);

    if (require) {
        if (MessageBoxW(nullptr, require_text, check_caption, MB_OKCANCEL | MB_ICONERROR) == IDOK)
            app_open_download_page();
        exit(0);
    }
    if (offer && MessageBoxW(nullptr, offer_text, check_caption, MB_YESNO | MB_ICONWARNING) == IDYES) {
        app_open_download_page();
        exit(0);
    }
}

void app_init()
{
    config_defaults();
    config_read();

    // Four spare pixels each way; the render tick writes and shows only video_w x video_h.
    CompositePicture = picture_alloc(AV_PIX_FMT_YUV420P, PlayerConfig.video_w + 4,
                                        PlayerConfig.video_h + 4);
    if (!CompositePicture) {
        fprintf(stderr, "Cannot allocate the composite picture\n");
        exit(1);
    }

    curl_global_init(CURL_GLOBAL_ALL);
    app_version_check(PlayerConfig.version_check_url);

    ui_init();
    media_init();
    app_started = 1;
}
