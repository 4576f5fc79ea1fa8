// The web-view layer's value types, which need no display: strings and their UTF-8
// conversions, URLs, script values and key identifiers.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/awesomium/awesomium.h"
#include "shell/web_host.h"

using namespace Awesomium;

static WebString utf8(const std::string &s)
{
    return WebString::CreateFromUTF8(s.data(), (unsigned int)s.size());
}

static std::u16string units(const WebString &s)
{
    return std::u16string(s.data(), s.length());
}

TEST(WebString, Utf8DecodesToUtf16AndBack)
{
    struct Case {
        std::string bytes;
        std::u16string units;
    } cases[] = {
        {"", u""},
        {"Zandoro", u"Zandoro"},
        {"\xC3\xA9", u"\u00E9"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a surrogate pair
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"\xEF\xBF\xBF", u"\uFFFF"},
    };
    for (const Case &c : cases) {
        WebString s = utf8(c.bytes);
        EXPECT_EQ(units(s), c.units) << c.bytes;
        EXPECT_EQ(s.IsEmpty(), c.bytes.empty());
        EXPECT_EQ(web_string_to_utf8(s), c.bytes);
        EXPECT_EQ(s.ToUTF8(nullptr, 0), c.bytes.size());
    }
}

TEST(WebString, MalformedUtf8BecomesReplacementCharacters)
{
    struct Case {
        std::string bytes;
        std::u16string units;
    } cases[] = {
        {"\xC3", u"\uFFFD"},                  // truncated at the end
        {"\xC3(", u"\uFFFD("},                // truncated before an ASCII byte
        {"\x80", u"\uFFFD"},                  // stray continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},        // overlong "/"
        {"\xE0\x80\xAF", u"\uFFFD"},          // overlong in three bytes
        {"\xED\xA0\x80", u"\uFFFD"},          // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"},      // above U+10FFFF
        {"\xFF" "a", u"\uFFFDa"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(units(utf8(c.bytes)), c.units) << testing::PrintToString(c.bytes);
}

TEST(WebString, ToUtf8WritesOnlyWholeCharactersThatFit)
{
    WebString s = utf8("a\xE2\x82\xAC" "b");  // a, euro sign, b
    char buf[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(s.ToUTF8(buf, 2), 1u);  // the euro sign's three bytes do not fit
    EXPECT_EQ(std::string(buf, 2), "ax");
    EXPECT_EQ(s.ToUTF8(buf, 5), 5u);
    EXPECT_EQ(std::string(buf, 5), "a\xE2\x82\xAC" "b");

    const wchar16 lone[] = {'x', 0xD800, 'y'};
    EXPECT_EQ(web_string_to_utf8(WebString(lone, 3)), "x\xEF\xBF\xBDy");
}

TEST(WebString, HostConversionsRoundTripNonAsciiText)
{
    const char *text = "Chaîne télé \xE2\x9C\x93 \xF0\x9F\x93\xBA";
    WebString s = web_string_from_utf8(text);
    EXPECT_EQ(s.ToUTF8(nullptr, 0), strlen(text));
    EXPECT_EQ(web_string_to_utf8(s), text);
    EXPECT_TRUE(s == web_string_from_utf8(text));
    EXPECT_FALSE(s == web_string_from_utf8("Chaine"));

    WebString empty = web_string_from_utf8("");
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(web_string_to_utf8(empty), "");
}

TEST(WebURL, HostAndFilename)
{
    struct Case {
        const char *url, *host, *filename;
        bool valid;
    } cases[] = {
        {"http://127.0.0.1:8080/portal/index.html", "127.0.0.1", "index.html", true},
        {"http://Portal.Example.NET/", "portal.example.net", "", true},
        {"http://portal", "portal", "", true},
        {"https://user:pw@tv.example:443/a/b.js?x=/y#top/z", "tv.example", "b.js", true},
        {"http://[::1]:8080/app.html", "[::1]", "app.html", true},
        {"file:///home/viewer/portal.html", "", "portal.html", true},
        {"about:blank", "", "blank", true},
        {"", "", "", false},
        {"not a url", "", "", false},
        {"/portal/index.html", "", "", false},
    };
    for (const Case &c : cases) {
        WebURL url(utf8(c.url));
        EXPECT_EQ(url.IsValid(), c.valid) << c.url;
        EXPECT_EQ(web_string_to_utf8(url.host()), c.host) << c.url;
        EXPECT_EQ(web_string_to_utf8(url.filename()), c.filename) << c.url;
        EXPECT_EQ(web_string_to_utf8(url.spec()), c.url);
    }
    WebURL full(utf8("https://user:pw@tv.example:443/a/b.js?x=/y#top/z"));
    EXPECT_EQ(web_string_to_utf8(full.scheme()), "https");
    EXPECT_EQ(web_string_to_utf8(full.username()), "user");
    EXPECT_EQ(web_string_to_utf8(full.password()), "pw");
    EXPECT_EQ(web_string_to_utf8(full.port()), "443");
    EXPECT_EQ(web_string_to_utf8(full.path()), "/a/b.js");
    EXPECT_EQ(web_string_to_utf8(full.query()), "x=/y");
    EXPECT_EQ(web_string_to_utf8(full.anchor()), "top/z");
}

TEST(JSValue, ConvertsAsJavaScriptDoes)
{
    JSArray mixed;
    mixed.Push(JSValue(1));
    mixed.Push(JSValue(utf8("a")));
    mixed.Push(JSValue());
    mixed.Push(JSValue::Null());
    JSArray seven;
    seven.Push(JSValue(7));
    struct Case {
        JSValue value;
        const char *text;
        int integer;
        bool truth;
    } cases[] = {
        {JSValue(), "undefined", 0, false},
        {JSValue::Null(), "null", 0, false},
        {JSValue(true), "true", 1, true},
        {JSValue(false), "false", 0, false},
        {JSValue(42), "42", 42, true},
        {JSValue(-7), "-7", -7, true},
        {JSValue(1.5), "1.5", 1, true},
        {JSValue(-1.5), "-1.5", -1, true},
        {JSValue(0.1), "0.1", 0, true},
        {JSValue(0.000001), "0.000001", 0, true},
        {JSValue(1e-7), "1e-7", 0, true},
        {JSValue(1e21), "1e+21", -559939584, true},
        {JSValue(123456789012.0), "123456789012", -1097262572, true},
        {JSValue(2147483648.0), "2147483648", -2147483647 - 1, true},
        {JSValue(-2147483649.0), "-2147483649", 2147483647, true},
        {JSValue(4294967296.0), "4294967296", 0, true},
        {JSValue((double)NAN), "NaN", 0, false},
        {JSValue((double)INFINITY), "Infinity", 0, true},
        {JSValue(utf8(" 12 ")), " 12 ", 12, true},
        {JSValue(utf8("0x1F")), "0x1F", 31, true},
        {JSValue(utf8("1e3")), "1e3", 1000, true},
        {JSValue(utf8("3.9")), "3.9", 3, true},
        {JSValue(utf8("-0x10")), "-0x10", 0, true},
        {JSValue(utf8("12px")), "12px", 0, true},
        {JSValue(utf8("")), "", 0, false},
        {JSValue(mixed), "1,a,,", 0, true},
        {JSValue(seven), "7", 7, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(web_string_to_utf8(c.value.ToString()), c.text);
        EXPECT_EQ(c.value.ToInteger(), c.integer) << c.text;
        EXPECT_EQ(c.value.ToBoolean(), c.truth) << c.text;
    }
}

TEST(JSArray, ReadingPastTheEndGivesUndefined)
{
    JSArray args;
    args.Push(JSValue(utf8("FULL")));
    const JSArray &read_only = args;
    EXPECT_TRUE(read_only[0].IsString());
    EXPECT_TRUE(read_only[1].IsUndefined());
    EXPECT_TRUE(read_only[1000000].IsUndefined());
    EXPECT_EQ(read_only[3].ToInteger(), 0);
    EXPECT_EQ(web_string_to_utf8(read_only[3].ToString()), "undefined");

    args[5] = JSValue(9);  // a write past the end goes nowhere
    EXPECT_EQ(args.size(), 1u);
    EXPECT_TRUE(args[5].IsUndefined());
}

TEST(JSObject, AnObjectOfNoViewRefusesMembers)
{
    JSValue number(3);
    JSObject &object = number.ToObject();
    EXPECT_EQ(object.remote_id(), 0u);
    object.SetProperty(utf8("a"), JSValue(1));
    EXPECT_EQ(object.last_error(), kError_ObjectGone);
    object.SetCustomMethod(utf8("f"), false);
    EXPECT_EQ(object.last_error(), kError_ObjectGone);
}

TEST(KeyIdentifier, DomIdentifiersOfVirtualKeys)
{
    struct Case {
        int code;
        const char *identifier;
    } cases[] = {
        {65, "U+0041"}, {90, "U+005A"}, {48, "U+0030"}, {32, "U+0020"}, {8, "U+0008"},
        {9, "U+0009"},  {27, "U+001B"}, {46, "U+007F"}, {13, "Enter"},  {37, "Left"},
        {38, "Up"},     {39, "Right"},  {40, "Down"},   {33, "PageUp"}, {34, "PageDown"},
        {36, "Home"},   {35, "End"},    {45, "Insert"}, {112, "F1"},    {123, "F12"},
        {135, "F24"},   {91, "Win"},    {92, "Win"},    {160, "Shift"}, {163, "Control"},
        {164, "Alt"},   {186, "U+00BA"}, {96, "U+0060"}, {0, "U+0000"},
    };
    for (const Case &c : cases) {
        char buffer[20];
        memset(buffer, 'x', sizeof buffer);
        char *p = buffer;
        GetKeyIdentifierFromVirtualKeyCode(c.code, &p);
        EXPECT_STREQ(buffer, c.identifier) << c.code;
    }
}
