// The web-view layer over the real engine, under X: pages served from loopback paint
// into the surface, call the program's methods and receive injected input.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/awesomium/awesomium.h"
#include "shell/web_host.h"
#include "tests/support/capture.h"
#include "tests/support/http_server.h"
#include "tests/support/web_pump.h"

using namespace Awesomium;

static WebString text(const std::string &s)
{
    return WebString::CreateFromUTF8(s.data(), (unsigned int)s.size());
}

// Every report of the view, as text, in the order it came. Each checks that it came
// from inside Update, where the layer promises to make every call.
class Recorder : public WebViewListener::View,
                 public WebViewListener::Load,
                 public WebViewListener::Process,
                 public JSMethodHandler {
public:
    std::vector<std::string> log;
    std::vector<JSArray> call_args;
    std::vector<unsigned int> call_objects;
    std::function<JSValue(const std::string &)> answer = [](const std::string &) { return JSValue(); };
    bool in_update = false;
    int calls_outside_update = 0;

    void note(const std::string &line)
    {
        if (!in_update)
            calls_outside_update++;
        log.push_back(line);
    }
    bool saw(const std::string &line) const
    {
        for (const std::string &l : log)
            if (l == line)
                return true;
        return false;
    }
    // The arguments of the calls of one method, each as "kind:text".
    std::vector<std::string> calls(const std::string &method) const
    {
        std::vector<std::string> out;
        for (size_t i = 0; i < log.size(); i++) {
            if (log[i] != "call " + method)
                continue;
            std::string line;
            size_t k = call_index(i);
            for (unsigned int a = 0; a < call_args[k].size(); a++)
                line += (a ? " " : "") + std::to_string(call_args[k][a].kind()) + ":" +
                        web_string_to_utf8(call_args[k][a].ToString());
            out.push_back(line);
        }
        return out;
    }

    void OnChangeTitle(WebView *, const WebString &t) override { note("title " + web_string_to_utf8(t)); }
    void OnChangeAddressBar(WebView *, const WebURL &u) override { note("address " + web_string_to_utf8(u.spec())); }
    void OnChangeTooltip(WebView *, const WebString &) override { note("tooltip"); }
    void OnChangeTargetURL(WebView *, const WebURL &u) override { note("target " + web_string_to_utf8(u.spec())); }
    void OnChangeCursor(WebView *, Cursor) override { note("cursor"); }
    void OnChangeFocus(WebView *, FocusedElementType) override { note("focus"); }
    void OnAddConsoleMessage(WebView *, const WebString &m, int line, const WebString &source) override
    {
        note("console " + web_string_to_utf8(source) + ":" + std::to_string(line) + " " + web_string_to_utf8(m));
    }
    void OnShowCreatedWebView(WebView *, WebView *, const WebURL &, const WebURL &, const Rect &, bool) override
    {
        note("created view");
    }
    void OnBeginLoadingFrame(WebView *, int64, bool, const WebURL &, bool) override { note("begin"); }
    void OnFailLoadingFrame(WebView *, int64, bool, const WebURL &, int, const WebString &) override { note("fail"); }
    void OnFinishLoadingFrame(WebView *, int64, bool, const WebURL &) override { note("finish"); }
    void OnDocumentReady(WebView *, const WebURL &) override { note("ready"); }
    void OnUnresponsive(WebView *) override { note("unresponsive"); }
    void OnResponsive(WebView *) override { note("responsive"); }
    void OnCrashed(WebView *, TerminationStatus) override { note("crashed"); }
    void OnMethodCall(WebView *, unsigned int object, const WebString &method, const JSArray &args) override
    {
        note("call " + web_string_to_utf8(method));
        call_args.push_back(args);
        call_objects.push_back(object);
    }
    JSValue OnMethodCallWithReturnValue(WebView *, unsigned int object, const WebString &method,
                                        const JSArray &args) override
    {
        note("call " + web_string_to_utf8(method));
        call_args.push_back(args);
        call_objects.push_back(object);
        return answer(web_string_to_utf8(method));
    }

private:
    size_t call_index(size_t log_index) const
    {
        size_t k = 0;
        for (size_t i = 0; i < log_index; i++)
            if (log[i].compare(0, 5, "call ") == 0)
                k++;
        return k;
    }
};

class WebViewTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.start());
        core_ = web_test_core(config_);
        if (!core_)
            GTEST_SKIP() << "no X display to run the web engine on";
    }
    void TearDown() override { WebCore::Shutdown(); }

    // A view with the recorder in every role, and the global object "T" with the
    // given methods (name, has a result).
    WebView *make_view(const std::vector<std::pair<std::string, bool>> &methods = {})
    {
        WebView *view = core_->CreateWebView(width_, height_, nullptr, kWebViewType_Offscreen);
        view->set_view_listener(&rec_);
        view->set_load_listener(&rec_);
        view->set_process_listener(&rec_);
        view->set_js_method_handler(&rec_);
        if (!methods.empty()) {
            JSValue object = view->CreateGlobalJavascriptObject(text("T"));
            EXPECT_EQ(view->last_error(), kError_None);
            object_ = object.ToObject();
            for (const auto &m : methods)
                object_.SetCustomMethod(text(m.first), m.second);
        }
        return view;
    }
    void load(WebView *view, const std::string &page)
    {
        server_.set_page("/page.html", "text/html; charset=utf-8", page);
        view->LoadURL(WebURL(text(server_.url("/page.html"))));
    }
    bool pump_until(const std::function<bool()> &done, int timeout_ms = test_deadline_ms)
    {
        for (int waited = 0; !done(); waited += 5) {
            if (waited > timeout_ms)
                return false;
            rec_.in_update = true;
            core_->Update();
            rec_.in_update = false;
            usleep(5000);
        }
        return true;
    }
    void pump_for(int ms)
    {
        pump_until([] { return false; }, ms);
    }

    WebConfig config_;
    LoopbackHttpServer server_;
    WebCore *core_ = nullptr;
    Recorder rec_;
    JSObject object_;
    int width_ = 320, height_ = 240;
};

// ---- surface ----

static const unsigned char *pixel(BitmapSurface *s, int x, int y)
{
    return s->buffer() + y * s->row_span() + x * 4;
}

static std::string bgra(BitmapSurface *s, int x, int y)
{
    const unsigned char *p = pixel(s, x, y);
    char out[16];
    snprintf(out, sizeof out, "%02X %02X %02X %02X", p[0], p[1], p[2], p[3]);
    return out;
}

static const char boxes_page[] =
    "<html><body style='margin:0'>"
    "<div style='position:absolute;left:0;top:0;width:40px;height:40px;background:rgb(240,72,224)'></div>"
    "<div style='position:absolute;left:60px;top:0;width:40px;height:40px;background:rgba(255,0,255,0.4)'></div>"
    "<div style='position:absolute;left:120px;top:0;width:40px;height:40px;background:rgba(0,255,0,0.8)'></div>"
    "<div id=c style='position:absolute;left:180px;top:0;width:40px;height:40px;background:rgb(16,32,64)'></div>"
    "</body></html>";

TEST_F(WebViewTest, SurfaceHoldsStraightBgraOfThePage)
{
    WebView *view = make_view();
    EXPECT_EQ(view->surface(), nullptr);  // nothing painted yet
    load(view, boxes_page);
    ASSERT_TRUE(pump_until([&] {
        return rec_.saw("finish") && view->surface() && bgra(view->surface(), 10, 10) == "E0 48 F0 FF";
    }));
    BitmapSurface *s = view->surface();
    EXPECT_EQ(s->width(), width_);
    EXPECT_EQ(s->height(), height_);
    EXPECT_EQ(s->row_span(), width_ * 4);
    EXPECT_EQ(bgra(s, 10, 10), "E0 48 F0 FF");   // the key colour, exact
    EXPECT_EQ(bgra(s, 70, 39), "FF 00 FF 66");   // 40 % magenta, not premultiplied
    EXPECT_EQ(bgra(s, 130, 20), "00 FF 00 CC");  // 80 % green
    EXPECT_EQ(bgra(s, 219, 0), "40 20 10 FF");
    EXPECT_EQ(bgra(s, 300, 200), "00 00 00 00");  // nothing painted: transparent
    EXPECT_EQ(view->surface(), s);
    EXPECT_EQ(rec_.calls_outside_update, 0);
}

