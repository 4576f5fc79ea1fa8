#include "platform/awesomium/web_view.h"

#include <gdk/gdkkeysyms.h>
#include <string.h>

#include <algorithm>

#include "platform/awesomium/host_state.h"

namespace Awesomium {

BitmapSurface::BitmapSurface(int width, int height)
    : width_(width), height_(height), pixels_((size_t)width * height * 4)
{
}

namespace detail {

static WebString from_utf8(const char *s)
{
    return string_of_utf8(s, s ? strlen(s) : 0);
}

static const int64 main_frame_id = 1;

// ---- engine signals: each only queues what the listeners are to hear ----

static void report_title(ViewState *v, const std::string &text)
{
    if (text == v->title)
        return;  // a new document clears the title; an untitled page reports nothing
    v->title = text;
    WebString t = from_utf8(text.c_str());
    v->events.push_back([v, t]() {
        if (v->view_listener)
            v->view_listener->OnChangeTitle(v->view, t);
    });
}

static void on_title(GObject *, GParamSpec *, gpointer data)
{
    ViewState *v = (ViewState *)data;
    const char *title = webkit_web_view_get_title(v->web);
    report_title(v, title ? title : "");
}

// The engine passes on only the title a document has when its running task ends, so
// a title that a script replaces at once (the page's own <title> before its first
// script) would never be heard. Watching the document from a script world of our own
// sees each title at the next microtask checkpoint, which the parser holds before it
// runs a script. The page's own scripts cannot see the watcher.
static const char title_world[] = "zandoro-title";
static const char title_handler[] = "zandoroTitle";
static const char title_watcher[] =
    "(function () {"
    "  var last = null;"
    "  function report() {"
    "    var title = document.title;"
    "    if (title === last) return;"
    "    last = title;"
    "    window.webkit.messageHandlers.zandoroTitle.postMessage(title);"
    "  }"
    "  new MutationObserver(report).observe(document,"
    "      {childList: true, characterData: true, subtree: true});"
    "})();";

static void on_title_seen(WebKitUserContentManager *, WebKitJavascriptResult *result, gpointer data)
{
    JSCValue *value = webkit_javascript_result_get_js_value(result);
    if (!jsc_value_is_string(value))
        return;
    char *title = jsc_value_to_string(value);
    report_title((ViewState *)data, title ? title : "");
    g_free(title);
}

static WebKitUserContentManager *make_content_manager(ViewState *v)
{
    WebKitUserContentManager *manager = webkit_user_content_manager_new();
    WebKitUserScript *script = webkit_user_script_new_for_world(
        title_watcher, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START,
        title_world, nullptr, nullptr);
    webkit_user_content_manager_add_script(manager, script);
    webkit_user_script_unref(script);
    std::string signal = std::string("script-message-received::") + title_handler;
    g_signal_connect(manager, signal.c_str(), G_CALLBACK(on_title_seen), v);
    webkit_user_content_manager_register_script_message_handler_in_world(manager, title_handler,
                                                                         title_world);
    return manager;
}

// The address bar shows committed URLs: a load's URL once its document is committed,
// and the page's own changes of its URL (history.pushState, a new anchor). While a
// load is provisional the engine shows its target, and after a failure or a crash it
// falls back; neither is reported.
static void report_uri(ViewState *v)
{
    const char *uri = webkit_web_view_get_uri(v->web);
    std::string text = uri ? uri : "";
    if (text.empty() || text == v->uri)
        return;
    v->uri = text;
    WebURL url(from_utf8(text.c_str()));
    v->events.push_back([v, url]() {
        if (v->view_listener)
            v->view_listener->OnChangeAddressBar(v->view, url);
    });
}

static void on_uri(GObject *, GParamSpec *, gpointer data)
{
    ViewState *v = (ViewState *)data;
    if (!v->provisional && !webkit_web_view_is_loading(v->web))
        report_uri(v);
}

static void on_mouse_target(WebKitWebView *, WebKitHitTestResult *hit, guint, gpointer data)
{
    ViewState *v = (ViewState *)data;
    const char *link = webkit_hit_test_result_context_is_link(hit)
                           ? webkit_hit_test_result_get_link_uri(hit)
                           : nullptr;
    std::string text = link ? link : "";
    if (text == v->target)
        return;
    v->target = text;
    WebURL url(from_utf8(text.c_str()));
    v->events.push_back([v, url]() {
        if (v->view_listener)
            v->view_listener->OnChangeTargetURL(v->view, url);
    });
}

static void on_load_changed(WebKitWebView *web, WebKitLoadEvent event, gpointer data)
{
    ViewState *v = (ViewState *)data;
    WebURL url(from_utf8(webkit_web_view_get_uri(web)));
    if (event == WEBKIT_LOAD_STARTED) {
        v->load_failed = false;
        v->provisional = true;
        v->events.push_back([v, url]() {
            if (v->load_listener)
                v->load_listener->OnBeginLoadingFrame(v->view, main_frame_id, true, url, false);
        });
    } else if (event == WEBKIT_LOAD_COMMITTED) {
        v->provisional = false;
        report_uri(v);
    } else if (event == WEBKIT_LOAD_FINISHED) {
        v->provisional = false;
        // The engine ends a failed load with "finished" too; it was reported as failed.
        if (v->load_failed) {
            v->load_failed = false;
            return;
        }
        v->events.push_back([v, url]() {
            if (v->load_listener)
                v->load_listener->OnFinishLoadingFrame(v->view, main_frame_id, true, url);
        });
    }
}

static gboolean on_load_failed(WebKitWebView *, WebKitLoadEvent, gchar *uri, GError *error,
                               gpointer data)
{
    ViewState *v = (ViewState *)data;
    v->load_failed = true;
    v->provisional = false;
    WebURL url(from_utf8(uri));
    int code = error ? error->code : 0;
    WebString description = from_utf8(error ? error->message : "");
    v->events.push_back([v, url, code, description]() {
        if (v->load_listener)
            v->load_listener->OnFailLoadingFrame(v->view, main_frame_id, true, url, code,
                                                 description);
    });
    return TRUE;  // no error page: the portal's own look stays until it loads again
}

static void on_terminated(WebKitWebView *, WebKitWebProcessTerminationReason reason, gpointer data)
{
    ViewState *v = (ViewState *)data;
    TerminationStatus status = reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT
                                   ? kTerminationStatus_OutOfMemory
                               : reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API
                                   ? kTerminationStatus_Killed
                                   : kTerminationStatus_Crashed;
    v->events.push_back([v, status]() {
        if (v->process_listener)
            v->process_listener->OnCrashed(v->view, status);
    });
}

static void on_responsive(GObject *, GParamSpec *, gpointer data)
{
    ViewState *v = (ViewState *)data;
    bool responsive = webkit_web_view_get_is_web_process_responsive(v->web);
    v->events.push_back([v, responsive]() {
        if (!v->process_listener)
            return;
        if (responsive)
            v->process_listener->OnResponsive(v->view);
        else
            v->process_listener->OnUnresponsive(v->view);
    });
}

// Nobody can answer a dialog, a menu or a file chooser in an offscreen view: each
// ends at once (alert returns, confirm is false, prompt is null, printing is off).
static gboolean on_refused(gpointer, gpointer, gpointer) { return TRUE; }
static gboolean on_file_chooser(WebKitWebView *, WebKitFileChooserRequest *request, gpointer)
{
    webkit_file_chooser_request_cancel(request);
    return TRUE;
}
// Camera, microphone, position, notifications: nobody is there to grant them, and the
// engine's default answer is not the program's to rely on.
static gboolean on_permission(WebKitWebView *, WebKitPermissionRequest *request, gpointer)
{
    webkit_permission_request_deny(request);
    return TRUE;
}
static gboolean on_context_menu(WebKitWebView *, WebKitContextMenu *, GdkEvent *,
                                WebKitHitTestResult *, gpointer)
{
    return TRUE;
}

// A key the page leaves unhandled comes back from the engine to the view's window,
// and the view expects to see it there once more: until it does, it takes the next
// key for that echo and drops it. Where the window's focus is not on the view (the
// view was unfocused, or the page has just tabbed past its last element), the window
// would not pass the echo on, so it goes to the view directly; otherwise every other
// key would be lost.
static gboolean on_window_key(GtkWidget *window, GdkEventKey *event, gpointer data)
{
    ViewState *v = (ViewState *)data;
    if (gtk_window_get_focus(GTK_WINDOW(window)) == GTK_WIDGET(v->web))
        return FALSE;
    return gtk_widget_event(GTK_WIDGET(v->web), (GdkEvent *)event);
}

// The engine takes the focus from a focus event on its widget. The offscreen window
// itself must not get one: X rejects focus requests for it.
static void send_focus(ViewState *v, bool in)
{
    GtkWidget *widget = GTK_WIDGET(v->web);
    GdkWindow *window = gtk_widget_get_window(widget);
    if (!window)
        return;
    GdkEvent *e = gdk_event_new(GDK_FOCUS_CHANGE);
    e->focus_change.window = GDK_WINDOW(g_object_ref(window));
    e->focus_change.send_event = TRUE;
    e->focus_change.in = in;
    gtk_widget_send_focus_change(widget, e);
    gdk_event_free(e);
}

// The view keeps the focus it was given whatever the page does with it: a page that
// tabs past its ends hands it to the window, which has nothing else to give it to.
// The page itself goes on without a focused element, as a browser's page does when
// the focus went out to the browser, and the next Tab enters it again.
static void on_set_focus(GtkWindow *, GtkWidget *widget, gpointer data)
{
    ViewState *v = (ViewState *)data;
    if (!v->focused || widget == GTK_WIDGET(v->web))
        return;
    gtk_widget_grab_focus(GTK_WIDGET(v->web));
    send_focus(v, true);
}

static gboolean on_damage(GtkWidget *, GdkEvent *, gpointer data)
{
    ((ViewState *)data)->damaged = true;
    return FALSE;
}

ViewState *create_view_state(CoreState *core, int width, int height)
{
    ViewState *v = new ViewState;
    v->core = core;
    v->width = width;
    v->height = height;
    v->objects = std::make_shared<GlobalObjectTable>();

    WebKitSettings *settings = webkit_settings_new();
    // Composited: without it WebKitGTK lays each repainted area over what its backing store
    // held, so where the page is translucent (a panel over the video) the old content
    // shows through, such as a highlight that has moved away.
    webkit_settings_set_hardware_acceleration_policy(settings,
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    webkit_settings_set_enable_write_console_messages_to_stdout(settings, FALSE);
    std::string agent = utf8_of(core->config.user_agent);
    if (!agent.empty())
        webkit_settings_set_user_agent(settings, agent.c_str());
    v->content = make_content_manager(v);
    v->web = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", core->context, "settings",
                                          settings, "user-content-manager", v->content, nullptr));
    g_object_unref(settings);

