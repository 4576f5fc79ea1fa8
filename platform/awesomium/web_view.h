// One offscreen web view: a page of width x height pixels that paints into a
// BitmapSurface. Made by WebCore::CreateWebView; main thread only. Operations queue
// their work and return at once; the page loads, runs, paints and reports (listener
// and method-handler calls) while the program calls WebCore::Update.
#pragma once

#include <vector>

#include "platform/awesomium/js_value.h"
#include "platform/awesomium/web_keyboard_event.h"
#include "platform/awesomium/web_string.h"
#include "platform/awesomium/web_url.h"
#include "platform/awesomium/web_view_listener.h"

namespace Awesomium {

namespace detail {
struct ViewState;
struct CoreState;
}

// The view's pixels: width x height, 4 bytes each in the order B, G, R, A with straight
// (not premultiplied) alpha, rows row_span bytes apart (width x 4, no gaps). WebCore::
// Update rewrites the buffer and sets the dirty flag when the page has painted; the
// flag stays set until the program clears it.
class BitmapSurface {
public:
    const unsigned char *buffer() const { return pixels_.data(); }
    int width() const { return width_; }
    int height() const { return height_; }
    int row_span() const { return width_ * 4; }
    bool is_dirty() const { return dirty_; }
    void set_is_dirty(bool dirty) { dirty_ = dirty; }

private:
    friend struct detail::ViewState;
    BitmapSurface(int width, int height);

    int width_, height_;
    std::vector<unsigned char> pixels_;
    bool dirty_ = false;
};

enum MouseButton { kMouseButton_Left = 0, kMouseButton_Middle, kMouseButton_Right };

class WebView {
public:
    // Ends the page and frees the view; nothing may use the pointer afterwards.
    void Destroy();

    int width() const;
    int height() const;

    // Each takes effect for the next event delivered; null stops the reports.
    void set_view_listener(WebViewListener::View *listener);
    void set_load_listener(WebViewListener::Load *listener);
    void set_process_listener(WebViewListener::Process *listener);
    void set_js_method_handler(JSMethodHandler *handler);
    WebViewListener::View *view_listener() const;
    WebViewListener::Load *load_listener() const;
    WebViewListener::Process *process_listener() const;
    JSMethodHandler *js_method_handler() const;

    // The caller may free url right after; a URL that is not valid sets
    // kError_BadParameter and loads nothing.
    void LoadURL(const WebURL &url);
    void Reload(bool ignore_cache);
    void Stop();
    WebURL url() const;
    WebString title() const;
    bool IsLoading() const;

    // Keyboard events go to the page whether or not it has the focus; the focus
    // decides what the page's document.hasFocus() and focus events say.
    void Focus();
    void Unfocus();

    // Null until the page first painted; then the same surface for the view's life.
    BitmapSurface *surface();

    // Pixels from the top left of the view. A press or release happens at the last
    // position moved to. Input reaches the page in order, from the next Update on,
    // each event once the page has taken the one before.
    // A key down with a typed character in text[0] types it, and the character event
    // with the same text that follows is taken as done; a character event on its own
    // types its text. Keys without a virtual-key code and without text are dropped.
    void InjectMouseMove(int x, int y);
    void InjectMouseDown(MouseButton button);
    void InjectMouseUp(MouseButton button);
    void InjectKeyboardEvent(const WebKeyboardEvent &event);

    // A global object of that name in every document the view starts from now on,
    // there before the document's first script runs (a document already running does
    // not get it). The name must be a JavaScript identifier; asking again for a name
    // gives the object already made. kError_Generic when the page-side helper is
    // missing.
    JSValue CreateGlobalJavascriptObject(const WebString &name);
    // Starts a script in the main frame (frame_xpath is not used); it runs while
    // Update is called. Its result is dropped.
    void ExecuteJavascript(const WebString &script, const WebString &frame_xpath);

    Error last_error() const;

private:
    friend struct detail::CoreState;
    explicit WebView(detail::ViewState *state) : state_(state) {}
    ~WebView() = default;
    detail::ViewState *state_;
};

}  // namespace Awesomium
