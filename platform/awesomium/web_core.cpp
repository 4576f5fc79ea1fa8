#include "platform/awesomium/web_core.h"

#include <errno.h>
#include <glib-unix.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "platform/awesomium/host_state.h"
#include "platform/awesomium/wire.h"

namespace Awesomium {
namespace detail {

// The one core of the process (WebCore::instance).
static CoreState *the_core;
// Each core of the process's life gets a socket name of its own.
static unsigned int cores_started;

static const char extension_file[] = "zandoro-webext.so";

void pump_main_context()
{
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); i++) {
    }
}

static std::string program_dir()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = 0;
    char *slash = strrchr(path, '/');
    if (slash)
        *slash = 0;
    return path;
}

static std::string find_extension_dir()
{
    const char *dir = getenv("ZANDORO_WEBEXT_DIR");
    if (dir && *dir)
        return dir;
    return program_dir() + "/zandoro-webext";
}

ViewState *view_for_web(WebKitWebView *web)
{
    if (the_core)
        for (ViewState *v : the_core->views)
            if (!v->destroyed && v->web == web)
                return v;
    return nullptr;
}

ViewState *CoreState::view_for_page(uint64_t page_id)
{
    for (ViewState *v : views)
        if (!v->destroyed && webkit_web_view_get_page_id(v->web) == page_id)
            return v;
    return nullptr;
}

Connection *CoreState::connection(uint64_t id)
{
    for (auto &c : connections)
        if (c->id == id)
            return c.get();
    return nullptr;
}

void CoreState::close_connection(Connection *c)
{
    if (c->watch)
        g_source_remove(c->watch);
    if (c->fd >= 0)
        close(c->fd);
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [c](const std::unique_ptr<Connection> &p) { return p.get() == c; }),
                      connections.end());
}

bool CoreState::send(Connection *c, const std::string &frame)
{
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::send(c->fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;  // the helper is gone or stopped reading; its page times out
        done += (size_t)n;
    }
    return true;
}

static WebString from_utf8(const std::string &s)
{
    return string_of_utf8(s.data(), s.size());
}

static zandoro_wire::Value to_wire(const JSValue &v)
{
    zandoro_wire::Value w;
    w.kind = (uint8_t)v.kind();
    w.number = v.ToDouble();
    w.text = utf8_of(v.ToString());
    return w;
}

static JSValue from_wire(const zandoro_wire::Value &w)
{
    JSValue::Kind kind = w.kind <= JSValue::kArray ? (JSValue::Kind)w.kind : JSValue::kUndefined;
    return JSValue::FromPage(kind, w.number, from_utf8(w.text));
}

static void send_objects(Connection *c, ViewState *v, uint32_t seq)
{
    zandoro_wire::Writer w(zandoro_wire::objects);
    w.u32(seq);
    const std::vector<GlobalObjectDef> &objects = v->objects->objects;
    w.u32((uint32_t)objects.size());
    for (const GlobalObjectDef &def : objects) {
        w.text(utf8_of(def.name));
        w.u32(def.id);
        w.u32((uint32_t)def.properties.size());
        for (const auto &property : def.properties) {
            w.text(utf8_of(property.first));
            w.value(to_wire(property.second));
        }
        w.u32((uint32_t)def.methods.size());
        for (const auto &method : def.methods) {
            w.text(utf8_of(method.first));
            w.u8(method.second ? 1 : 0);
        }
    }
    CoreState::send(c, w.frame());
}

