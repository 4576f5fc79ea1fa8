// The page-side helper, loaded by the engine into each page process. It puts the
// program's global objects into every new document before the document's first
// script runs (asking the program for them, up to 30 s), carries method calls,
// console messages and "document ready" to the program over a UNIX socket, and makes
// a call with a return value wait for the program's answer, at most
// js_result_timeout_ms.
//
// Everything here runs on the page process's main thread, which also runs the
// page's scripts; a waiting call holds the page still, as a synchronous call should.
#include <errno.h>
#include <math.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <webkit2/webkit-web-extension.h>

#include <string>
#include <vector>

#include "platform/awesomium/wire.h"

namespace {

// JSValue::Kind values as the wire carries them.
enum Kind : uint8_t { k_undefined, k_null, k_boolean, k_integer, k_double, k_string, k_object, k_array };

struct Page {
    WebKitWebPage *page;
    uint64_t id;
    int fd = -1;
    uint32_t seq = 0;
    std::string in;
};

struct Method {
    uint64_t page_id;
    uint32_t object_id;
    std::string name;
    bool has_result;
};

// Set once when the engine loads the helper; pages come and go.
// Never destroyed, like pages: the engine may end its process from another thread.
std::string &socket_name = *new std::string;
int timeout_ms = 5000;  // for a call's result
// A document without the program's objects is of no use, and the program may still be
// starting up (the engine loads pages without it), so a new document waits longer.
const int objects_wait_ms = 30000;
std::vector<Page *> &pages = *new std::vector<Page *>;

Page *find_page(uint64_t id)
{
    for (Page *p : pages)
        if (p->id == id)
            return p;
    return nullptr;
}

void disconnect(Page *p)
{
    if (p->fd >= 0)
        close(p->fd);
    p->fd = -1;
}

bool send_frame(Page *p, const std::string &frame)
{
    size_t done = 0;
    while (p->fd >= 0 && done < frame.size()) {
        ssize_t n = send(p->fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            disconnect(p);
            return false;
        }
        done += (size_t)n;
    }
    return p->fd >= 0;
}

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits for the answer of type `type` to request `seq`, at most wait_ms; answers to
// earlier requests that came too late are dropped on the way.
bool wait_answer(Page *p, uint8_t type, uint32_t seq, int wait_ms, std::string *payload)
{
    int64_t deadline = now_ms() + wait_ms;
    for (;;) {
        uint8_t got;
        bool broken;
        while (zandoro_wire::take_frame(p->in, &got, payload, &broken)) {
            zandoro_wire::Reader r(payload->data(), payload->size());
            if (got == type && r.u32() == seq && r.ok()) {
                payload->erase(0, 4);
                return true;
            }
        }
        if (broken) {
            disconnect(p);
            return false;
        }
        int64_t left = deadline - now_ms();
        if (left <= 0 || p->fd < 0)
            return false;
        struct pollfd pfd = {p->fd, POLLIN, 0};
        int n = poll(&pfd, 1, (int)left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        char buf[65536];
        ssize_t got_bytes = recv(p->fd, buf, sizeof buf, 0);
        if (got_bytes < 0 && errno == EINTR)
            continue;
        if (got_bytes <= 0) {
            disconnect(p);
            return false;
        }
        p->in.append(buf, (size_t)got_bytes);
    }
}

std::string take_string(char *s)
{
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

// A page value with the page's own ToNumber and ToString, so the program converts
// exactly as the page would. A conversion that throws (a symbol, an object whose
// valueOf throws) leaves NaN or "" and the exception is dropped.
zandoro_wire::Value from_page(JSCContext *ctx, JSCValue *v)
{
    zandoro_wire::Value w;
    if (jsc_value_is_undefined(v))
        w.kind = k_undefined;
    else if (jsc_value_is_null(v))
        w.kind = k_null;
    else if (jsc_value_is_boolean(v))
        w.kind = k_boolean;
    else if (jsc_value_is_number(v))
        w.kind = k_double;
    else if (jsc_value_is_string(v))
        w.kind = k_string;
    else if (jsc_value_is_array(v))
        w.kind = k_array;
    else
        w.kind = k_object;
    w.number = jsc_value_to_double(v);
    if (jsc_context_get_exception(ctx)) {
        jsc_context_clear_exception(ctx);
        w.number = NAN;
    }
    w.text = take_string(jsc_value_to_string(v));
    if (jsc_context_get_exception(ctx)) {
        jsc_context_clear_exception(ctx);
        w.text.clear();
    }
    if (w.kind == k_double && w.number == (double)(int32_t)w.number && !(w.number == 0 && signbit(w.number)))
        w.kind = k_integer;
    return w;
}

JSCValue *to_page(JSCContext *ctx, const zandoro_wire::Value &w)
{
    switch (w.kind) {
    case k_null:
        return jsc_value_new_null(ctx);
    case k_boolean:
        return jsc_value_new_boolean(ctx, w.number != 0);
    case k_integer:
    case k_double:
        return jsc_value_new_number(ctx, w.number);
    case k_string: {
        // From bytes, so a NUL inside the text survives.
        GBytes *bytes = g_bytes_new(w.text.data(), w.text.size());
        JSCValue *v = jsc_value_new_string_from_bytes(ctx, bytes);
        g_bytes_unref(bytes);
        return v;
    }
    default:
        return jsc_value_new_undefined(ctx);
    }
}

JSCValue *call_method(GPtrArray *args, gpointer data)
{
    Method *m = (Method *)data;
    JSCContext *ctx = jsc_context_get_current();
    Page *p = find_page(m->page_id);
    if (!p || p->fd < 0)
        return jsc_value_new_undefined(ctx);
    uint32_t seq = m->has_result ? ++p->seq : 0;
    if (m->has_result && seq == 0)
        seq = ++p->seq;  // 0 means "no answer wanted"
    zandoro_wire::Writer w(zandoro_wire::call);
    w.u32(seq);
    w.u32(m->object_id);
    w.text(m->name);
    w.u32(args->len);
    for (guint i = 0; i < args->len; i++)
        w.value(from_page(ctx, (JSCValue *)g_ptr_array_index(args, i)));
    if (!send_frame(p, w.frame()) || !m->has_result)
        return jsc_value_new_undefined(ctx);
    std::string payload;
    if (!wait_answer(p, zandoro_wire::result, seq, timeout_ms, &payload))
        return jsc_value_new_undefined(ctx);
    zandoro_wire::Reader r(payload.data(), payload.size());
    zandoro_wire::Value result = r.value();
    return r.ok() ? to_page(ctx, result) : jsc_value_new_undefined(ctx);
}

void free_method(gpointer data)
{
    delete (Method *)data;
}

void on_window_object_cleared(WebKitScriptWorld *world, WebKitWebPage *page, WebKitFrame *frame,
                              gpointer)
{
    Page *p = find_page(webkit_web_page_get_id(page));
    if (!p || p->fd < 0)
        return;
    uint32_t seq = ++p->seq;
    if (seq == 0)
        seq = ++p->seq;
    zandoro_wire::Writer w(zandoro_wire::get_objects);
    w.u32(seq);
    std::string payload;
    if (!send_frame(p, w.frame()) || !wait_answer(p, zandoro_wire::objects, seq, objects_wait_ms, &payload))
        return;

    JSCContext *ctx = webkit_frame_get_js_context_for_script_world(frame, world);
    zandoro_wire::Reader r(payload.data(), payload.size());
    uint32_t count = r.u32();
    for (uint32_t i = 0; i < count && r.ok(); i++) {
        std::string name = r.text();
        uint32_t id = r.u32();
        JSCValue *object = jsc_value_new_object(ctx, nullptr, nullptr);
        uint32_t properties = r.u32();
        for (uint32_t k = 0; k < properties && r.ok(); k++) {
            std::string property = r.text();
            zandoro_wire::Value value = r.value();
            if (!r.ok())
                break;
            JSCValue *v = to_page(ctx, value);
            jsc_value_object_set_property(object, property.c_str(), v);
            g_object_unref(v);
        }
        uint32_t methods = r.u32();
        for (uint32_t k = 0; k < methods && r.ok(); k++) {
            std::string method = r.text();
            bool has_result = r.u8() != 0;
            if (!r.ok())
                break;
            Method *m = new Method{p->id, id, method, has_result};
            JSCValue *fn = jsc_value_new_function_variadic(ctx, method.c_str(), G_CALLBACK(call_method),
                                                           m, free_method, JSC_TYPE_VALUE);
            jsc_value_object_set_property(object, method.c_str(), fn);
            g_object_unref(fn);
        }
        if (r.ok())
            jsc_context_set_value(ctx, name.c_str(), object);
        g_object_unref(object);
    }
    g_object_unref(ctx);
}

void on_console_message(WebKitWebPage *page, WebKitConsoleMessage *message, gpointer)
{
    Page *p = find_page(webkit_web_page_get_id(page));
    if (!p)
        return;
    const char *source = webkit_console_message_get_source_id(message);
    const char *text = webkit_console_message_get_text(message);
    zandoro_wire::Writer w(zandoro_wire::console);
    w.text(source ? source : "");
    w.i32((int32_t)webkit_console_message_get_line(message));
    w.text(text ? text : "");
    send_frame(p, w.frame());
}

void on_document_loaded(WebKitWebPage *page, gpointer)
{
    Page *p = find_page(webkit_web_page_get_id(page));
    if (!p)
        return;
    const char *uri = webkit_web_page_get_uri(page);
    zandoro_wire::Writer w(zandoro_wire::doc_ready);
    w.text(uri ? uri : "");
    send_frame(p, w.frame());
}

void on_page_gone(gpointer data, GObject *)
{
    Page *p = (Page *)data;
    disconnect(p);
    for (size_t i = 0; i < pages.size(); i++) {
        if (pages[i] == p) {
            pages.erase(pages.begin() + (long)i);
            break;
        }
    }
    delete p;
}

int connect_to_program()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    size_t n = socket_name.size();
    if (n + 1 > sizeof addr.sun_path) {
        close(fd);
        return -1;
    }
    memcpy(addr.sun_path + 1, socket_name.data(), n);
    socklen_t len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + n);
    if (connect(fd, (struct sockaddr *)&addr, len) != 0) {
        close(fd);
        return -1;
    }
    // A program that stops reading lets a call fail rather than hold the page.
    struct timeval timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return fd;
}

void on_page_created(WebKitWebExtension *, WebKitWebPage *page, gpointer)
{
    Page *p = new Page;
    p->page = page;
    p->id = webkit_web_page_get_id(page);
    p->fd = connect_to_program();
    pages.push_back(p);
    g_object_weak_ref(G_OBJECT(page), on_page_gone, p);
    zandoro_wire::Writer w(zandoro_wire::hello);
    w.u64(p->id);
    w.u32((uint32_t)getpid());
    send_frame(p, w.frame());
    g_signal_connect(page, "console-message-sent", G_CALLBACK(on_console_message), nullptr);
    g_signal_connect(page, "document-loaded", G_CALLBACK(on_document_loaded), nullptr);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension *extension,
                                                                               const GVariant *user_data)
{
    const char *name = nullptr;
    guint32 timeout = 0;
    g_variant_get((GVariant *)user_data, "(&su)", &name, &timeout);
    socket_name = name ? name : "";
    if (timeout > 0)
        timeout_ms = (int)timeout;
    g_signal_connect(extension, "page-created", G_CALLBACK(on_page_created), nullptr);
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                     G_CALLBACK(on_window_object_cleared), nullptr);
}
