#include "platform/crt.h"

#include <errno.h>
#include <time.h>

int64_t _time64(int64_t *out)
{
    int64_t now = (int64_t)time(nullptr);
    if (out)
        *out = now;
    return now;
}

void Sleep(uint32_t ms)
{
    struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