    // Transparent where the page paints nothing, so the page's own alpha reaches the
    // surface; that takes a window with an alpha channel.
    GdkRGBA clear = {0, 0, 0, 0};
    webkit_web_view_set_background_color(v->web, &clear);
    v->window = gtk_offscreen_window_new();
    GdkVisual *rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(v->window));
    if (rgba)
        gtk_widget_set_visual(v->window, rgba);
    gtk_widget_set_app_paintable(v->window, TRUE);
    gtk_window_set_default_size(GTK_WINDOW(v->window), width, height);
    gtk_widget_set_size_request(GTK_WIDGET(v->web), width, height);
    gtk_container_add(GTK_CONTAINER(v->window), GTK_WIDGET(v->web));

    g_signal_connect(v->web, "notify::title", G_CALLBACK(on_title), v);
    g_signal_connect(v->web, "notify::uri", G_CALLBACK(on_uri), v);
    g_signal_connect(v->web, "mouse-target-changed", G_CALLBACK(on_mouse_target), v);
    g_signal_connect(v->web, "load-changed", G_CALLBACK(on_load_changed), v);
    g_signal_connect(v->web, "load-failed", G_CALLBACK(on_load_failed), v);
    g_signal_connect(v->web, "web-process-terminated", G_CALLBACK(on_terminated), v);
    g_signal_connect(v->web, "notify::is-web-process-responsive", G_CALLBACK(on_responsive), v);
    g_signal_connect(v->web, "script-dialog", G_CALLBACK(on_refused), v);
    g_signal_connect(v->web, "run-file-chooser", G_CALLBACK(on_file_chooser), v);
    g_signal_connect(v->web, "print", G_CALLBACK(on_refused), v);
    g_signal_connect(v->web, "context-menu", G_CALLBACK(on_context_menu), v);
    g_signal_connect(v->web, "permission-request", G_CALLBACK(on_permission), v);
    g_signal_connect(v->window, "damage-event", G_CALLBACK(on_damage), v);
    g_signal_connect(v->window, "key-press-event", G_CALLBACK(on_window_key), v);
    g_signal_connect(v->window, "key-release-event", G_CALLBACK(on_window_key), v);
    g_signal_connect_after(v->window, "set-focus", G_CALLBACK(on_set_focus), v);
    gtk_widget_show_all(v->window);

