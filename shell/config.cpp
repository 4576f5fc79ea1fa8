#include "shell/config.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "shell/build_config.h"

static const char config_dir[] = ".";
static const char path_separator = '/';
static const char config_name[] = "config.dat";

static void copy_text(char *field, const char *value)
{
    // strncpy pads the field with zeros; the last byte stays a NUL whatever the length.
    strncpy(field, value, config_text_size - 1);
    field[config_text_size - 1] = 0;
}

void config_defaults()
{
    memset(&PlayerConfig, 0, sizeof PlayerConfig);
    PlayerConfig.video_w = 1024;
    PlayerConfig.video_h = 576;
    PlayerConfig.debug = 0;
    copy_text(PlayerConfig.portal_url, ZANDORO_PORTAL_URL);
    copy_text(PlayerConfig.download_url, ZANDORO_DOWNLOAD_URL);
    copy_text(PlayerConfig.amt_relay_addr, ZANDORO_AMT_RELAY);
    snprintf(PlayerConfig.version_check_url, sizeof PlayerConfig.version_check_url,
             ZANDORO_PORTAL_SERVER "/cgi-bin/zandoro_version_check?version=%s&os=%s",
             ZANDORO_VERSION, ZANDORO_OS_NAME);
    PlayerConfig.amt_port = 2268;
}

static void config_store(const char *key, const char *value)
{
    if (strcmp(key, "video_w") == 0)
        PlayerConfig.video_w = atoi(value);
    else if (strcmp(key, "video_h") == 0)
        PlayerConfig.video_h = atoi(value);
    else if (strcmp(key, "debug") == 0)
        PlayerConfig.debug = atoi(value);
    else if (strcmp(key, "override_media_url") == 0)
        copy_text(PlayerConfig.override_media_url, value);
    else if (strcmp(key, "fake_mcast") == 0)
        copy_text(PlayerConfig.fake_mcast, value);
    else
        fprintf(stderr, "Unknown config file var: %s\n", key);
}

static void config_parse_line(char *line)
{
    if (line[0] == '#' || line[0] == '\n' || line[0] == ' ')
        return;
    char *colon = strchr(line, ':');
    if (!colon)
        return;
    *colon = 0;
    char *value = colon + 1;
    while (*value == ' ' || *value == '\t')
        value++;
    size_t n = strlen(value);
    while (n > 0 && (value[n - 1] == '\n' || value[n - 1] == '\r'))
        value[--n] = 0;
    config_store(line, value);
}

void config_read_lines(FILE *file)
{
    char line[1024];
    while (!feof(file)) {
        if (!fgets(line, sizeof line, file)) {
            if (ferror(file)) {
                perror("Error reading config file");
                break;
            }
            continue;
        }
        config_parse_line(line);
    }
}

bool config_video_size_usable()
{
    // Every picture, the web view and the window are sized from these.
    if (PlayerConfig.video_w <= 0 || PlayerConfig.video_h <= 0) {
        fprintf(stderr, "config.dat: video_w and video_h must be positive (got %d x %d)\n",
                PlayerConfig.video_w, PlayerConfig.video_h);
        return false;
    }
    // Beyond this the window would flash up and fail inside GTK, X or SDL with no word of why.
    if (PlayerConfig.video_w > config_video_size_max || PlayerConfig.video_h > config_video_size_max) {
        fprintf(stderr,
                "config.dat: video_w and video_h must be at most %d, the largest picture the display can hold "
                "(got %d x %d)\n",
                config_video_size_max, PlayerConfig.video_w, PlayerConfig.video_h);
        return false;
    }
    return true;
}

void config_read()
{
    char path[sizeof config_dir + 1 + sizeof config_name];
    snprintf(path, sizeof path, "%s%c%s", config_dir, path_separator, config_name);
    printf("Using %s for config file\n", path);

    FILE *f = fopen(path, "r");
    if (!f) {
        perror("Unable to read config file");
        exit(1);
    }
    config_read_lines(f);
    fclose(f);
    if (!config_video_size_usable())
        exit(1);
}
