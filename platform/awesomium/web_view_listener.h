// What the program implements to hear from a web view. The view calls these only on
// the main thread, from inside WebCore::Update, and never after the listener was
// replaced or the view destroyed. The first argument is the view that reports.
#pragma once

#include "platform/awesomium/js_value.h"
#include "platform/awesomium/web_string.h"
#include "platform/awesomium/web_url.h"

namespace Awesomium {

class WebView;

enum Cursor { kCursor_Pointer = 0, kCursor_Hand, kCursor_IBeam, kCursor_Other };
enum FocusedElementType { kFocusedElementType_None = 0, kFocusedElementType_Text };
enum TerminationStatus {
    kTerminationStatus_Crashed = 0,
    kTerminationStatus_OutOfMemory,
    kTerminationStatus_Killed,  // ended on purpose (by the view's owner)
};

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

namespace WebViewListener {

class View {
public:
    virtual void OnChangeTitle(WebView *caller, const WebString &title) = 0;
    // The committed URL of the main frame, and the page's own changes of it.
    virtual void OnChangeAddressBar(WebView *caller, const WebURL &url) = 0;
    // Never called: an offscreen view draws no tooltips.
    virtual void OnChangeTooltip(WebView *caller, const WebString &tooltip) = 0;
    // The link under the mouse; an empty URL when the mouse leaves it.
    virtual void OnChangeTargetURL(WebView *caller, const WebURL &url) = 0;
    // Never called: the offscreen view has no cursor of its own.
    virtual void OnChangeCursor(WebView *caller, Cursor cursor) = 0;
    // Never called.
    virtual void OnChangeFocus(WebView *caller, FocusedElementType focused_type) = 0;
    // console.log and friends (the text of their first argument), uncaught script
    // errors and failed resource loads. line_number is 0 when the page gave none;
    // source is the script's or the document's URL.
    virtual void OnAddConsoleMessage(WebView *caller, const WebString &message,
                                     int line_number, const WebString &source) = 0;
    // Never called: pages cannot open windows in this view.
    virtual void OnShowCreatedWebView(WebView *caller, WebView *new_view,
                                      const WebURL &opener_url, const WebURL &target_url,
                                      const Rect &initial_pos, bool is_popup) = 0;
    virtual ~View() {}
};

// Loads of the main frame (frame_id 1). A failed load reports Begin and Fail, no Finish.
class Load {
public:
    virtual void OnBeginLoadingFrame(WebView *caller, int64 frame_id, bool is_main_frame,
                                     const WebURL &url, bool is_error_page) = 0;
    virtual void OnFailLoadingFrame(WebView *caller, int64 frame_id, bool is_main_frame,
                                    const WebURL &url, int error_code,
                                    const WebString &error_desc) = 0;
    virtual void OnFinishLoadingFrame(WebView *caller, int64 frame_id, bool is_main_frame,
                                      const WebURL &url) = 0;
    // The document's DOM is complete (DOMContentLoaded), images may still load.
    virtual void OnDocumentReady(WebView *caller, const WebURL &url) = 0;
    virtual ~Load() {}
};

// The page's process. After OnCrashed the view is blank until the next load.
class Process {
public:
    virtual void OnUnresponsive(WebView *caller) = 0;
    virtual void OnResponsive(WebView *caller) = 0;
    virtual void OnCrashed(WebView *caller, TerminationStatus status) = 0;
    virtual ~Process() {}
};

}  // namespace WebViewListener

// Calls of methods that the program set with JSObject::SetCustomMethod.
// remote_object_id is the JSObject::remote_id of the object whose method was called.
class JSMethodHandler {
public:
    virtual void OnMethodCall(WebView *caller, unsigned int remote_object_id,
                              const WebString &method_name, const JSArray &args) = 0;
    // The page waits for the result. If it does not come within the core's
    // js_result_timeout_ms, the call gives undefined in the page and the late
    // result is dropped.
    virtual JSValue OnMethodCallWithReturnValue(WebView *caller, unsigned int remote_object_id,
                                                const WebString &method_name,
                                                const JSArray &args) = 0;
    virtual ~JSMethodHandler() {}
};

}  // namespace Awesomium
