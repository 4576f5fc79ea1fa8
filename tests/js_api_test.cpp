// The "Zandoro" object through the real web view, under X: a portal served from loopback
// reads every property and calls every method; what the program logs, answers and
// stores in MediaControl and the window state.
#include "shell/js_api.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "engine/media_control.h"
#include "shell/config.h"
#include "shell/js_handler.h"
#include "shell/main_window.h"
#include "shell/web_host.h"
#include "tests/support/capture.h"
#include "tests/support/http_server.h"
#include "tests/support/web_pump.h"

namespace {

using Awesomium::JSArray;
using Awesomium::JSValue;
using Awesomium::WebString;

WebString text(const std::string &s)
{
    return web_string_from_utf8(s.c_str());
}

// The lines of a log that the JavaScript API and the page's console.log wrote, in order:
// the listeners' load lines are left out, and a console line (source:line message) is
// cut to its message, which the pages here start with '#'.
std::string api_lines(const std::string &log)
{
    std::string out;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        std::string line = log.substr(at, end - at);
        at = end + 1;
        size_t hash = line.find(" #");
        if (hash != std::string::npos)
            out += line.substr(hash + 1) + "\n";
        else if (line.compare(0, 6, "media_") == 0 || line.compare(0, 3, "ui_") == 0 ||
                 line.compare(0, 9, "Callback(") == 0)
            out += line + "\n";
    }
    return out;
}

struct Fields {
    int32_t screen_mode, pig_x, pig_y, pig_w, pig_h;
    uint8_t rebuild_scaler, stop_request, fullscreen;
    std::string pending_url;
    bool operator==(const Fields &o) const
    {
        return screen_mode == o.screen_mode && pig_x == o.pig_x && pig_y == o.pig_y && pig_w == o.pig_w &&
               pig_h == o.pig_h && rebuild_scaler == o.rebuild_scaler && stop_request == o.stop_request &&
               fullscreen == o.fullscreen && pending_url == o.pending_url;
    }
};

void PrintTo(const Fields &f, std::ostream *os)
{
    *os << "screen_mode " << f.screen_mode << ", pig " << f.pig_x << " " << f.pig_y << " " << f.pig_w << " "
        << f.pig_h << ", rebuild_scaler " << (int)f.rebuild_scaler << ", stop_request " << (int)f.stop_request
        << ", fullscreen " << (int)f.fullscreen << ", pending_url \"" << f.pending_url << "\"";
}

Fields fields()
{
    MediaControlBlock *m = MediaControl;
    return {m->screen_mode, m->pig_x,        m->pig_y,   m->pig_w,
            m->pig_h,       m->rebuild_scaler, m->stop_request, fullscreen,
            m->pending_url};
}

// No media control thread runs here: what the handler stores stays for the test to see.
class JsApiTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.start());
        config_defaults();
        PlayerConfig.video_w = 320;
        PlayerConfig.video_h = 180;
        if (!web_test_core())
            GTEST_SKIP() << "no X display to run the web engine on";
        Awesomium::WebCore::Shutdown();
        MediaControl = new MediaControlBlock();
        MediaControl->pig_w = PlayerConfig.video_w;
        MediaControl->pig_h = PlayerConfig.video_h;
        fullscreen = 0;
    }
    void TearDown() override
    {
        // Failure messages went to the tapped standard output, among the program's lines.
        if (HasFailure())
            fprintf(stderr, "standard output of the test:\n%s", tap_.text().c_str());
        Awesomium::WebCore::Shutdown();
        web_core = nullptr;
        web_view = nullptr;
        delete MediaControl;
        MediaControl = nullptr;
        fullscreen = 0;
        if (SDL_WasInit(SDL_INIT_VIDEO))
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
        sdl_screen = nullptr;
        view_scale = saved_view_scale = 100;
    }

    // ui_init over a portal page with `script`, and a second global object whose
    // methods the handler does not serve. Returns once the page logged "#loaded".
    void start_portal(const std::string &script)
    {
        server_.set_page("/portal/index.html", "text/html; charset=utf-8",
                         "<html><body><script>\n" + script +
                             "\nconsole.log('#loaded');\n</script></body></html>");
        snprintf(PlayerConfig.portal_url, sizeof PlayerConfig.portal_url, "%s",
                 server_.url("/portal/index.html").c_str());
        ui_init();
        JSValue probe = web_view->CreateGlobalJavascriptObject(text("Probe"));
        ASSERT_EQ(web_view->last_error(), 0);
        probe.ToObject().SetCustomMethod(text("GetSerial"), true);
        probe.ToObject().SetCustomMethod(text("Nothing"), false);
        ASSERT_TRUE(web_pump_until([&] {
            std::string log = tap_.text();
            return log.find(" #loaded\n") != std::string::npos &&
                   log.find("OnFinishLoadingFrame()\n") != std::string::npos;
        })) << tap_.text();
    }

    // Runs a script in the portal, then a marker call, and returns the API's lines in
    // between.
    std::string step(const std::string &script)
    {
        size_t from = tap_.text().size();
        std::string marker = "media_set_subtitles(" + std::to_string(++markers_) + ")\n";
        std::string call = ";\nZandoro.Video_SetSubtitles(" + std::to_string(markers_) + ")";
        web_view->ExecuteJavascript(text(script + call), WebString());
        bool seen = web_pump_until([&] { return tap_.text().find(marker, from) != std::string::npos; });
        std::string log = tap_.text().substr(from);
        EXPECT_TRUE(seen) << script << "\n" << log;
        return api_lines(log.substr(0, log.find(marker)));
    }

    LoopbackHttpServer server_;
    StdoutTap tap_;
    int markers_ = 1000;
};

