// A URL split into its parts. Built from text without touching the network; a text
// without a scheme ("name:") is kept whole (spec()) but is not valid and has no parts.
#pragma once

#include "platform/awesomium/web_string.h"

namespace Awesomium {

class WebURL {
public:
    WebURL() = default;
    explicit WebURL(const WebString &url_string);

    bool IsValid() const { return valid_; }
    bool IsEmpty() const { return spec_.IsEmpty(); }

    WebString spec() const { return spec_; }
    WebString scheme() const { return part(scheme_); }
    WebString username() const { return part(username_); }
    WebString password() const { return part(password_); }
    WebString host() const;  // lower case
    WebString port() const { return part(port_); }
    WebString path() const { return part(path_); }
    WebString filename() const;  // the last segment of the path, "" after a final "/"
    WebString query() const { return part(query_); }
    WebString anchor() const { return part(anchor_); }

    bool operator==(const WebURL &other) const { return spec_ == other.spec_; }
    bool operator!=(const WebURL &other) const { return !(spec_ == other.spec_); }

private:
    struct Span {
        unsigned int begin = 0, length = 0;
    };
    WebString part(Span s) const { return WebString(spec_.data() + s.begin, s.length); }

    WebString spec_;
    bool valid_ = false;
    Span scheme_, username_, password_, host_, port_, path_, query_, anchor_;
};

}  // namespace Awesomium
