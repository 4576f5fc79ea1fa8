// The program's own HTTP GET through libcurl: the response body as text. Any thread,
// once libcurl's global initialisation has run (app_init does it).
#pragma once

#include <stddef.h>
#include <stdint.h>

// The body received so far, always followed by a NUL, and its length in bytes.
struct WebGetAnswer {
    char *data;
    uint32_t size;
};

// The body of the answer to a GET of url, NUL-terminated, on the heap for the caller to
// free(); an HTTP error status still gives its page. Logs the body on standard output.
// Null when the transfer fails, with libcurl's reason on standard error.
char *web_get(const char *url);

// libcurl's write callback for web_get: appends size * nmemb bytes at data to the
// WebGetAnswer at user. Returns the bytes taken, or 0 (which aborts the transfer) when
// the block cannot grow, also when it would pass 4 GiB.
size_t web_get_write(void *data, size_t size, size_t nmemb, void *user);
