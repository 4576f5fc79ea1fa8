#include "platform/awesomium/web_url.h"

namespace Awesomium {

static bool is_alpha(char16_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
static bool is_digit(char16_t c) { return c >= '0' && c <= '9'; }

// scheme ":" ["//" [user [":" password] "@"] host [":" port]] path ["?" query] ["#" anchor]
WebURL::WebURL(const WebString &url_string) : spec_(url_string)
{
    const wchar16 *s = spec_.data();
    unsigned int n = spec_.length();
    unsigned int i = 0;
    if (n == 0 || !is_alpha(s[0]))
        return;
    while (i < n && (is_alpha(s[i]) || is_digit(s[i]) || s[i] == '+' || s[i] == '-' || s[i] == '.'))
        i++;
    if (i >= n || s[i] != ':')
        return;
    valid_ = true;
    scheme_ = {0, i};
    i++;

    // Where the path, query and anchor begin; each part runs to the next one.
    auto find_any = [&](unsigned int from, const char *stops) {
        for (unsigned int k = from; k < n; k++)
            for (const char *c = stops; *c; c++)
                if (s[k] == (char16_t)*c)
                    return k;
        return n;
    };

    if (i + 1 < n && s[i] == '/' && s[i + 1] == '/') {
        unsigned int begin = i + 2;
        unsigned int end = find_any(begin, "/?#");
        unsigned int host_begin = begin;
        for (unsigned int k = end; k > begin; k--) {
            if (s[k - 1] == '@') {
                unsigned int colon = find_any(begin, ":@");
                if (colon < k - 1) {
                    username_ = {begin, colon - begin};
                    password_ = {colon + 1, k - 1 - colon - 1};
                } else {
                    username_ = {begin, k - 1 - begin};
                }
                host_begin = k;
                break;
            }
        }
        unsigned int host_end = end;
        // A bracketed IPv6 address keeps its colons; the port follows the bracket.
        unsigned int search = host_begin;
        if (host_begin < end && s[host_begin] == '[') {
            search = find_any(host_begin, "]");
            if (search > end)
                search = end;
        }
        for (unsigned int k = search; k < end; k++) {
            if (s[k] == ':') {
                host_end = k;
                port_ = {k + 1, end - k - 1};
                break;
            }
        }
        host_ = {host_begin, host_end - host_begin};
        i = end;
    }
    unsigned int path_end = find_any(i, "?#");
    path_ = {i, path_end - i};
    i = path_end;
    if (i < n && s[i] == '?') {
        unsigned int query_end = find_any(i + 1, "#");
        query_ = {i + 1, query_end - i - 1};
        i = query_end;
    }
    if (i < n && s[i] == '#')
        anchor_ = {i + 1, n - i - 1};
}

WebString WebURL::host() const
{
    std::u16string lower(spec_.data() + host_.begin, host_.length);
    for (char16_t &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = (char16_t)(c - 'A' + 'a');
    return WebString(lower.data(), (unsigned int)lower.size());
}

WebString WebURL::filename() const
{
    const wchar16 *p = spec_.data() + path_.begin;
    unsigned int last = 0;
    for (unsigned int k = 0; k < path_.length; k++)
        if (p[k] == '/')
            last = k + 1;
    return WebString(p + last, path_.length - last);
}

}  // namespace Awesomium