    v->view = CoreState::make_view(v);
    core->views.push_back(v);
    return v;
}

void destroy_view_state(ViewState *v)
{
    CoreState *core = v->core;
    core->views.erase(std::remove(core->views.begin(), core->views.end(), v), core->views.end());
    for (size_t i = core->connections.size(); i-- > 0;)
        if (core->connections[i]->view == v)
            core->close_connection(core->connections[i].get());
    g_signal_handlers_disconnect_by_data(v->web, v);
    g_signal_handlers_disconnect_by_data(v->window, v);
    g_signal_handlers_disconnect_by_data(v->content, v);
    gtk_widget_destroy(v->window);
    g_object_unref(v->content);
    v->objects->view_alive = false;
    CoreState::free_view(v->view);
    delete v;
}

// ---- surface ----

void ViewState::capture()
{
    damaged = false;
    if (!gtk_widget_get_realized(GTK_WIDGET(web)))
        return;
    int stride = width * 4;  // cairo's own stride for ARGB32
    staging.assign((size_t)stride * height, 0);
    cairo_surface_t *target = cairo_image_surface_create_for_data(staging.data(), CAIRO_FORMAT_ARGB32,
                                                                  width, height, stride);
    cairo_t *cr = cairo_create(target);
    gtk_widget_draw(GTK_WIDGET(web), cr);
    cairo_destroy(cr);
    cairo_surface_flush(target);
    cairo_surface_destroy(target);

    if (!surface)
        surface.reset(make_surface(width, height));
    // Cairo's ARGB32 is B, G, R, A in memory with premultiplied colour; the surface
    // holds straight colour, rounded to nearest.
    const unsigned char *src = staging.data();
    unsigned char *dst = surface->pixels_.data();
    size_t count = (size_t)width * height;
    for (size_t i = 0; i < count; i++, src += 4, dst += 4) {
        unsigned int a = src[3];
        if (a == 255) {
            memcpy(dst, src, 4);
        } else if (a == 0) {
            memset(dst, 0, 4);
        } else {
            for (int k = 0; k < 3; k++) {
                unsigned int c = (src[k] * 255u + a / 2) / a;
                dst[k] = (unsigned char)(c > 255 ? 255 : c);
            }
            dst[3] = (unsigned char)a;
        }
    }
    surface->set_is_dirty(true);
}

