// Arbitrary bytes as config.dat, read the way config_read reads it, without the exit an
// unusable video size leads to: no line, however long or odd, may write past a field,
// and nothing the file cannot name may change.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "shell/config.h"

static PlayerConfigRecord defaults;
static char path[64];  // config.dat in a directory of the fuzzer's own

// A text field holds its NUL inside its own bytes.
static void expect_terminated(const char *field)
{
    if (!memchr(field, 0, config_text_size))
        abort();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[] = "/tmp/zandoro-config-fuzz-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    snprintf(path, sizeof path, "%s/config.dat", dir);
    config_defaults();
    defaults = PlayerConfig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *out = fopen(path, "wb");
    if (!out || fwrite(data, 1, size, out) != size || fclose(out) != 0)
        abort();

    config_defaults();
    // Opened as config_read opens it, in text mode.
    FILE *in = fopen(path, "r");
    if (!in)
        abort();
    config_read_lines(in);
    fclose(in);
    bool usable = config_video_size_usable();

    bool in_range = PlayerConfig.video_w > 0 && PlayerConfig.video_h > 0 &&
                    PlayerConfig.video_w <= config_video_size_max && PlayerConfig.video_h <= config_video_size_max;
    if (usable != in_range)
        abort();
    expect_terminated(PlayerConfig.override_media_url);
    expect_terminated(PlayerConfig.fake_mcast);
    // Built in, never from the file.
    if (strcmp(PlayerConfig.version_check_url, defaults.version_check_url) != 0 ||
        strcmp(PlayerConfig.download_url, defaults.download_url) != 0 ||
        strcmp(PlayerConfig.portal_url, defaults.portal_url) != 0 ||
        strcmp(PlayerConfig.amt_relay_addr, defaults.amt_relay_addr) != 0 ||
        PlayerConfig.amt_port != defaults.amt_port)
        abort();
    return 0;
}