TEST_F(WebViewTest, DirtyFlagRisesOnlyWhenThePagePaints)
{
    WebView *view = make_view();
    load(view, boxes_page);
    ASSERT_TRUE(pump_until([&] { return rec_.saw("finish") && view->surface(); }));
    BitmapSurface *s = view->surface();
    // Once the load's last paints are in, a still page leaves the flag down.
    bool still = false;
    for (int i = 0; i < 20 && !still; i++) {
        s->set_is_dirty(false);
        pump_for(400);
        still = !s->is_dirty();
    }
    EXPECT_TRUE(still) << "a still page must not mark the surface";

    view->ExecuteJavascript(text("document.getElementById('c').style.background = 'rgb(1,2,3)'"), WebString());
    ASSERT_TRUE(pump_until([&] { return s->is_dirty(); }));
    ASSERT_TRUE(pump_until([&] { return bgra(s, 200, 20) == "03 02 01 FF"; }));
    s->set_is_dirty(false);
    pump_for(300);
    EXPECT_FALSE(s->is_dirty());
}

// ---- global object and method calls ----

TEST_F(WebViewTest, VoidCallsArriveInOrderWithTheirArguments)
{
    WebView *view = make_view({{"put", false}});
    object_.SetProperty(text("version"), JSValue(text("0.1")));
    EXPECT_EQ(object_.last_error(), kError_None);
    load(view,
         "<script>"
         "T.put('a', 1);"
         "T.put('\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80', -5, 2.5, 2147483648);"
         "T.put();"
         "T.put(true, null, undefined, {}, [1, 2], '12');"
         "T.put(typeof T.version, T.version, typeof T.put);"
         "T.put('done');"
         "</script>");
    ASSERT_TRUE(pump_until([&] { return rec_.calls("put").size() == 6; }));
    std::vector<std::string> calls = rec_.calls("put");
    EXPECT_EQ(calls[0], "5:a 3:1");
    EXPECT_EQ(calls[1], "5:\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 3:-5 4:2.5 4:2147483648");
    EXPECT_EQ(calls[2], "");
    EXPECT_EQ(calls[3], "2:true 1:null 0:undefined 6:[object Object] 7:1,2 5:12");
    EXPECT_EQ(calls[4], "5:string 5:0.1 5:function");

    // Conversions of what the page passed, and positions it did not pass.
    const JSArray &second = rec_.call_args[1];
    EXPECT_EQ(second[1].ToInteger(), -5);
    EXPECT_EQ(second[2].ToInteger(), 2);
    EXPECT_EQ(second[3].ToInteger(), -2147483647 - 1);
    EXPECT_TRUE(rec_.call_args[2][0].IsUndefined());
    EXPECT_EQ(rec_.call_args[2][3].ToInteger(), 0);
    EXPECT_EQ(rec_.call_args[3][5].ToInteger(), 12);
    EXPECT_EQ(rec_.call_args[3][4].ToInteger(), 0);  // Number([1, 2]) is NaN
    for (unsigned int object : rec_.call_objects)
        EXPECT_EQ(object, object_.remote_id());
    EXPECT_EQ(rec_.calls_outside_update, 0);
}

TEST_F(WebViewTest, CallsWithResultGetTheProgramsAnswer)
{
    WebView *view = make_view({{"getText", true}, {"getFlag", true}, {"getNumber", true},
                               {"getNothing", true}, {"put", false}});
    rec_.answer = [](const std::string &method) {
        if (method == "getText")
            return JSValue(text("h\xC3\xA9llo \xE2\x9C\x93"));
        if (method == "getFlag")
            return JSValue(true);
        if (method == "getNumber")
            return JSValue(-42);
        return JSValue();
    };
    load(view,
         "<script>"
         "var a = T.getText('ignored', 1), b = T.getFlag(), c = T.getNumber(), d = T.getNothing();"
         "T.put(typeof a, a, a.length, typeof b, b, typeof c, c, typeof d);"
         "</script>");
    ASSERT_TRUE(pump_until([&] { return rec_.calls("put").size() == 1; }));
    EXPECT_EQ(rec_.calls("put")[0], "5:string 5:h\xC3\xA9llo \xE2\x9C\x93 3:7 5:boolean 2:true 5:number 3:-42 5:undefined");
    EXPECT_EQ(rec_.calls("getText")[0], "5:ignored 3:1");
    EXPECT_EQ(rec_.calls_outside_update, 0);
}