// ---- input ----

static GdkModifierType gdk_modifiers(int modifiers)
{
    int state = 0;
    if (modifiers & WebKeyboardEvent::kModShiftKey)
        state |= GDK_SHIFT_MASK;
    if (modifiers & WebKeyboardEvent::kModControlKey)
        state |= GDK_CONTROL_MASK;
    if (modifiers & WebKeyboardEvent::kModAltKey)
        state |= GDK_MOD1_MASK;
    if (modifiers & WebKeyboardEvent::kModMetaKey)
        state |= GDK_META_MASK | GDK_SUPER_MASK;
    if (modifiers & WebKeyboardEvent::kModNumLock)
        state |= GDK_MOD2_MASK;
    return (GdkModifierType)state;
}

static guint32 event_time()
{
    return (guint32)(g_get_monotonic_time() / 1000);
}

static void send_key(ViewState *v, bool press, guint keyval, GdkModifierType state, const char *text)
{
    GdkWindow *window = gtk_widget_get_window(GTK_WIDGET(v->web));
    GdkDisplay *display = gdk_window_get_display(window);
    GdkEvent *e = gdk_event_new(press ? GDK_KEY_PRESS : GDK_KEY_RELEASE);
    e->key.window = GDK_WINDOW(g_object_ref(window));
    e->key.time = event_time();
    e->key.state = state;
    e->key.keyval = keyval;
    e->key.string = g_strdup(text);
    e->key.length = (gint)strlen(text);
    GdkKeymapKey *keys = nullptr;
    gint n = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &n) &&
        n > 0) {
        e->key.hardware_keycode = (guint16)keys[0].keycode;
        e->key.group = (guint8)keys[0].group;
    }
    g_free(keys);
    gdk_event_set_device(e, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
    gtk_widget_event(GTK_WIDGET(v->web), e);
    gdk_event_free(e);
}

