// Text as the web view exchanges it: UTF-16 code units, with conversion from and to
// UTF-8. A plain value type; any thread may use its own copies.
#pragma once

#include <stdint.h>

#include <string>

namespace Awesomium {

typedef char16_t wchar16;
typedef int64_t int64;

class WebString {
public:
    WebString() = default;
    explicit WebString(const wchar16 *data);  // NUL-terminated
    WebString(const wchar16 *data, unsigned int length);

    // Malformed UTF-8 (stray continuation bytes, overlong forms, surrogates, truncated
    // sequences) becomes U+FFFD, one per bad sequence; a NUL byte is kept as a character.
    static WebString CreateFromUTF8(const char *data, unsigned int length);

    // Writes the UTF-8 form into dest, at most `length` bytes and no NUL, and returns
    // the number of bytes written. With a null dest it writes nothing and returns the
    // size of the whole UTF-8 form. A code point that does not fit whole is left out.
    // An unpaired surrogate becomes U+FFFD.
    unsigned int ToUTF8(char *dest, unsigned int length) const;

    const wchar16 *data() const { return text_.c_str(); }
    unsigned int length() const { return (unsigned int)text_.size(); }
    bool IsEmpty() const { return text_.empty(); }

    WebString &Append(const WebString &other);

    bool operator==(const WebString &other) const { return text_ == other.text_; }
    bool operator!=(const WebString &other) const { return text_ != other.text_; }
    bool operator<(const WebString &other) const { return text_ < other.text_; }

private:
    std::u16string text_;
};

}  // namespace Awesomium