class WebViewShortTimeoutTest : public WebViewTest {
protected:
    void SetUp() override
    {
        config_.js_result_timeout_ms = 300;
        WebViewTest::SetUp();
    }
};

TEST_F(WebViewShortTimeoutTest, AStalledProgramDoesNotHoldThePage)
{
    WebView *view = make_view({{"slow", true}, {"fast", true}, {"put", false}});
    rec_.answer = [](const std::string &method) {
        if (method == "slow") {
            usleep(800 * 1000);  // much longer than the page waits
            return JSValue(text("late"));
        }
        return JSValue(text("fast"));
    };
    load(view,
         "<script>"
         "var t0 = Date.now(); var a = T.slow(); var waited = Date.now() - t0;"
         "while (Date.now() - t0 < 1200) {}"  // until the program is back
         // Were it still busy (a loaded machine), this call would go unanswered too: ask again.
         "var b; do { b = T.fast(); } while (b === undefined && Date.now() - t0 < 60000);"
         "T.put(String(a), String(b), waited < 2000 ? 'bounded' : 'too long');"
         "</script>");
    ASSERT_TRUE(pump_until([&] { return rec_.calls("put").size() == 1; }));
    // The late answer to the first call must not be taken for the second's.
    EXPECT_EQ(rec_.calls("put")[0], "5:undefined 5:fast 5:bounded");
}

TEST_F(WebViewTest, GlobalObjectNamesMustBeIdentifiers)
{
    WebView *view = make_view();
    struct Case {
        const char *name;
        Error error;
    } cases[] = {
        {"", kError_BadParameter}, {"1abc", kError_BadParameter}, {"a.b", kError_BadParameter},
        {"Zandoro", kError_None},  {"_x$1", kError_None},
    };
    for (const Case &c : cases) {
        JSValue v = view->CreateGlobalJavascriptObject(text(c.name));
        EXPECT_EQ(view->last_error(), c.error) << c.name;
        EXPECT_EQ(v.IsObject(), c.error == kError_None);
    }
    JSValue again = view->CreateGlobalJavascriptObject(text("Zandoro"));
    JSValue first = view->CreateGlobalJavascriptObject(text("Zandoro"));
    EXPECT_EQ(again.ToObject().remote_id(), first.ToObject().remote_id());
    JSObject object = first.ToObject();
    object.SetProperty(WebString(), JSValue(1));
    EXPECT_EQ(object.last_error(), kError_BadParameter);
    object.SetCustomMethod(WebString(), false);
    EXPECT_EQ(object.last_error(), kError_BadParameter);

    view->Destroy();
    object.SetProperty(text("late"), JSValue(1));
    EXPECT_EQ(object.last_error(), kError_ObjectGone);
}

TEST(WebViewWithoutHelper, GlobalObjectFailsWhenThePageSideHelperIsMissing)
{
    web_test_environment();
    char dir[] = "/tmp/zandoro-nohelper-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("ZANDORO_WEBEXT_DIR", dir, 1);
    WebCore *core = WebCore::Initialize(WebConfig());
    if (!core) {
        rmdir(dir);
        GTEST_SKIP() << "no X display to run the web engine on";
    }
    WebView *view = core->CreateWebView(64, 64, nullptr, kWebViewType_Offscreen);
    view->CreateGlobalJavascriptObject(text("Zandoro"));
    EXPECT_NE(view->last_error(), kError_None);
    WebCore::Shutdown();
    rmdir(dir);
}

// ---- input ----

static const char input_page[] =
    "<html><body style='margin:0;width:320px;height:240px'>"
    "<a href='/elsewhere.html' style='position:absolute;left:200px;top:200px;display:block;width:60px;height:30px'>"
    "link</a>"
    "<input id=box style='position:absolute;left:0;top:150px;width:100px'>"
    "<script>"
    "['mousedown', 'mouseup', 'click'].forEach(function (type) {"
    "  document.addEventListener(type, function (e) { T.put(type, e.clientX, e.clientY, e.button); });"
    "});"
    "document.addEventListener('keydown', function (e) { T.put('keydown', e.key, e.keyCode, e.shiftKey); });"
    "document.addEventListener('keypress', function (e) { T.put('keypress', e.key, e.charCode); });"
    "document.addEventListener('keyup', function (e) { T.put('keyup', e.key, e.keyCode); });"
    "document.getElementById('box').addEventListener('input', function (e) { T.put('value', e.target.value); });"
    "</script></body></html>";