static bool is_typed(wchar16 c) { return c >= 0x20 && c != 0x7F; }

static void send_keyboard(ViewState *v, const WebKeyboardEvent &k)
{
    GdkModifierType state = gdk_modifiers(k.modifiers);
    bool shift = (k.modifiers & WebKeyboardEvent::kModShiftKey) != 0;
    wchar16 c = k.text[0];
    char text[8] = {};
    if (is_typed(c))
        WebString(&c, 1).ToUTF8(text, sizeof text - 1);
    guint named = keyval_for_virtual_key(k.virtual_key_code, shift);
    bool keypad = named >= GDK_KEY_KP_Space && named <= GDK_KEY_KP_9;
    bool character_key = named != 0 && !keypad && gdk_keyval_to_unicode(named) >= 0x20;

    switch (k.type) {
    case WebKeyboardEvent::kTypeKeyDown: {
        // A key that types a character goes by that character, so shifted and
        // non-ASCII keys reach the page as typed; the engine makes the keypress itself.
        guint keyval = is_typed(c) && (character_key || named == 0) ? gdk_unicode_to_keyval(c) : named;
        v->typed_char = is_typed(c) ? c : 0;
        if (keyval)
            send_key(v, true, keyval, state, text);
        break;
    }
    case WebKeyboardEvent::kTypeKeyUp:
        v->typed_char = 0;
        if (named)
            send_key(v, false, named, state, "");
        break;
    case WebKeyboardEvent::kTypeChar: {
        // The key down before it typed this already; a character without one
        // (composed text) is typed here.
        if (c == v->typed_char || !is_typed(c)) {
            v->typed_char = 0;
            break;
        }
        guint keyval = gdk_unicode_to_keyval(c);
        send_key(v, true, keyval, state, text);
        send_key(v, false, keyval, state, "");
        break;
    }
    }
}

static guint gdk_button(MouseButton button)
{
    return button == kMouseButton_Middle ? 2 : button == kMouseButton_Right ? 3 : 1;
}