const char every_member[] = R"(
var Z = Zandoro;
console.log('#keys ' + Object.keys(Z).join(','));
console.log('#props ' + [typeof Z.getVersion, Z.getVersion, Z.Video_SOURCE_16_9, Z.Video_SOURCE_4_3,
                         Z.Video_FULL, Z.Video_PIG].join(' '));
var answers = [Z.System_GetMACAddress(), Z.System_GetIPAddress(), Z.System_GetVersionNumber(),
               Z.System_GetVersionNumber('ignored', 2), Z.Video_GetFullScreen(), Probe.GetSerial()];
console.log('#answers ' + JSON.stringify(answers));
Z.Video_SetAlphaLevel(40);
Z.Video_SetAspectRatio(2);
Z.Video_SetSubtitles(-1);
Z.Video_SetScreenMode(Z.Video_PIG);
Z.Video_SetPigPosition(100, 50, 320, 180);
Z.Video_SetFullScreen(0);
console.log('#now ' + Z.Video_GetFullScreen());
Z.Audio_SetMute(1);
Z.Audio_SetVolume(30);
Probe.Nothing('a', 1);
Z.Media_Play('igmp://239.1.2.3:5000');
Z.Media_Stop();
Z.Render_StartLayout();
)";

TEST_F(JsApiTest, PortalReadsEveryPropertyAndCallsEveryMethod)
{
    start_portal(every_member);
    std::string log = tap_.text();
    EXPECT_EQ(log.find("Finished setting Handlers\n"), 0u) << "bound before the portal loads\n" << log;
    EXPECT_EQ(api_lines(log),
              "#keys getVersion,Video_SOURCE_16_9,Video_SOURCE_4_3,Video_FULL,Video_PIG,"
              "System_GetMACAddress,System_GetIPAddress,System_GetVersionNumber,Video_SetAlphaLevel,"
              "Video_SetAspectRatio,Video_SetSubtitles,Video_SetScreenMode,Video_SetPigPosition,"
              "Video_GetFullScreen,Video_SetFullScreen,Audio_SetMute,Audio_SetVolume,Media_Play,Media_Stop,"
              "Render_StartLayout\n"
              "#props string 0.1 16x9 4x3 FULL PIG\n"
              "ui_get_fullscreen_state(): Returning false\n"
              "Callback(GetSerial,)\n"
              "#answers [\"n/a\",\"n/a\",\"3.1.1\",\"3.1.1\",false,0]\n"
              "media_set_alpha_level(40)\n"
              "media_set_aspect_ratio(2)\n"
              "media_set_subtitles(-1)\n"
              "media_set_screen_mode(1)\n"
              "media_set_pig_pos(100, 50, 320, 180)\n"
              "media_set_fullscreen(0)\n"
              "ui_get_fullscreen_state(): Returning false\n"
              "#now false\n"
              "Callback(Audio_SetMute,)\n"
              "Callback(Audio_SetVolume,)\n"
              "Callback(Nothing,)\n"
              "media_play(igmp://239.1.2.3:5000)\n"
              "#loaded\n");
    Fields expected = {1, 100, 50, 320, 180, 1, 1, 0, "igmp://239.1.2.3:5000"};
    EXPECT_EQ(fields(), expected);
}