static WebKeyboardEvent key(WebKeyboardEvent::Type type, int vk, wchar16 c, int modifiers = 0)
{
    WebKeyboardEvent e;
    e.type = type;
    e.virtual_key_code = vk;
    e.native_key_code = type == WebKeyboardEvent::kTypeChar ? c : 0;
    e.modifiers = modifiers;
    e.text[0] = e.unmodified_text[0] = c;
    char identifier[20];
    char *p = identifier;
    GetKeyIdentifierFromVirtualKeyCode(vk, &p);
    memcpy(e.key_identifier, identifier, sizeof identifier);
    return e;
}

// A key as a Windows program sends it: key down, the character it typed (if any), key up.
static void type_key(WebView *view, int vk, wchar16 c, int modifiers = 0)
{
    view->InjectKeyboardEvent(key(WebKeyboardEvent::kTypeKeyDown, vk, c, modifiers));
    if (c)
        view->InjectKeyboardEvent(key(WebKeyboardEvent::kTypeChar, c, c, modifiers));
    view->InjectKeyboardEvent(key(WebKeyboardEvent::kTypeKeyUp, vk, 0, modifiers));
}

TEST_F(WebViewTest, InjectedClickReachesThePageAtItsPosition)
{
    WebView *view = make_view({{"put", false}});
    load(view, input_page);
    ASSERT_TRUE(pump_until([&] { return rec_.saw("finish") && view->surface(); }));
    view->InjectMouseMove(30, 40);
    view->InjectMouseDown(kMouseButton_Left);
    view->InjectMouseMove(30, 40);
    view->InjectMouseUp(kMouseButton_Left);
    ASSERT_TRUE(pump_until([&] { return rec_.calls("put").size() >= 3; }));
    std::vector<std::string> calls = rec_.calls("put");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], "5:mousedown 3:30 3:40 3:0");
    EXPECT_EQ(calls[1], "5:mouseup 3:30 3:40 3:0");
    EXPECT_EQ(calls[2], "5:click 3:30 3:40 3:0");
}

TEST_F(WebViewTest, HoveringALinkReportsItsUrlAndLeavingItReportsNone)
{
    WebView *view = make_view({{"put", false}});
    load(view, input_page);
    ASSERT_TRUE(pump_until([&] { return rec_.saw("finish") && view->surface(); }));
    view->InjectMouseMove(205, 205);
    ASSERT_TRUE(pump_until([&] { return rec_.saw("target " + server_.url("/elsewhere.html")); }));
    view->InjectMouseMove(10, 10);
    ASSERT_TRUE(pump_until([&] { return rec_.saw("target "); }));
}

TEST_F(WebViewTest, TypedKeysReachThePage)
{
    WebView *view = make_view({{"put", false}});
    load(view, input_page);
    ASSERT_TRUE(pump_until([&] { return rec_.saw("finish") && view->surface(); }));
    view->Focus();
    type_key(view, 65, 'a');
    type_key(view, 13, 13);
    type_key(view, 112, 0);                                     // F1 types nothing
    type_key(view, 49, '!', WebKeyboardEvent::kModShiftKey);    // shift+1
    ASSERT_TRUE(pump_until([&] { return rec_.calls("put").size() >= 10; }));
    pump_for(200);
    std::vector<std::string> expected = {
        "5:keydown 5:a 3:65 2:false", "5:keypress 5:a 3:97",   "5:keyup 5:a 3:65",
        "5:keydown 5:Enter 3:13 2:false", "5:keypress 5:Enter 3:13", "5:keyup 5:Enter 3:13",
        "5:keydown 5:F1 3:112 2:false", "5:keyup 5:F1 3:112",
        "5:keydown 5:! 3:49 2:true", "5:keypress 5:! 3:33",
    };
    std::vector<std::string> calls = rec_.calls("put");
    calls.resize(expected.size());
    EXPECT_EQ(calls, expected);
}

