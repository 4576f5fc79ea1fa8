// The program-side state behind WebCore and WebView: the engine objects, the socket
// to the page-side helpers, and what each view queued for the next Update.
// Main thread only: WebKit's signals and the socket's watches run on the GLib main
// context, which only the main thread iterates, and they only queue work.
#pragma once

#include <gtk/gtk.h>
#include <sys/types.h>
#include <webkit2/webkit2.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/awesomium/global_objects.h"
#include "platform/awesomium/web_core.h"
#include "platform/awesomium/web_view.h"

namespace Awesomium {
namespace detail {

struct CoreState;

// One page-side helper's connection; it names its page in its first message.
struct Connection {
    CoreState *core = nullptr;
    uint64_t id = 0;
    int fd = -1;
    guint watch = 0;
    std::string in;
    ViewState *view = nullptr;  // the view whose page greeted, null before
};

struct InputEvent {
    enum Kind { move, press, release, key } kind;
    int x = 0, y = 0;
    MouseButton button = kMouseButton_Left;
    WebKeyboardEvent key_event;
};

struct ViewState {
    CoreState *core = nullptr;
    WebView *view = nullptr;
    int width = 0, height = 0;
    GtkWidget *window = nullptr;  // the GtkOffscreenWindow holding the view
    WebKitWebView *web = nullptr;
    WebKitUserContentManager *content = nullptr;  // ours; the page's title watcher
    bool destroyed = false;

    WebViewListener::View *view_listener = nullptr;
    WebViewListener::Load *load_listener = nullptr;
    WebViewListener::Process *process_listener = nullptr;
    JSMethodHandler *method_handler = nullptr;

    // Deliveries for the next Update, oldest first.
    std::deque<std::function<void()>> events;
    std::deque<InputEvent> input;
    // The engine keeps separate queues for mouse and key events, so each event waits
    // for the page to have taken the one before (a script round trip behind it).
    bool input_waiting = false;
    gint64 input_sent_us = 0;

    std::unique_ptr<BitmapSurface> surface;
    std::vector<unsigned char> staging;  // premultiplied, as cairo draws
    bool damaged = false;

    Error last_error = kError_None;
    std::shared_ptr<GlobalObjectTable> objects;

    // What was last reported, so repeats are not.
    std::string title, uri, target;
    bool load_failed = false;
    bool provisional = false;  // a load started and has not committed yet

    // Pointer and keyboard state of the injected input.
    bool focused = false;  // Focus() holds, Unfocus() has not undone it
    int mouse_x = 0, mouse_y = 0;
    guint buttons = 0;  // GDK button masks held
    wchar16 typed_char = 0;  // the text of the last key down, which already typed it

    void capture();
    void send_input(const InputEvent &event);
    void feed_input();
    void deliver();
    static BitmapSurface *make_surface(int width, int height)
    {
        return new BitmapSurface(width, height);
    }
};

struct CoreState {
    WebCore *core = nullptr;
    WebConfig config;
    WebKitWebContext *context = nullptr;
    std::string extension_dir;
    bool extension_found = false;

    int listen_fd = -1;
    guint listen_watch = 0;
    std::string socket_name;  // abstract, without its leading NUL

    std::vector<ViewState *> views;
    std::vector<std::unique_ptr<Connection>> connections;
    uint64_t next_connection_id = 1;
    bool updating = false;

    // The view showing that page; the engine may move a view to a new page process,
    // so the page is looked up as it is now.
    ViewState *view_for_page(uint64_t page_id);
    Connection *connection(uint64_t id);
    void close_connection(Connection *c);
    void receive(Connection *c, uint8_t type, const std::string &payload);
    static bool send(Connection *c, const std::string &frame);

    static WebView *make_view(ViewState *state) { return new WebView(state); }
    static void free_view(WebView *view) { delete view; }
    static WebCore *make_core(CoreState *state) { return new WebCore(state); }
    static void free_core(WebCore *core) { delete core; }
};

inline std::string utf8_of(const WebString &s)
{
    std::string out(s.ToUTF8(nullptr, 0), '\0');
    s.ToUTF8(&out[0], (unsigned int)out.size());
    return out;
}

inline WebString string_of_utf8(const char *s, size_t length)
{
    return s ? WebString::CreateFromUTF8(s, (unsigned int)length) : WebString();
}

// Drains the GLib main context without waiting, a bounded number of dispatches.
void pump_main_context();

ViewState *create_view_state(CoreState *core, int width, int height);
// The live view showing that engine view, or null.
ViewState *view_for_web(WebKitWebView *web);
void destroy_view_state(ViewState *state);

// GDK key values for a Windows virtual-key code.
guint keyval_for_virtual_key(int virtual_key_code, bool shift);

}  // namespace detail
}  // namespace Awesomium
