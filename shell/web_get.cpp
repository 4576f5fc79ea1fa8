#include "shell/web_get.h"

#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char user_agent[] = "zandoro/3.1.1";

size_t web_get_write(void *data, size_t size, size_t nmemb, void *user)
{
    WebGetAnswer *answer = (WebGetAnswer *)user;
    size_t n = size * nmemb;
    // The count is 32 bits: a size it cannot hold is asked for as one no allocator
    // grants, so the growth fails rather than wraps.
    uint64_t want = (uint64_t)answer->size + n + 1;
    size_t grow = want > UINT32_MAX ? SIZE_MAX : (size_t)want;
    char *grown = (char *)realloc(answer->data, grow);
    if (!grown) {
        printf("not enough memory (realloc returned NULL)\n");
        return 0;
    }
    answer->data = grown;
    memcpy(answer->data + answer->size, data, n);
    answer->size += (uint32_t)n;
    answer->data[answer->size] = 0;
    return n;
}

char *web_get(const char *url)
{
    WebGetAnswer answer;
    answer.data = (char *)malloc(1);
    answer.size = 0;
    if (!answer.data) {
        fprintf(stderr, "web_get: out of memory\n");
        return nullptr;
    }
    answer.data[0] = 0;

    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, web_get_write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, user_agent);
    CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);

    if (result != CURLE_OK) {
        fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(result));
        free(answer.data);
        return nullptr;
    }
    printf("web_get: %lu bytes retrieved: %s\n", (unsigned long)answer.size, answer.data);
    return answer.data;
}