TEST_F(WebViewTest, TypedTextOutsideAsciiReachesAnInput)
{
    WebView *view = make_view({{"put", false}});
    load(view, input_page);
    ASSERT_TRUE(pump_until([&] { return rec_.saw("finish") && view->surface(); }));
    view->InjectMouseMove(10, 155);  // click into the input
    view->InjectMouseDown(kMouseButton_Left);
    view->InjectMouseUp(kMouseButton_Left);
    type_key(view, 72, 'h');
    type_key(view, 0, 0x00E9);  // a key with no virtual-key code types "é"
    type_key(view, 0, 0x20AC);
    EXPECT_TRUE(pump_until([&] { return !rec_.calls("put").empty() &&
                                        rec_.calls("put").back() == "5:value 5:h\xC3\xA9\xE2\x82\xAC"; }))
        << testing::PrintToString(rec_.calls("put"));
}

// Whatever the page does with the focus, each key typed afterwards reaches it: tabbing
// past the last or the first element, removing the focused field, clicking into a
// frame. Each step of a case goes as keys or a click; the page and its frame log the
// key downs they see, and the case then types 50 letters.
struct FocusStep {
    enum { tab, shift_tab, remove_field, click_frame } what;
};
struct FocusCase {
    const char *name;
    std::vector<FocusStep> steps;
};
const FocusCase focus_cases[] = {
    {"TabPastTheLastElement",
     {{FocusStep::tab}, {FocusStep::tab}, {FocusStep::tab}, {FocusStep::tab}}},
    {"ShiftTabPastTheFirstElement", {{FocusStep::shift_tab}, {FocusStep::shift_tab}, {FocusStep::shift_tab}}},
    {"FocusedFieldRemoved", {{FocusStep::tab}, {FocusStep::remove_field}}},
    {"ClickIntoAFrame", {{FocusStep::click_frame}}},
};

void PrintTo(const FocusCase &c, std::ostream *os)
{
    *os << c.name;
}

class WebViewFocusTest : public WebViewTest, public testing::WithParamInterface<FocusCase> {};

TEST_P(WebViewFocusTest, EveryKeyReachesThePageWhereverItsFocusWent)
{
    const FocusCase &c = GetParam();
    // Two fields; the frame only where it is clicked, as it would take the Tab itself.
    const std::string fields = "<input id=a><input id=b>";
    // The frame is of the page's own origin and passes on what it sees.
    const std::string frame =
        "<iframe style='position:absolute;left:0;top:100px;width:200px;height:100px;border:0'"
        " srcdoc=\"<body style='margin:0;height:100px' onkeydown='parent.seen(event.keyCode)' onmousedown='parent.seen(0)'></body>\">"
        "</iframe>";
    WebView *view = make_view({{"put", false}});
    bool framed = c.steps.front().what == FocusStep::click_frame;
    load(view, "<html><body style='margin:0'>" + (framed ? frame : fields) +
                   "<script>"
                   "function seen(code) { T.put(code); }"
                   "document.addEventListener('keydown', function (e) { seen(e.keyCode); });"
                   "</script></body></html>");
    ASSERT_TRUE(pump_until([&] { return rec_.saw("finish") && view->surface(); }, test_deadline_ms));
    view->Focus();
    // Each step is seen by the page (its key, the removal, the click) before the next.
    size_t before = 0;
    for (const FocusStep &s : c.steps) {
        if (s.what == FocusStep::tab || s.what == FocusStep::shift_tab)
            type_key(view, 9, 9, s.what == FocusStep::shift_tab ? WebKeyboardEvent::kModShiftKey : 0);
        else if (s.what == FocusStep::remove_field)
            view->ExecuteJavascript(text("document.activeElement.remove(); T.put('removed')"), text(""));
        else {
            view->InjectMouseMove(50, 150);
            view->InjectMouseDown(kMouseButton_Left);
            view->InjectMouseUp(kMouseButton_Left);
        }
        before++;
        ASSERT_TRUE(pump_until([&] { return rec_.calls("put").size() >= before; }, test_deadline_ms))
            << "step " << before << " unseen: " << testing::PrintToString(rec_.calls("put"));
    }
    std::vector<std::string> expected;
    for (int i = 0; i < 50; i++) {
        type_key(view, 65 + i % 26, (wchar16)('a' + i % 26));
        expected.push_back("3:" + std::to_string(65 + i % 26));
    }
    auto letters = [&] {
        std::vector<std::string> calls = rec_.calls("put");
        return std::vector<std::string>(calls.begin() + std::min(before, calls.size()), calls.end());
    };
    EXPECT_TRUE(pump_until([&] { return letters().size() >= expected.size(); }, test_deadline_ms));
    pump_for(200);
    EXPECT_EQ(letters(), expected);
}

