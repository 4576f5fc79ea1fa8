// Watches a rectangle of the X screen and prints when a picture reaches it, for the
// benches that time players from the outside (any player, the same way):
//
//   screen_watch [--rect X,Y,W,H] [--timeout MS] [--colour] change [PERCENT]
//       prints "change T" and exits 0 once PERCENT % (default 10) of the rectangle's
//       pixels differ from its first grab by more than 48 (sum over R, G and B);
//       exits 1 at the timeout. With --colour the line ends with the mean colour of
//       that grab, "change T #RRGGBB", so a driver can tell what reached the screen.
//       With --ignore #RRGGBB[,#RRGGBB...] a change whose mean colour is within 40 (sum
//       over R, G and B) of one of those is printed as "seen T #RRGGBB" and becomes the
//       new first grab: a window's background or a page drawn before the picture is
//       dated on the way, and only the picture ends the watch. With --want #RRGGBB the
//       watch ends only at a grab whose mean colour is within 60 of that one (what a
//       player draws on the way to a known picture does not count)
//   screen_watch [--rect X,Y,W,H] [--timeout MS] flash [LEVEL]
//       prints "flash T" each time the rectangle's mean brightness rises above LEVEL
//       (0..255, default 160) after having been below LEVEL - 40; runs to the timeout
//
// T is CLOCK_MONOTONIC in milliseconds, the clock Python's time.monotonic() reads, so a
// driver compares it with its own marks. "ready T" is printed after the first grab.
// Grabs go through MIT-SHM when the server has it (Xvfb does): about 0.1 ms for a
// 64x64 rectangle, so the figures have a resolution well under a millisecond.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <vector>

