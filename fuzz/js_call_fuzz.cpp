// A call of a "Zandoro" method as the page-side helper sends it (the wire's call payload:
// u32 seq, u32 object id, text method, u32 n, n values), decoded the way the web core
// decodes it, handed to the JavaScript API's handler, and every argument put through the
// value conversions. A page controls all of these bytes, the number and the text of each
// value independently.
//
// The engine's side is the control block alone, as media_init leaves it, without the
// media control thread: requests are recorded and nothing plays. There is no window, so
// a request for full screen finds nothing to change.
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

extern "C" {
#include <libavutil/mem.h>
}

#include "engine/media_control.h"
#include "platform/awesomium/js_value.h"
#include "platform/awesomium/wire.h"
#include "shell/config.h"
#include "shell/js_handler.h"
#include "shell/web_host.h"

using Awesomium::JSArray;
using Awesomium::JSValue;
using Awesomium::WebString;

static WebString from_utf8(const std::string &s)
{
    return WebString::CreateFromUTF8(s.data(), (unsigned int)s.size());
}

static void expect(bool ok)
{
    if (!ok)
        abort();
}

// ECMAScript ToInt32 by another road than the product's: exact in 64 bits below 2^63.
static bool int32_matches(double d, int got)
{
    if (!isfinite(d))
        return got == 0;
    double t = trunc(d);
    if (fabs(t) >= 9.2e18)
        return true;
    return got == (int32_t)(uint32_t)(uint64_t)(int64_t)t;
}

// Same double, or both NaN.
static bool same_number(double a, double b)
{
    return (isnan(a) && isnan(b)) || a == b;
}

// The UTF-8 form of a text and any prefix of it that a bounded buffer takes.
static void check_text(const WebString &text, unsigned int cut)
{
    std::string whole = web_string_to_utf8(text);
    expect(whole.size() == text.ToUTF8(nullptr, 0));
    // Texts made from UTF-8 hold no lone surrogates, so they come back unchanged.
    expect(from_utf8(whole) == text);
    cut = whole.empty() ? 0 : cut % (unsigned int)whole.size();
    std::string part(cut + 1, '\x7f');
    unsigned int written = text.ToUTF8(&part[0], cut);
    expect(written <= cut && part[cut] == '\x7f');
    expect(whole.compare(0, written, part, 0, written) == 0);
    expect(written + 4 > cut);  // only a code point that does not fit whole is left out
}

// One value as the page gave it, then the program's own values made from its parts.
static void check_value(const JSValue &v, unsigned int cut)
{
    double number = v.ToDouble();
    int integer = v.ToInteger();
    expect(int32_matches(number, integer));
    (void)v.ToBoolean();
    check_text(v.ToString(), cut);

    // Text to number: ECMAScript's StringToNumber, whatever the text.
    JSValue from_text(v.ToString());
    expect(int32_matches(from_text.ToDouble(), from_text.ToInteger()));

    // Number to text and back: the shortest text that reads back as the same number.
    JSValue from_number(number);
    JSValue reread(from_number.ToString());
    expect(same_number(reread.ToDouble(), number));
    expect(int32_matches(number, from_number.ToInteger()));

    JSValue from_integer(integer);
    expect(from_integer.ToInteger() == integer);
    expect(JSValue(from_integer.ToString()).ToInteger() == integer);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    config_defaults();
    MediaControl = new (av_mallocz(sizeof(MediaControlBlock))) MediaControlBlock();
    MediaControl->pig_w = PlayerConfig.video_w;
    MediaControl->pig_h = PlayerConfig.video_h;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zandoro_wire::Reader r((const char *)data, size);
    uint32_t seq = r.u32();
    r.u32();  // the object id: the handler does not read it
    WebString method = from_utf8(r.text());
    uint32_t count = r.u32();
    JSArray args;
    for (uint32_t i = 0; i < count && r.ok(); i++) {
        zandoro_wire::Value w = r.value();
        JSValue::Kind kind = w.kind <= JSValue::kArray ? (JSValue::Kind)w.kind : JSValue::kUndefined;
        args.Push(JSValue::FromPage(kind, w.number, from_utf8(w.text)));
    }
    if (!r.ok())
        return 0;

    if (seq == 0) {
        js_method_call(method, args);
    } else {
        JSValue result = js_method_call_with_result(method, args);
        expect(result.IsString() || result.IsBoolean() || result.IsInteger());
    }
    expect(memchr(MediaControl->pending_url, 0, sizeof MediaControl->pending_url) != nullptr);

    for (unsigned int i = 0; i < args.size(); i++)
        check_value(args[i], seq + i);
    check_value(JSValue(args), seq);  // the arguments as one array value
    return 0;
}