// A method call from the page, queued for the next Update. A call with a result is
// answered there, on the connection it came from if that still exists.
static void queue_call(CoreState *core, Connection *c, ViewState *v, zandoro_wire::Reader &r)
{
    uint32_t seq = r.u32();
    uint32_t object_id = r.u32();
    WebString method = from_utf8(r.text());
    uint32_t count = r.u32();
    JSArray args;
    for (uint32_t i = 0; i < count && r.ok(); i++)
        args.Push(from_wire(r.value()));
    if (!r.ok())
        return;
    uint64_t connection_id = c->id;
    v->events.push_back([core, v, seq, object_id, method, args, connection_id]() {
        if (seq == 0) {
            if (v->method_handler)
                v->method_handler->OnMethodCall(v->view, object_id, method, args);
            return;
        }
        JSValue result = v->method_handler ? v->method_handler->OnMethodCallWithReturnValue(
                                                 v->view, object_id, method, args)
                                           : JSValue();
        Connection *to = core->connection(connection_id);
        if (!to)
            return;
        zandoro_wire::Writer w(zandoro_wire::result);
        w.u32(seq);
        w.value(to_wire(result));
        CoreState::send(to, w.frame());
    });
}

void CoreState::receive(Connection *c, uint8_t type, const std::string &payload)
{
    zandoro_wire::Reader r(payload.data(), payload.size());
    if (type == zandoro_wire::hello) {
        uint64_t page_id = r.u64();
        r.u32();  // the page process id, for a reader of a trace
        if (r.ok() && !c->view)
            c->view = view_for_page(page_id);
        return;
    }
    ViewState *v = c->view;
    if (!v || v->destroyed)
        return;
    switch (type) {
    case zandoro_wire::get_objects: {
        // Answered at once: the page is starting a document and waits for these.
        uint32_t seq = r.u32();
        if (r.ok())
            send_objects(c, v, seq);
        break;
    }
    case zandoro_wire::call:
        queue_call(this, c, v, r);
        break;
    case zandoro_wire::console: {
        WebString source = from_utf8(r.text());
        int line = r.i32();
        WebString message = from_utf8(r.text());
        if (!r.ok())
            break;
        v->events.push_back([v, source, line, message]() {
            if (v->view_listener)
                v->view_listener->OnAddConsoleMessage(v->view, message, line, source);
        });
        break;
    }
    case zandoro_wire::doc_ready: {
        WebURL url(from_utf8(r.text()));
        if (!r.ok())
            break;
        v->events.push_back([v, url]() {
            if (v->load_listener)
                v->load_listener->OnDocumentReady(v->view, url);
        });
        break;
    }
    default:
        break;
    }
}

static gboolean on_connection_readable(gint fd, GIOCondition, gpointer data)
{
    Connection *c = (Connection *)data;
    CoreState *core = c->core;
    char buf[65536];
    bool gone = false;
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            c->in.append(buf, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        gone = !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
        break;
    }
    // What a page process sent just before it ended still counts.
    uint8_t type;
    std::string payload;
    bool broken;
    while (zandoro_wire::take_frame(c->in, &type, &payload, &broken))
        core->receive(c, type, payload);
    if (gone || broken) {
        c->watch = 0;  // returning FALSE removes the watch
        core->close_connection(c);
        return FALSE;
    }
    return TRUE;
}

static gboolean on_connection_request(gint fd, GIOCondition, gpointer data)
{
    CoreState *core = (CoreState *)data;
    for (;;) {
        int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            break;
        // Abstract sockets have no permissions; only our own user's processes may talk.
        struct ucred cred;
        socklen_t len = sizeof cred;
        if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
            close(client);
            continue;
        }
        // A helper that stops reading must not stall the program for long.
        struct timeval timeout = {1, 0};
        setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        auto c = std::make_unique<Connection>();
        c->core = core;
        c->id = core->next_connection_id++;
        c->fd = client;
        c->watch = g_unix_fd_add(client, (GIOCondition)(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                 on_connection_readable, c.get());
        core->connections.push_back(std::move(c));
    }
    return TRUE;
}

// The view is the portal's, not a browser: nothing a page asks for is written to disk.
static void on_download_started(WebKitWebContext *, WebKitDownload *download, gpointer)
{
    WebKitURIRequest *request = webkit_download_get_request(download);
    const char *uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    printf("Download refused: %s\n", uri ? uri : "");
    fflush(stdout);
    webkit_download_cancel(download);
}