namespace {

double now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

struct Grabber {
    Display *display = nullptr;
    Window root = 0;
    int x = 0, y = 0, w = 0, h = 0;
    XImage *image = nullptr;
    XShmSegmentInfo shm = {};
    bool use_shm = false;
};

bool grabber_open(Grabber *g)
{
    int screen = DefaultScreen(g->display);
    g->root = RootWindow(g->display, screen);
    if (g->w <= 0 || g->h <= 0) {
        g->x = g->y = 0;
        g->w = DisplayWidth(g->display, screen);
        g->h = DisplayHeight(g->display, screen);
    }
    Visual *visual = DefaultVisual(g->display, screen);
    int depth = DefaultDepth(g->display, screen);
    if (XShmQueryExtension(g->display)) {
        g->image = XShmCreateImage(g->display, visual, depth, ZPixmap, nullptr, &g->shm, g->w, g->h);
        if (g->image) {
            g->shm.shmid = shmget(IPC_PRIVATE, g->image->bytes_per_line * g->image->height, IPC_CREAT | 0600);
            g->shm.shmaddr = g->image->data = (char *)shmat(g->shm.shmid, nullptr, 0);
            g->shm.readOnly = False;
            g->use_shm = g->shm.shmaddr != (char *)-1 && XShmAttach(g->display, &g->shm);
            XSync(g->display, False);
            shmctl(g->shm.shmid, IPC_RMID, nullptr);  // gone once both sides detach
            if (!g->use_shm) {
                g->image->data = nullptr;
                XDestroyImage(g->image);
                g->image = nullptr;
            }
        }
    }
    return true;
}

// The rectangle as 0xRRGGBB values; false when the server refused (the rectangle off
// the screen).
bool grabber_grab(Grabber *g, std::vector<unsigned> *pixels)
{
    XImage *image = g->image;
    if (g->use_shm) {
        if (!XShmGetImage(g->display, g->root, image, g->x, g->y, AllPlanes))
            return false;
    } else {
        image = XGetImage(g->display, g->root, g->x, g->y, g->w, g->h, AllPlanes, ZPixmap);
        if (!image)
            return false;
    }
    pixels->resize((size_t)g->w * g->h);
    for (int j = 0; j < g->h; j++)
        for (int i = 0; i < g->w; i++)
            (*pixels)[(size_t)j * g->w + i] = (unsigned)XGetPixel(image, i, j) & 0xFFFFFF;
    if (!g->use_shm)
        XDestroyImage(image);
    return true;
}

int channel_diff(unsigned a, unsigned b)
{
    int d = 0;
    for (int s = 0; s < 24; s += 8)
        d += abs((int)((a >> s) & 255) - (int)((b >> s) & 255));
    return d;
}

double mean_brightness(const std::vector<unsigned> &pixels)
{
    double sum = 0;
    for (unsigned p : pixels)
        sum += 0.299 * ((p >> 16) & 255) + 0.587 * ((p >> 8) & 255) + 0.114 * (p & 255);
    return pixels.empty() ? 0 : sum / pixels.size();
}

unsigned mean_colour(const std::vector<unsigned> &pixels)
{
    double sum[3] = {0, 0, 0};
    for (unsigned p : pixels)
        for (int c = 0; c < 3; c++)
            sum[c] += (p >> (16 - 8 * c)) & 255;
    unsigned rgb = 0;
    for (int c = 0; c < 3 && !pixels.empty(); c++)
        rgb = rgb << 8 | (unsigned)(sum[c] / pixels.size() + 0.5);
    return rgb;
}

void usage()
{
    fprintf(stderr, "usage: screen_watch [--rect X,Y,W,H] [--timeout MS] [--colour] [--ignore #RRGGBB,...] "
                    "[--want #RRGGBB] change [PERCENT] | flash [LEVEL]\n");
    exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    Grabber g;
    double timeout_ms = 10000;
    bool colour = false;
    std::vector<unsigned> ignored;
    long want = -1;
    int arg = 1;
    for (; arg < argc && strncmp(argv[arg], "--", 2) == 0; arg += 2) {
        if (strcmp(argv[arg], "--colour") == 0) {
            colour = true;
            arg--;
            continue;
        }
        if (arg + 1 >= argc)
            usage();
        if (strcmp(argv[arg], "--rect") == 0) {
            if (sscanf(argv[arg + 1], "%d,%d,%d,%d", &g.x, &g.y, &g.w, &g.h) != 4)
                usage();
        } else if (strcmp(argv[arg], "--ignore") == 0) {
            for (const char *p = argv[arg + 1]; *p;) {
                unsigned rgb;
                if (sscanf(p, "#%6x", &rgb) != 1)
                    usage();
                ignored.push_back(rgb);
                p = strchr(p, ',');
                if (!p)
                    break;
                p++;
            }
        } else if (strcmp(argv[arg], "--want") == 0) {
            unsigned rgb;
            if (sscanf(argv[arg + 1], "#%6x", &rgb) != 1)
                usage();
            want = rgb;
        } else if (strcmp(argv[arg], "--timeout") == 0) {
            timeout_ms = atof(argv[arg + 1]);
        } else {
            usage();
        }
    }
    if (arg >= argc)
        usage();
    bool flash = strcmp(argv[arg], "flash") == 0;
    if (!flash && strcmp(argv[arg], "change") != 0)
        usage();
    double level = arg + 1 < argc ? atof(argv[arg + 1]) : (flash ? 160 : 10);

    g.display = XOpenDisplay(nullptr);
    if (!g.display) {
        fprintf(stderr, "screen_watch: cannot open the display\n");
        return 2;
    }
    grabber_open(&g);
    std::vector<unsigned> first, pixels;
    if (!grabber_grab(&g, &first)) {
        fprintf(stderr, "screen_watch: cannot read the rectangle %d,%d %dx%d\n", g.x, g.y, g.w, g.h);
        return 2;
    }
    double start = now_ms();
    printf("ready %.3f\n", start);
    fflush(stdout);
    bool below = mean_brightness(first) < level - 40;
    while (now_ms() - start < timeout_ms) {
        if (!grabber_grab(&g, &pixels))
            continue;
        double t = now_ms();
        if (flash) {
            double m = mean_brightness(pixels);
            if (below && m > level) {
                printf("flash %.3f\n", t);
                fflush(stdout);
                below = false;
            } else if (m < level - 40) {
                below = true;
            }
            continue;
        }
        if (want >= 0) {
            unsigned seen = mean_colour(pixels);
            if (channel_diff(seen, (unsigned)want) <= 60) {
                printf("change %.3f #%06X\n", t, seen);
                return 0;
            }
            continue;
        }
        size_t changed = 0;
        for (size_t i = 0; i < pixels.size(); i++)
            changed += channel_diff(pixels[i], first[i]) > 48;
        if (changed * 100.0 >= level * pixels.size()) {
            unsigned seen = mean_colour(pixels);
            bool skip = false;
            for (unsigned rgb : ignored)
                skip = skip || channel_diff(seen, rgb) <= 40;
            if (skip) {
                printf("seen %.3f #%06X\n", t, seen);
                fflush(stdout);
                first.swap(pixels);
                continue;
            }
            if (colour)
                printf("change %.3f #%06X\n", t, mean_colour(pixels));
            else
                printf("change %.3f\n", t);
            return 0;
        }
    }
    return flash ? 0 : 1;
}