INSTANTIATE_TEST_SUITE_P(Focus, WebViewFocusTest, testing::ValuesIn(focus_cases),
                         [](const testing::TestParamInfo<FocusCase> &info) { return std::string(info.param.name); });

// Each title the page shows is reported once, in order: also the page's own title that
// its first script replaces at once.
TEST_F(WebViewTest, EveryTitleThePageShowsIsReported)
{
    struct Case {
        const char *page;
        std::vector<std::string> titles;
    } cases[] = {
        {"<html><head><title>probe-start</title></head><body>"
         "<script>document.title = 'probe-done';</script></body></html>",
         {"probe-start", "probe-done"}},
        {"<html><head><title>fixed</title></head><body>text</body></html>", {"fixed"}},
        {"<html><head><title>one</title><script>document.title = 'two';</script></head><body>"
         "<script>document.title = 'three'; document.title = 'three';"
         "setTimeout(function () { document.title = 'four'; document.title = 'four'; }, 30);</script>"
         "</body></html>",
         {"one", "two", "three", "four"}},
        {"<html><body>untitled</body></html>", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.page);
        WebView *view = make_view();
        load(view, c.page);
        auto titles = [&] {
            std::vector<std::string> out;
            for (const std::string &line : rec_.log)
                if (line.compare(0, 6, "title ") == 0)
                    out.push_back(line.substr(6));
            return out;
        };
        EXPECT_TRUE(pump_until([&] {
            return rec_.saw("finish") && titles().size() >= c.titles.size();
        }, test_deadline_ms));
        pump_for(300);
        EXPECT_EQ(titles(), c.titles);
        view->Destroy();
        rec_.log.clear();
    }
}

TEST_F(WebViewTest, AddressBarFollowsCommittedUrlsOnly)
{
    WebView *view = make_view();
    server_.set_page("/next.html", "text/html",
                     "<script>setTimeout(function () { history.pushState(null, '', '/pushed.html'); }, 50);</script>");
    load(view, "<a id=go href='/next.html'>next</a>"
               "<script>setTimeout(function () { document.getElementById('go').click(); }, 50);</script>");
    ASSERT_TRUE(pump_until([&] { return rec_.saw("address " + server_.url("/pushed.html")); }));
    pump_for(200);
    std::vector<std::string> addresses;
    for (const std::string &line : rec_.log)
        if (line.compare(0, 8, "address ") == 0)
            addresses.push_back(line.substr(8));
    std::vector<std::string> expected = {server_.url("/page.html"), server_.url("/next.html"),
                                         server_.url("/pushed.html")};
    EXPECT_EQ(addresses, expected);
}

TEST_F(WebViewTest, BusyPageIsReportedUnresponsiveThenResponsive)
{
    WebView *view = make_view();
    load(view, "<script>document.addEventListener('mousedown', function () {"
               "  var t = Date.now(); while (Date.now() - t < 4500) {}"
               "});</script>");
    ASSERT_TRUE(pump_until([&] { return rec_.saw("finish"); }));
    view->InjectMouseMove(5, 5);
    view->InjectMouseDown(kMouseButton_Left);
    view->InjectMouseUp(kMouseButton_Left);
    ASSERT_TRUE(pump_until([&] { return rec_.saw("responsive"); }));
    std::vector<std::string> process;
    for (const std::string &line : rec_.log)
        if (line == "unresponsive" || line == "responsive")
            process.push_back(line);
    EXPECT_EQ(process, (std::vector<std::string>{"unresponsive", "responsive"}));
}