static bool open_listener(CoreState *core)
{
    char name[80];
    snprintf(name, sizeof name, "zandoro-webext-%d-%u", (int)getpid(), ++cores_started);
    core->socket_name = name;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    size_t n = strlen(name);
    memcpy(addr.sun_path + 1, name, n);  // abstract: no file to clean up
    socklen_t len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + n);
    if (bind(fd, (struct sockaddr *)&addr, len) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return false;
    }
    core->listen_fd = fd;
    core->listen_watch = g_unix_fd_add(fd, G_IO_IN, on_connection_request, core);
    return true;
}

}  // namespace detail

using detail::CoreState;

WebCore *WebCore::Initialize(const WebConfig &config)
{
    if (detail::the_core)
        return detail::the_core->core;
    if (!gtk_init_check(nullptr, nullptr))
        return nullptr;
    CoreState *core = new CoreState;
    core->config = config;
    if (!detail::open_listener(core)) {
        delete core;
        return nullptr;
    }
    core->extension_dir = detail::find_extension_dir();
    core->extension_found =
        access((core->extension_dir + "/" + detail::extension_file).c_str(), R_OK) == 0;

    // Cookies, storage and cache live in the user's directories like a browser's. An
    // ephemeral session would keep nothing on disk, but the engine then withholds
    // the page's console messages, which the program logs.
    std::string data = std::string(g_get_user_data_dir()) + "/zandoro";
    std::string cache = std::string(g_get_user_cache_dir()) + "/zandoro";
    WebKitWebsiteDataManager *data_manager = webkit_website_data_manager_new(
        "base-data-directory", data.c_str(), "base-cache-directory", cache.c_str(), nullptr);
    core->context = webkit_web_context_new_with_website_data_manager(data_manager);
    g_object_unref(data_manager);
    webkit_web_context_set_web_extensions_directory(core->context, core->extension_dir.c_str());
    g_signal_connect(core->context, "download-started", G_CALLBACK(detail::on_download_started), nullptr);
    webkit_web_context_set_web_extensions_initialization_user_data(
        core->context,
        g_variant_new("(su)", core->socket_name.c_str(), (guint32)config.js_result_timeout_ms));
    core->core = CoreState::make_core(core);
    detail::the_core = core;
    return core->core;
}

WebCore *WebCore::instance()
{
    return detail::the_core ? detail::the_core->core : nullptr;
}

void WebCore::Shutdown()
{
    CoreState *core = detail::the_core;
    if (!core)
        return;
    while (!core->views.empty())
        detail::destroy_view_state(core->views.back());
    while (!core->connections.empty())
        core->close_connection(core->connections.back().get());
    g_source_remove(core->listen_watch);
    close(core->listen_fd);
    g_object_unref(core->context);
    detail::pump_main_context();  // let the engine finish tearing down
    CoreState::free_core(core->core);
    delete core;
    detail::the_core = nullptr;
}

WebView *WebCore::CreateWebView(int width, int height, WebSession *session, WebViewType type)
{
    if (session || type != kWebViewType_Offscreen || width <= 0 || height <= 0)
        return nullptr;
    detail::ViewState *v = detail::create_view_state(state_, width, height);
    return v ? v->view : nullptr;
}

void WebCore::Update()
{
    CoreState *core = state_;
    if (core->updating)
        return;  // from inside a listener: the outer Update goes on delivering
    core->updating = true;
    detail::pump_main_context();
    std::vector<detail::ViewState *> views = core->views;
    for (detail::ViewState *v : views)
        if (!v->destroyed)
            v->feed_input();
    for (detail::ViewState *v : views)
        if (!v->destroyed && v->damaged)
            v->capture();
    for (detail::ViewState *v : views)
        if (!v->destroyed)
            v->deliver();
    core->updating = false;
    // Views destroyed by a listener during this Update are freed now.
    for (size_t i = core->views.size(); i-- > 0;)
        if (core->views[i]->destroyed)
            detail::destroy_view_state(core->views[i]);
}

}  // namespace Awesomium