TEST_F(JsApiTest, EachCallLogsAndStoresWhatItsMethodSays)
{
    start_portal("");
    struct Step {
        const char *script;
        const char *log;
        void (*change)(Fields &);  // what the step does to the fields
    } steps[] = {
        {"Zandoro.Video_SetScreenMode('PIG')", "media_set_screen_mode(1)\n",
         [](Fields &f) { f.screen_mode = 1, f.rebuild_scaler = 1; }},
        {"Zandoro.Video_SetScreenMode('pig')", "media_set_screen_mode(0)\n",
         [](Fields &f) { f.screen_mode = 0, f.rebuild_scaler = 1; }},
        {"Zandoro.Video_SetScreenMode('PIG'); Zandoro.Video_SetScreenMode('FULL')",
         "media_set_screen_mode(1)\nmedia_set_screen_mode(0)\n",
         [](Fields &f) { f.screen_mode = 0, f.rebuild_scaler = 1; }},
        {"Zandoro.Video_SetScreenMode('PIG'); Zandoro.Video_SetScreenMode('')",
         "media_set_screen_mode(1)\nmedia_set_screen_mode(0)\n",
         [](Fields &f) { f.screen_mode = 0, f.rebuild_scaler = 1; }},
        {"Zandoro.Video_SetScreenMode('PIG'); Zandoro.Video_SetScreenMode(1)",
         "media_set_screen_mode(1)\nmedia_set_screen_mode(0)\n",
         [](Fields &f) { f.screen_mode = 0, f.rebuild_scaler = 1; }},
        {"Zandoro.Video_SetScreenMode('PIG'); Zandoro.Video_SetScreenMode()",
         "media_set_screen_mode(1)\nmedia_set_screen_mode(0)\n",
         [](Fields &f) { f.screen_mode = 0, f.rebuild_scaler = 1; }},
        {"Zandoro.Video_SetPigPosition(-5, 99999, 0, -1)", "media_set_pig_pos(-5, 99999, 0, -1)\n",
         [](Fields &f) { f.pig_x = -5, f.pig_y = 99999, f.pig_w = 0, f.pig_h = -1, f.rebuild_scaler = 1; }},
        // Positions the script leaves out read as 0.
        {"Zandoro.Video_SetPigPosition(7)", "media_set_pig_pos(7, 0, 0, 0)\n",
         [](Fields &f) { f.pig_x = 7, f.pig_y = 0, f.pig_w = 0, f.pig_h = 0, f.rebuild_scaler = 1; }},
        {"Zandoro.Video_SetAspectRatio(7)", "media_set_aspect_ratio(7)\n",
         [](Fields &f) { f.rebuild_scaler = 1; }},
        {"Zandoro.Video_SetAspectRatio()", "media_set_aspect_ratio(0)\n",
         [](Fields &f) { f.rebuild_scaler = 1; }},
        {"Zandoro.Video_SetAlphaLevel(2.9); Zandoro.Video_SetSubtitles('3')",
         "media_set_alpha_level(2)\nmedia_set_subtitles(3)\n", [](Fields &) {}},
        {"Zandoro.Media_Play('file:/tmp/x.ts')", "media_play(file:/tmp/x.ts)\n",
         [](Fields &f) { f.pending_url = "file:/tmp/x.ts"; }},
        {"Zandoro.Media_Play('')", "media_play()\n", [](Fields &f) { f.pending_url = ""; }},
        {"Zandoro.Media_Play('file:/tmp/x.ts'); Zandoro.Media_Play()",
         "media_play(file:/tmp/x.ts)\nmedia_play()\n",
         [](Fields &f) { f.pending_url = ""; }},
        {"Zandoro.Media_Stop()", "", [](Fields &f) { f.stop_request = 1; }},
        {"Zandoro.Render_StartLayout(1, 'x')", "", [](Fields &) {}},
        {"Zandoro.Audio_SetMute(); Zandoro.Audio_SetVolume(100)",
         "Callback(Audio_SetMute,)\nCallback(Audio_SetVolume,)\n", [](Fields &) {}},
        {"console.log('#' + typeof Probe.GetSerial() + ' ' + Zandoro.System_GetVersionNumber(1, 2, 3))",
         "Callback(GetSerial,)\n#number 3.1.1\n", [](Fields &) {}},
    };
    for (Step &s : steps) {
        MediaControl->rebuild_scaler = 0;
        MediaControl->stop_request = 0;
        Fields expected = fields();
        s.change(expected);
        EXPECT_EQ(step(s.script), s.log) << s.script;
        EXPECT_EQ(fields(), expected) << s.script;
    }
}