TEST_F(WebViewTest, FocusDecidesWhetherThePageHasIt)
{
    WebView *view = make_view({{"put", false}});
    load(view, "<script>setInterval(function () { T.put(document.hasFocus()); }, 20);</script>");
    auto last_is = [&](const char *value) {
        std::vector<std::string> calls = rec_.calls("put");
        return !calls.empty() && calls.back() == value;
    };
    ASSERT_TRUE(pump_until([&] { return last_is("2:false"); }));
    view->Focus();
    ASSERT_TRUE(pump_until([&] { return last_is("2:true"); }));
    view->Unfocus();
    ASSERT_TRUE(pump_until([&] { return last_is("2:false"); }));
}

TEST_F(WebViewTest, GlobalObjectFollowsThePageToAnotherSite)
{
    // Another host name is another site: the engine may give it a new page process.
    WebView *view = make_view({{"put", false}});
    std::string other = "http://localhost:" + std::to_string(server_.port()) + "/other.html";
    server_.set_page("/other.html", "text/html", "<script>T.put(location.hostname);</script>");
    load(view, "<script>T.put(location.hostname); location.href = '" + other + "';</script>");
    ASSERT_TRUE(pump_until([&] { return rec_.calls("put").size() == 2; }));
    EXPECT_EQ(rec_.calls("put"), (std::vector<std::string>{"5:127.0.0.1", "5:localhost"}));
}

// ---- what a page may not do ----

static int files_found;
static int count_file(const char *, const struct stat *, int type, struct FTW *)
{
    files_found += type == FTW_F;
    return 0;
}

TEST_F(WebViewTest, PagesCannotSaveDownloads)
{
    // A link with "download", an attachment and a type the engine cannot show: each
    // would otherwise end as a file in the user's directories.
    std::string printed;
    {
        StdoutTap tap;
        WebView *view = make_view({{"put", false}});
        server_.set_page("/blob.bin", "application/octet-stream", std::string(4096, 'x'));
        load(view, "<a id=a href='/blob.bin' download='blob.bin'>x</a><script>"
                   "document.getElementById('a').click();"
                   "setTimeout(function () { location.href = '/blob.bin'; }, 300);"
                   "setTimeout(function () { T.put('still here'); }, 1200);</script>");
        pump_until([&] { return rec_.calls("put").size() == 1; });
        pump_for(500);
        printed = tap.text();
    }
    EXPECT_EQ(rec_.calls("put").size(), 1u);
    EXPECT_NE(printed.find("Download refused: " + server_.url("/blob.bin")), std::string::npos) << printed;
    files_found = 0;
    nftw(getenv("HOME"), count_file, 16, FTW_PHYS);
    EXPECT_EQ(files_found, 0) << "a page saved a file under " << getenv("HOME");
}

TEST_F(WebViewTest, PagesGetNoDevicesNorLocations)
{
    // Camera, microphone, position and notifications are refused without asking.
    WebView *view = make_view({{"put", false}});
    load(view, "<script>"
               "navigator.geolocation.getCurrentPosition("
               "  function () { T.put('position'); }, function (e) { T.put('no position'); });"
               "Notification.requestPermission().then(function (p) { T.put('notify ' + p); });"
               "</script>");
    ASSERT_TRUE(pump_until([&] { return rec_.calls("put").size() == 2; }));
    std::vector<std::string> got = rec_.calls("put");
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"5:no position", "5:notify denied"}));
}

TEST_F(WebViewTest, PagesCannotReadLocalFiles)
{
    // Neither a request nor a navigation from a served page reaches file: URLs.
    WebView *view = make_view({{"put", false}});
    load(view, "<script>"
               "fetch('file:///etc/hostname').then(function (r) { return r.text(); })"
               "  .then(function (t) { T.put('read ' + t); }, function () { T.put('no read'); });"
               "setTimeout(function () { location.href = 'file:///etc/hostname'; }, 200);"
               "setTimeout(function () { T.put('stayed ' + location.protocol); }, 1000);"
               "</script>");
    ASSERT_TRUE(pump_until([&] { return rec_.calls("put").size() == 2; }));
    EXPECT_EQ(rec_.calls("put"), (std::vector<std::string>{"5:no read", "5:stayed http:"}));
    EXPECT_FALSE(rec_.saw("address file:///etc/hostname"));
}
