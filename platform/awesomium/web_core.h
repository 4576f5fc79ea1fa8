// The web engine of the process: starts the engine once, makes offscreen views and
// drives them. Main thread only. Everything the views report to the program happens
// inside Update, which the program calls often (every 10 ms keeps pages lively).
//
// The engine runs each page in a separate process with a small page-side helper
// (zandoro-webext.so), looked for in the directory that ZANDORO_WEBEXT_DIR names, else
// in "zandoro-webext" next to the program. Needs an X display. Pages keep cookies,
// storage and cache in "zandoro" under the user's XDG data and cache directories.
#pragma once

#include "platform/awesomium/web_string.h"
#include "platform/awesomium/web_view.h"

namespace Awesomium {

struct WebConfig {
    WebString user_agent;  // empty: the engine's own
    // How long a page waits for the result of a method call with a return value.
    unsigned int js_result_timeout_ms = 5000;
};

// Sessions are not offered: all views share the core's one session.
class WebSession;

enum WebViewType { kWebViewType_Offscreen = 0, kWebViewType_Window = 1 };

class WebCore {
public:
    // The process's core; null when no display can be opened. Later calls give the
    // same core and ignore their configuration.
    static WebCore *Initialize(const WebConfig &config);
    static WebCore *instance();
    // Destroys every view and the core; Initialize may start a new one afterwards.
    static void Shutdown();

    // An offscreen view; session must be null and type offscreen, else null.
    WebView *CreateWebView(int width, int height, WebSession *session = nullptr,
                           WebViewType type = kWebViewType_Offscreen);

    // Runs the engine's pending work without waiting, feeds injected input to the
    // pages, refreshes dirty surfaces, then delivers what the views queued: listener
    // calls and method calls, answering calls with a return value.
    void Update();

private:
    friend struct detail::CoreState;
    explicit WebCore(detail::CoreState *state) : state_(state) {}
    ~WebCore() = default;
    detail::CoreState *state_;
};

}  // namespace Awesomium
