#include "tests/support/web_pump.h"

#include <ftw.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>

static std::string private_dir;

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

static void remove_private_dir()
{
    nftw(private_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void web_test_environment()
{
    setenv("ZANDORO_WEBEXT_DIR", ZANDORO_WEBEXT_DIR, 1);
    // No accessibility bridge: the tests need none, and it keeps its D-Bus
    // connection unfreed until exit, which the leak checker would report.
    setenv("NO_AT_BRIDGE", "1", 1);
    if (!private_dir.empty())
        return;
    char dir[] = "/tmp/zandoro-web-XXXXXX";
    if (!mkdtemp(dir))
        return;
    private_dir = dir;
    setenv("XDG_DATA_HOME", (private_dir + "/data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (private_dir + "/cache").c_str(), 1);
    // Whatever the engine would save for a page (a download) lands here, where a test
    // can look for it, and never in the real home.
    std::string home = private_dir + "/home";
    mkdir(home.c_str(), 0700);
    setenv("HOME", home.c_str(), 1);
    atexit(remove_private_dir);
}

Awesomium::WebCore *web_test_core(const Awesomium::WebConfig &config)
{
    web_test_environment();
    return Awesomium::WebCore::Initialize(config);
}

static long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool web_pump_until(const std::function<bool()> &done, int timeout_ms)
{
    long long end = now_ms() + timeout_ms;
    while (!done()) {
        if (now_ms() > end)
            return false;
        if (Awesomium::WebCore *core = Awesomium::WebCore::instance())
            core->Update();
        usleep(5000);
    }
    return true;
}

void web_pump_for(int ms)
{
    web_pump_until([] { return false; }, ms);
}
