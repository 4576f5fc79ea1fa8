// Keyboard and mouse forwarding: the key and modifier tables, the keyboard events a key
// makes, and the pump at the tail of WM_TIMER feeding a real web view (under X).
#include <SDL.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/awesomium/awesomium.h"
#include "shell/input_forward.h"
#include "shell/main_window.h"
#include "shell/web_host.h"
#include "tests/support/capture.h"
#include "tests/support/http_server.h"
#include "tests/support/web_pump.h"

using Awesomium::WebKeyboardEvent;

namespace {

struct KeyCase {
    int sym, vk;
};

// Every symbol that has a code, with it.
const KeyCase mapped_keys[] = {
    {8, 8}, {9, 9}, {12, 12}, {13, 13}, {19, 19}, {27, 27}, {32, 32},
    {48, 48}, {49, 49}, {50, 50}, {51, 51}, {52, 52}, {53, 53}, {54, 54}, {55, 55}, {56, 56}, {57, 57},
    {97, 65}, {98, 66}, {99, 67}, {100, 68}, {101, 69}, {102, 70}, {103, 71}, {104, 72}, {105, 73},
    {106, 74}, {107, 75}, {108, 76}, {109, 77}, {110, 78}, {111, 79}, {112, 80}, {113, 81}, {114, 82},
    {115, 83}, {116, 84}, {117, 85}, {118, 86}, {119, 87}, {120, 88}, {121, 89}, {122, 90},
    {33, 49}, {64, 50}, {34, 50}, {35, 51}, {36, 52}, {94, 54}, {38, 55}, {42, 56}, {40, 57}, {41, 48},
    {58, 186}, {59, 186}, {43, 187}, {61, 187}, {44, 188}, {60, 188}, {45, 189}, {95, 189},
    {46, 190}, {62, 190}, {47, 191}, {63, 191}, {96, 192},
    {91, 219}, {92, 220}, {93, 221}, {39, 222}, {127, 46},
    {256, 96}, {257, 97}, {258, 98}, {259, 99}, {260, 100}, {261, 101}, {262, 102}, {263, 103},
    {264, 104}, {265, 105},
    {266, 110}, {267, 111}, {268, 106}, {269, 109}, {270, 107}, {271, 108},
    {273, 38}, {274, 40}, {275, 39}, {276, 37},
    {277, 45}, {278, 36}, {279, 35}, {280, 33}, {281, 34},
    {282, 112}, {283, 113}, {284, 114}, {285, 115}, {286, 116}, {287, 117}, {288, 118}, {289, 119},
    {290, 120}, {291, 121}, {292, 122}, {293, 123}, {294, 124}, {295, 125}, {296, 126},
    {300, 144}, {301, 20}, {302, 145},
    {303, 161}, {304, 160}, {305, 163}, {306, 162}, {307, 165}, {308, 164},
    {309, 91}, {310, 92}, {311, 91}, {312, 92},
    {313, 31}, {314, 30}, {315, 47}, {316, 44}, {317, 43},
};

TEST(KeyToVk, EveryMappedSymbolGivesItsCode)
{
    for (const KeyCase &k : mapped_keys)
        EXPECT_EQ(sdl_key_to_vk(k.sym), k.vk) << "symbol " << k.sym;
}

TEST(KeyToVk, EverythingElseGivesZero)
{
    int mapped = 0;
    for (int sym = -5; sym < 1000; sym++) {
        bool listed = false;
        for (const KeyCase &k : mapped_keys)
            listed |= k.sym == sym;
        if (!listed) {
            EXPECT_EQ(sdl_key_to_vk(sym), 0) << "symbol " << sym;
        }
        mapped += sdl_key_to_vk(sym) != 0;
    }
    EXPECT_EQ(mapped, 129);
    EXPECT_EQ(sizeof mapped_keys / sizeof mapped_keys[0], 129u);
}

TEST(KeyModifiers, EachSdlBitGivesItsViewBit)
{
    struct Case {
        uint32_t mod;
        int modifiers;
    } cases[] = {
        {0, 0},
        {KMOD_LALT, 0x04}, {KMOD_RALT, 0x04},
        {KMOD_LCTRL, 0x02}, {KMOD_RCTRL, 0x02},
        {KMOD_LMETA, 0x08}, {KMOD_RMETA, 0x08},
        {KMOD_LSHIFT, 0x01}, {KMOD_RSHIFT, 0x01},
        {KMOD_NUM, 0x10},
        {KMOD_CAPS, 0}, {KMOD_MODE, 0},  // not passed on
        {KMOD_LSHIFT | KMOD_RCTRL | KMOD_LALT | KMOD_RMETA | KMOD_NUM | KMOD_CAPS, 0x1F},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ui_key_modifiers(c.mod), c.modifiers) << std::hex << "mod 0x" << c.mod;
}

SDL_keysym key(int sym, int unicode, uint32_t mod = 0, int scancode = 38)
{
    SDL_keysym k = {};
    k.sym = (SDLKey)sym;
    k.unicode = (Uint16)unicode;
    k.mod = (SDLMod)mod;
    k.scancode = (Uint8)scancode;
    return k;
}

TEST(KeyEvents, TypingALetterGivesKeyDownThenCharacter)
{
    WebKeyboardEvent e[2];
    ASSERT_EQ(ui_key_events(SDL_KEYDOWN, key('a', 'a'), e), 2);
    EXPECT_EQ(e[0].type, WebKeyboardEvent::kTypeKeyDown);
    EXPECT_EQ(e[0].virtual_key_code, 65);
    EXPECT_EQ(e[0].native_key_code, 38);
    EXPECT_STREQ(e[0].key_identifier, "U+0041");
    EXPECT_EQ(e[0].text[0], u'a');
    EXPECT_EQ(e[0].unmodified_text[0], u'a');
    EXPECT_EQ(e[1].type, WebKeyboardEvent::kTypeChar);
    EXPECT_EQ(e[1].virtual_key_code, 97);
    EXPECT_EQ(e[1].native_key_code, 97);
    EXPECT_STREQ(e[1].key_identifier, "U+0041");
    EXPECT_EQ(e[1].text[0], u'a');

    ASSERT_EQ(ui_key_events(SDL_KEYUP, key('a', 0), e), 1);
    EXPECT_EQ(e[0].type, WebKeyboardEvent::kTypeKeyUp);
    EXPECT_EQ(e[0].virtual_key_code, 65);
    EXPECT_EQ(e[0].text[0], 0);
}

TEST(KeyEvents, ModifiersAndIdentifiersCarryOver)
{
    WebKeyboardEvent e[2];
    // Shift+1 typed "!": the 1 key's code, Shift, and the character with the same bits.
    ASSERT_EQ(ui_key_events(SDL_KEYDOWN, key('!', '!', KMOD_LSHIFT | KMOD_CAPS, 10), e), 2);
    EXPECT_EQ(e[0].virtual_key_code, 49);
    EXPECT_EQ(e[0].modifiers, 0x01);
    EXPECT_EQ(e[1].modifiers, 0x01);
    EXPECT_EQ(e[1].virtual_key_code, '!');
    EXPECT_STREQ(e[1].key_identifier, "U+0031");

    // Keys without a character give no character event.
    ASSERT_EQ(ui_key_events(SDL_KEYDOWN, key(SDLK_F1, 0, 0, 67), e), 1);
    EXPECT_EQ(e[0].virtual_key_code, 112);
    EXPECT_EQ(e[0].native_key_code, 67);
    EXPECT_STREQ(e[0].key_identifier, "F1");
    ASSERT_EQ(ui_key_events(SDL_KEYDOWN, key(SDLK_RMETA, 0), e), 1);
    EXPECT_EQ(e[0].virtual_key_code, 91);
    EXPECT_STREQ(e[0].key_identifier, "Win");

    // A key without a code still goes, with code 0.
    ASSERT_EQ(ui_key_events(SDL_KEYDOWN, key(SDLK_KP_EQUALS, 0), e), 1);
    EXPECT_EQ(e[0].virtual_key_code, 0);

    // Only key downs and ups make events.
    EXPECT_EQ(ui_key_events(SDL_MOUSEMOTION, key('a', 'a'), e), 0);
}

// The pump feeding a real view: the page logs what reaches it into its title.
class Pump : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        Awesomium::WebCore *core = web_test_core();
        if (!core)
            GTEST_SKIP() << "no X display";
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);
        ASSERT_TRUE(server_.start());
        server_.set_page("/", "text/html", R"(<html><body style="margin:0">
<script>
var log = [];
function add(s) { log.push(s); document.title = log.join(' '); }
document.addEventListener('mousedown', e => add('down' + e.button + '@' + e.clientX + ',' + e.clientY));
document.addEventListener('mouseup', e => add('up' + e.button + '@' + e.clientX + ',' + e.clientY));
document.addEventListener('keydown', e => add('kd' + e.keyCode));
document.addEventListener('keypress', e => add('kp' + e.charCode));
document.addEventListener('keyup', e => add('ku' + e.keyCode));
add('ready');
</script></body></html>)");
        web_view = core->CreateWebView(1024, 576);
        ASSERT_NE(web_view, nullptr);
        std::string url = server_.url("/");
        web_view->LoadURL(Awesomium::WebURL(Awesomium::WebString::CreateFromUTF8(url.data(), (unsigned)url.size())));
        web_view->Focus();
        ASSERT_TRUE(web_pump_until([] { return title() == "ready"; }));
        view_scale = 100;
    }
    void TearDown() override
    {
        if (web_view)
            web_view->Destroy();
        web_view = nullptr;
        SDL_Quit();
        view_scale = 100;
    }

    static std::string title() { return web_string_to_utf8(web_view->title()); }
    static bool title_ends_with(const std::string &tail)
    {
        std::string t = title();
        return t.size() >= tail.size() && t.compare(t.size() - tail.size(), tail.size(), tail) == 0;
    }

    static void push_button(bool down, int button, int x, int y)
    {
        SDL_Event e = {};
        e.button.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
        e.button.button = (Uint8)button;
        e.button.x = (Uint16)x;
        e.button.y = (Uint16)y;
        SDL_PushEvent(&e);
    }
    static void push_key(bool down, SDL_keysym k)
    {
        SDL_Event e = {};
        e.key.type = down ? SDL_KEYDOWN : SDL_KEYUP;
        e.key.keysym = k;
        SDL_PushEvent(&e);
    }
    // One WM_TIMER: the pump drains everything queued, in order.
    static void tick() { ui_wnd_proc(nullptr, WM_TIMER, 1, 0); }

    LoopbackHttpServer server_;
};

