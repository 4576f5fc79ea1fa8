// Playback cost and start-up latency, run by hand (figures go to docs/benchmarks.md):
//
//   playback_bench STREAM.ts [FILE.ts ...]
//
// 1. CPU seconds (user + system) of the engine playing STREAM.ts for 20 s in real time,
//    headless (SDL's dummy audio and video drivers), beside ffplay on the same file in the
//    same run: once as `ffplay -nodisp` (which decodes no video at all) and once with a
//    window on SDL's dummy video driver (decoding and rendering every picture).
// 2. Time from media_play to the first picture in OutputPicture (MediaControl->new_picture
//    raised) for STREAM.ts and each FILE.ts, five playbacks each.
//
// Every measurement runs in a child process of its own, so each gets a fresh engine and
// its own resource usage; the parent starts no threads.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/media_control.h"
#include "engine/playback.h"
#include "shell/config.h"

namespace {

using Clock = std::chrono::steady_clock;

const double play_seconds = 20.0;
const int first_picture_runs = 5;

void headless_environment()
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
}

// The engine's log lines would drown the figures.
void quiet_stdout()
{
    fflush(stdout);
    if (!freopen("/dev/null", "w", stdout))
        exit(2);
}

void engine_start()
{
    headless_environment();
    config_defaults();
    media_init();
}

// Stops the playback and waits until it has been torn down.
void engine_stop()
{
    MediaControl->stop_request = 1;
    while (current_playback || MediaControl->stop_request)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Child: plays `path` for play_seconds, clearing new_picture like the render tick does.
[[noreturn]] void child_play(const char *path)
{
    quiet_stdout();
    engine_start();
    std::string url = std::string("file:") + path;
    media_play(url.c_str());
    Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(play_seconds));
    int shown = 0;
    while (Clock::now() < end) {
        if (MediaControl->new_picture.exchange(0))
            shown++;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    engine_stop();
    fprintf(stderr, "  (engine: %d ticks with a new picture)\n", shown);
    _exit(0);
}

// Child: prints the milliseconds from media_play to the first picture, for each run.
[[noreturn]] void child_first_picture(const char *path)
{
    quiet_stdout();
    engine_start();
    std::string url = std::string("file:") + path;
    for (int run = 0; run < first_picture_runs; run++) {
        MediaControl->new_picture = 0;
        Clock::time_point start = Clock::now();
        media_play(url.c_str());
        double ms = -1;
        while (std::chrono::duration<double>(Clock::now() - start).count() < 5.0) {
            if (MediaControl->new_picture) {
                ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        fprintf(stderr, "first-picture-ms %.1f\n", ms);
        engine_stop();
    }
    _exit(0);
}

double cpu_seconds(const struct rusage &ru)
{
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

// Waits for the child and gives its CPU seconds and wall seconds.
void wait_child(pid_t pid, Clock::time_point started, double *cpu, double *wall)
{
    int status = 0;
    struct rusage ru = {};
    wait4(pid, &status, 0, &ru);
    *cpu = cpu_seconds(ru);
    *wall = std::chrono::duration<double>(Clock::now() - started).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fprintf(stderr, "  child ended abnormally (status %d)\n", status);
}

void report_cpu(const char *what, double cpu, double wall)
{
    printf("%-44s %6.2f CPU s over %5.2f s wall (%.1f%% of one core)\n", what, cpu, wall, 100.0 * cpu / wall);
    fflush(stdout);
}

void measure_engine(const char *path)
{
    fflush(stdout);
    Clock::time_point started = Clock::now();
    pid_t pid = fork();
    if (pid == 0)
        child_play(path);
    double cpu, wall;
    wait_child(pid, started, &cpu, &wall);
    report_cpu("zandoro engine", cpu, wall);
}

void measure_ffplay(const char *path, bool display)
{
    char seconds[16];
    snprintf(seconds, sizeof seconds, "%g", play_seconds);
    std::vector<const char *> args = {"ffplay", "-autoexit", "-t", seconds, "-loglevel", "error"};
    if (!display)
        args.push_back("-nodisp");
    args.push_back(path);
    args.push_back(nullptr);
    fflush(stdout);
    Clock::time_point started = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        headless_environment();
        quiet_stdout();
        execvp("ffplay", (char *const *)args.data());
        _exit(127);
    }
    double cpu, wall;
    wait_child(pid, started, &cpu, &wall);
    report_cpu(display ? "ffplay (dummy video window)" : "ffplay -nodisp (no video decoding)", cpu, wall);
}

void measure_first_picture(const char *path)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        child_first_picture(path);
    }
    close(pipe_fds[1]);
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, (size_t)n);
    close(pipe_fds[0]);
    waitpid(pid, nullptr, 0);

    // Only the child's own lines: FFmpeg may warn on the same stream.
    std::vector<double> ms;
    const char tag[] = "first-picture-ms ";
    for (size_t pos = text.find(tag); pos != std::string::npos; pos = text.find(tag, pos + 1))
        ms.push_back(atof(text.c_str() + pos + strlen(tag)));
    if (ms.empty()) {
        printf("%s: no figures\n", path);
        return;
    }
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    const char *name = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
    printf("first picture %-32s median %6.1f ms, max %6.1f ms (", name, sorted[sorted.size() / 2], sorted.back());
    for (size_t i = 0; i < ms.size(); i++)
        printf("%s%.1f", i ? " " : "", ms[i]);
    printf(")\n");
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s STREAM.ts [FILE.ts ...]\n", argv[0]);
        return 2;
    }
    printf("CPU while playing %s for %.0f s:\n", argv[1], play_seconds);
    measure_engine(argv[1]);
    measure_ffplay(argv[1], false);
    measure_ffplay(argv[1], true);
    printf("\nTime from media_play to the first picture:\n");
    for (int i = 1; i < argc; i++)
        measure_first_picture(argv[i]);
    return 0;
}
