// The configuration record every layer reads: the network input (the AMT relay), the
// engine (video size, URL overrides) and the shell. The shell fills it at start-up (built-in
// values, then "config.dat") on the main thread before any other thread exists; it is
// read-only, and read from any thread without a lock, afterwards.
#pragma once

#include <stdint.h>

enum { config_text_size = 1024 };

struct PlayerConfigRecord {
    int32_t video_w;
    int32_t video_h;
    int32_t debug;
    char version_check_url[config_text_size];
    char download_url[config_text_size];
    char portal_url[config_text_size];
    char override_media_url[config_text_size];  // played instead of any requested URL
    char fake_mcast[config_text_size];          // multicast groups read from files with this prefix
    char amt_relay_addr[config_text_size];
    int32_t amt_port;
};

extern PlayerConfigRecord PlayerConfig;