TEST_F(Pump, LeftClickLandsOnThePagePointItWasOnAtEveryScale)
{
    struct Case {
        int scale, x, y, page_x, page_y;
    } cases[] = {{100, 300, 200, 300, 200}, {50, 100, 60, 200, 120}, {25, 50, 25, 200, 100},
                 {187, 374, 187, 200, 100}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scale);
        view_scale = c.scale;
        capture_stdout_begin();
        push_button(true, SDL_BUTTON_LEFT, c.x, c.y);
        push_button(false, SDL_BUTTON_LEFT, c.x, c.y);
        tick();
        std::string out = capture_stdout_end();
        EXPECT_EQ(out, "Mouse down at (" + std::to_string(c.page_x) + "," + std::to_string(c.page_y) + ")\n");
        std::string at = std::to_string(c.page_x) + "," + std::to_string(c.page_y);
        EXPECT_TRUE(web_pump_until([&] { return title_ends_with("down0@" + at + " up0@" + at); }))
            << title();
    }
}

TEST_F(Pump, OnlyTheLeftButtonIsForwarded)
{
    capture_stdout_begin();
    for (int button : {SDL_BUTTON_MIDDLE, SDL_BUTTON_RIGHT, SDL_BUTTON_WHEELUP, SDL_BUTTON_WHEELDOWN}) {
        push_button(true, button, 10, 10);
        push_button(false, button, 10, 10);
    }
    tick();
    EXPECT_EQ(capture_stdout_end(), "");
    // A left click after them shows that nothing came before it.
    push_button(true, SDL_BUTTON_LEFT, 20, 30);
    push_button(false, SDL_BUTTON_LEFT, 20, 30);
    capture_stdout_begin();
    tick();
    capture_stdout_end();
    EXPECT_TRUE(web_pump_until([] { return title() == "ready down0@20,30 up0@20,30"; })) << title();
}

TEST_F(Pump, KeysReachThePageInOrderWithinOneTick)
{
    push_key(true, key('a', 'a'));
    push_key(false, key('a', 0));
    push_key(true, key('1', '!', KMOD_LSHIFT, 10));
    push_key(false, key('1', 0, KMOD_LSHIFT, 10));
    push_key(true, key(SDLK_F1, 0, 0, 67));
    push_key(false, key(SDLK_F1, 0, 0, 67));
    tick();
    EXPECT_EQ(SDL_PollEvent(nullptr), 0) << "the pump left events behind";
    EXPECT_TRUE(web_pump_until([] { return title() == "ready kd65 kp97 ku65 kd49 kp33 ku49 kd112 ku112"; }))
        << title();
}

}  // namespace