static guint button_mask(MouseButton button)
{
    return button == kMouseButton_Middle  ? GDK_BUTTON2_MASK
           : button == kMouseButton_Right ? GDK_BUTTON3_MASK
                                          : GDK_BUTTON1_MASK;
}

void ViewState::send_input(const InputEvent &event)
{
    GtkWidget *widget = GTK_WIDGET(web);
    GdkWindow *gdk_window = gtk_widget_get_window(widget);
    if (!gdk_window)
        return;
    if (event.kind == InputEvent::key) {
        send_keyboard(this, event.key_event);
        return;
    }
    GdkDisplay *display = gdk_window_get_display(gdk_window);
    GdkDevice *pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(display));
    GdkEvent *e;
    if (event.kind == InputEvent::move) {
        mouse_x = event.x;
        mouse_y = event.y;
        e = gdk_event_new(GDK_MOTION_NOTIFY);
        e->motion.window = GDK_WINDOW(g_object_ref(gdk_window));
        e->motion.time = event_time();
        e->motion.x = e->motion.x_root = mouse_x;
        e->motion.y = e->motion.y_root = mouse_y;
        e->motion.state = buttons;
    } else {
        bool press = event.kind == InputEvent::press;
        e = gdk_event_new(press ? GDK_BUTTON_PRESS : GDK_BUTTON_RELEASE);
        e->button.window = GDK_WINDOW(g_object_ref(gdk_window));
        e->button.time = event_time();
        e->button.x = e->button.x_root = mouse_x;
        e->button.y = e->button.y_root = mouse_y;
        e->button.state = buttons;  // as before the change, like the X server reports it
        e->button.button = gdk_button(event.button);
        if (press)
            buttons |= button_mask(event.button);
        else
            buttons &= ~button_mask(event.button);
    }
    gdk_event_set_device(e, pointer);
    gtk_widget_event(widget, e);
    gdk_event_free(e);
}

static void on_input_taken(GObject *source, GAsyncResult *result, gpointer)
{
    WebKitWebView *web = WEBKIT_WEB_VIEW(source);
    JSCValue *value = webkit_web_view_evaluate_javascript_finish(web, result, nullptr);
    if (value)
        g_object_unref(value);
    if (ViewState *v = view_for_web(web)) {
        v->input_waiting = false;
        v->feed_input();
    }
}

void ViewState::feed_input()
{
    // A page that does not answer (busy, or its process gone) gets the rest anyway.
    if (input_waiting && g_get_monotonic_time() - input_sent_us > 1000000)
        input_waiting = false;
    if (input_waiting || input.empty())
        return;
    InputEvent event = input.front();
    input.pop_front();
    send_input(event);
    input_waiting = true;
    input_sent_us = g_get_monotonic_time();
    webkit_web_view_evaluate_javascript(web, "0", -1, nullptr, nullptr, nullptr, on_input_taken, nullptr);
}

void ViewState::deliver()
{
    // Only what was queued before: a listener that causes more reports gets them in
    // the next Update, and a view destroyed by a listener hears nothing further.
    size_t count = events.size();
    for (size_t i = 0; i < count && !destroyed && !events.empty(); i++) {
        std::function<void()> event = std::move(events.front());
        events.pop_front();
        event();
    }
}

}  // namespace detail

// ---- WebView ----

void WebView::Destroy()
{
    state_->destroyed = true;
    if (!state_->core->updating)
        detail::destroy_view_state(state_);
}

int WebView::width() const { return state_->width; }
int WebView::height() const { return state_->height; }

void WebView::set_view_listener(WebViewListener::View *listener) { state_->view_listener = listener; }
void WebView::set_load_listener(WebViewListener::Load *listener) { state_->load_listener = listener; }
void WebView::set_process_listener(WebViewListener::Process *listener)
{
    state_->process_listener = listener;
}
void WebView::set_js_method_handler(JSMethodHandler *handler) { state_->method_handler = handler; }
WebViewListener::View *WebView::view_listener() const { return state_->view_listener; }
WebViewListener::Load *WebView::load_listener() const { return state_->load_listener; }
WebViewListener::Process *WebView::process_listener() const { return state_->process_listener; }
JSMethodHandler *WebView::js_method_handler() const { return state_->method_handler; }

