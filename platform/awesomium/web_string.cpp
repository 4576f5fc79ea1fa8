#include "platform/awesomium/web_string.h"

namespace Awesomium {

static const char16_t replacement = 0xFFFD;

WebString::WebString(const wchar16 *data) : text_(data ? data : u"") {}

WebString::WebString(const wchar16 *data, unsigned int length)
{
    if (data && length)
        text_.assign(data, length);
}

WebString &WebString::Append(const WebString &other)
{
    text_ += other.text_;
    return *this;
}

static void append_code_point(std::u16string &out, uint32_t cp)
{
    if (cp < 0x10000) {
        out.push_back((char16_t)cp);
    } else {
        cp -= 0x10000;
        out.push_back((char16_t)(0xD800 + (cp >> 10)));
        out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
    }
}

WebString WebString::CreateFromUTF8(const char *data, unsigned int length)
{
    WebString result;
    if (!data)
        return result;
    const unsigned char *p = (const unsigned char *)data;
    const unsigned char *end = p + length;
    result.text_.reserve(length);
    while (p < end) {
        unsigned char b = *p;
        if (b < 0x80) {
            result.text_.push_back(b);
            p++;
            continue;
        }
        int extra;
        uint32_t cp, min;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1, cp = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2, cp = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3, cp = b & 0x07, min = 0x10000;
        } else {
            result.text_.push_back(replacement);  // continuation byte or C0, C1, F5..FF
            p++;
            continue;
        }
        // A bad sequence costs one U+FFFD and resumes at the first byte that did not fit.
        const unsigned char *q = p + 1;
        int got = 0;
        while (got < extra && q < end && (*q & 0xC0) == 0x80) {
            cp = (cp << 6) | (*q & 0x3F);
            q++;
            got++;
        }
        if (got < extra || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            result.text_.push_back(replacement);
        else
            append_code_point(result.text_, cp);
        p = q;
    }
    return result;
}

unsigned int WebString::ToUTF8(char *dest, unsigned int length) const
{
    unsigned int written = 0;
    size_t n = text_.size();
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = text_[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && text_[i + 1] >= 0xDC00 &&
            text_[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text_[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = replacement;
        }
        unsigned char bytes[4];
        unsigned int size;
        if (cp < 0x80) {
            bytes[0] = (unsigned char)cp, size = 1;
        } else if (cp < 0x800) {
            bytes[0] = (unsigned char)(0xC0 | (cp >> 6));
            bytes[1] = (unsigned char)(0x80 | (cp & 0x3F));
            size = 2;
        } else if (cp < 0x10000) {
            bytes[0] = (unsigned char)(0xE0 | (cp >> 12));
            bytes[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = (unsigned char)(0x80 | (cp & 0x3F));
            size = 3;
        } else {
            bytes[0] = (unsigned char)(0xF0 | (cp >> 18));
            bytes[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
            bytes[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
            bytes[3] = (unsigned char)(0x80 | (cp & 0x3F));
            size = 4;
        }
        if (dest) {
            if (written + size > length)
                break;
            for (unsigned int k = 0; k < size; k++)
                dest[written + k] = (char)bytes[k];
        }
        written += size;
    }
    return written;
}

}  // namespace Awesomium
