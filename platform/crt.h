// The C-runtime and kernel spellings the program is written against (low-level file
// reads, whole-second calendar time, millisecond sleep), over POSIX.
// Any thread may call them. The microsecond clock is FFmpeg's av_gettime.
#pragma once

#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#define _O_RDONLY O_RDONLY
#define _O_BINARY 0  // POSIX never translates newlines

static inline int _open(const char *path, int flags) { return open(path, flags); }
static inline int _read(int fd, void *buf, unsigned int count) { return (int)read(fd, buf, count); }
static inline int _close(int fd) { return close(fd); }

// Calendar time in whole seconds; also stored through `out` when it is not null.
int64_t _time64(int64_t *out);

// Sleeps at least `ms` milliseconds, even when signals interrupt it.
void Sleep(uint32_t ms);