// There is no main window here, so full screen cannot be entered (the window's placement
// cannot be read); which way the handler asks shows from a window marked as being in
// full screen: the value 1 keeps it there, every other value takes it out.
TEST_F(JsApiTest, FullScreenIsAskedForWithOneOnly)
{
    setenv("SDL_VIDEODRIVER", "dummy", 1);  // leaving full screen sets the video mode again
    start_portal("");
    struct Case {
        int value;
        uint8_t before, after;
    } cases[] = {{1, 1, 1}, {0, 1, 0}, {2, 1, 0}, {-1, 1, 0}, {0, 0, 0}, {2, 0, 0}};
    for (const Case &c : cases) {
        fullscreen = c.before;
        std::string value = std::to_string(c.value);
        EXPECT_EQ(step("Zandoro.Video_SetFullScreen(" + value + ")"), "media_set_fullscreen(" + value + ")\n");
        EXPECT_EQ(fullscreen, c.after) << c.value << " from " << (int)c.before;
    }
    fullscreen = 1;
    EXPECT_EQ(step("console.log('#' + Zandoro.Video_GetFullScreen())"),
              "ui_get_fullscreen_state(): Returning true\n#true\n");
    fullscreen = 0;
    EXPECT_EQ(step("console.log('#' + typeof Zandoro.Video_GetFullScreen())"),
              "ui_get_fullscreen_state(): Returning false\n#boolean\n");
    EXPECT_EQ(step("Zandoro.Video_SetFullScreen()"), "media_set_fullscreen(0)\n");
}

TEST(JsMethodCall, WithoutMediaControlOnlyTheLogLinesRemain)
{
    ASSERT_EQ(MediaControl, nullptr);
    JSArray args;
    args.Push(JSValue(100));
    args.Push(JSValue(50));
    capture_stdout_begin();
    js_method_call(web_string_from_utf8("Video_SetPigPosition"), args);
    js_method_call(web_string_from_utf8("Video_SetScreenMode"), JSArray());
    js_method_call(web_string_from_utf8("Video_SetAspectRatio"), args);
    js_method_call(web_string_from_utf8("Media_Stop"), args);
    js_method_call(web_string_from_utf8("Media_Play"), args);
    JSValue answer = js_method_call_with_result(web_string_from_utf8("Video_SetFullScreen"), args);
    std::string log = capture_stdout_end();
    EXPECT_EQ(log,
              "media_set_pig_pos(100, 50, 0, 0)\n"
              "media_set_screen_mode(0)\n"
              "media_set_aspect_ratio(100)\n"
              "media_play(100)\n"
              "Callback(Video_SetFullScreen,)\n");
    EXPECT_TRUE(answer.IsInteger());
    EXPECT_EQ(answer.ToInteger(), 0);
}

// The view cannot make the global object when its page-side helper is missing. The
// statement runs in a fresh copy of this program, which finds the directory it shares
// with the test through the environment.
TEST(JsBind, NoGlobalObjectEndsTheProgramWithoutAWord)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *shared = getenv("ZANDORO_BIND_TEST_DIR");
    std::string dir;
    if (shared) {
        dir = shared;
    } else {
        char made[] = "/tmp/zandoro-bind-XXXXXX";
        ASSERT_NE(mkdtemp(made), nullptr);
        dir = made;
        ASSERT_EQ(mkdir((dir + "/no-helper").c_str(), 0700), 0);
        setenv("ZANDORO_BIND_TEST_DIR", made, 1);
        bool have_display = web_test_core() != nullptr;
        Awesomium::WebCore::Shutdown();
        if (!have_display) {
            rmdir((dir + "/no-helper").c_str());
            rmdir(dir.c_str());
            GTEST_SKIP() << "no X display to run the web engine on";
        }
    }
    std::string out = dir + "/stdout";
    EXPECT_EXIT(
        {
            web_test_environment();
            setenv("ZANDORO_WEBEXT_DIR", (dir + "/no-helper").c_str(), 1);
            web_core = Awesomium::WebCore::Initialize(Awesomium::WebConfig());
            if (!web_core)
                exit(3);
            web_view = web_core->CreateWebView(64, 64, 0, Awesomium::kWebViewType_Offscreen);
            fflush(stdout);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            ui_bind_js();
            printf("ui_bind_js returned\n");
            exit(0);
        },
        testing::ExitedWithCode(1), "");
    std::string written;
    if (FILE *f = fopen(out.c_str(), "r")) {
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            written.append(buf, n);
        fclose(f);
    } else {
        ADD_FAILURE() << "the statement never ran";
    }
    EXPECT_EQ(written, "");
    unlink(out.c_str());
    rmdir((dir + "/no-helper").c_str());
    rmdir(dir.c_str());
    unsetenv("ZANDORO_BIND_TEST_DIR");
}

}  // namespace