void WebView::LoadURL(const WebURL &url)
{
    if (!url.IsValid()) {
        state_->last_error = kError_BadParameter;
        return;
    }
    state_->provisional = true;  // the engine shows the new URL before it starts loading
    webkit_web_view_load_uri(state_->web, detail::utf8_of(url.spec()).c_str());
    state_->last_error = kError_None;
}

void WebView::Reload(bool ignore_cache)
{
    state_->provisional = true;
    if (ignore_cache)
        webkit_web_view_reload_bypass_cache(state_->web);
    else
        webkit_web_view_reload(state_->web);
    state_->last_error = kError_None;
}

void WebView::Stop()
{
    webkit_web_view_stop_loading(state_->web);
    state_->last_error = kError_None;
}

WebURL WebView::url() const
{
    return WebURL(detail::from_utf8(webkit_web_view_get_uri(state_->web)));
}

WebString WebView::title() const
{
    return detail::from_utf8(webkit_web_view_get_title(state_->web));
}

bool WebView::IsLoading() const
{
    return webkit_web_view_is_loading(state_->web);
}

void WebView::Focus()
{
    state_->focused = true;
    gtk_widget_grab_focus(GTK_WIDGET(state_->web));
    detail::send_focus(state_, true);
    state_->last_error = kError_None;
}

void WebView::Unfocus()
{
    state_->focused = false;
    detail::send_focus(state_, false);
    gtk_window_set_focus(GTK_WINDOW(state_->window), nullptr);
    state_->last_error = kError_None;
}

BitmapSurface *WebView::surface()
{
    return state_->surface.get();
}

void WebView::InjectMouseMove(int x, int y)
{
    detail::InputEvent e;
    e.kind = detail::InputEvent::move;
    e.x = x;
    e.y = y;
    state_->input.push_back(e);
}

void WebView::InjectMouseDown(MouseButton button)
{
    detail::InputEvent e;
    e.kind = detail::InputEvent::press;
    e.button = button;
    state_->input.push_back(e);
}

void WebView::InjectMouseUp(MouseButton button)
{
    detail::InputEvent e;
    e.kind = detail::InputEvent::release;
    e.button = button;
    state_->input.push_back(e);
}

void WebView::InjectKeyboardEvent(const WebKeyboardEvent &event)
{
    detail::InputEvent e;
    e.kind = detail::InputEvent::key;
    e.key_event = event;
    state_->input.push_back(e);
}

JSValue WebView::CreateGlobalJavascriptObject(const WebString &name)
{
    detail::ViewState *v = state_;
    if (!detail::is_script_identifier(name)) {
        v->last_error = kError_BadParameter;
        return JSValue();
    }
    // Without the page-side helper no page would ever see the object.
    if (!v->core->extension_found) {
        v->last_error = kError_Generic;
        return JSValue();
    }
    detail::GlobalObjectDef *def = v->objects->find(name);
    if (!def) {
        unsigned int id = (unsigned int)v->objects->objects.size() + 1;
        v->objects->objects.push_back(detail::GlobalObjectDef{name, id, {}, {}});
        def = &v->objects->objects.back();
    }
    v->last_error = kError_None;
    return JSValue(detail::GlobalObjectTable::handle(v->objects, def->id));
}

void WebView::ExecuteJavascript(const WebString &script, const WebString &)
{
    std::string text = detail::utf8_of(script);
    webkit_web_view_evaluate_javascript(state_->web, text.c_str(), (gssize)text.size(), nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
    state_->last_error = kError_None;
}

Error WebView::last_error() const
{
    return state_->last_error;
}

}  // namespace Awesomium
