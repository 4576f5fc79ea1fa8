// The listeners through which the web view reports the portal's events. They write
// progress lines to standard output (each flushed) and change nothing else. No data
// members: one instance of each is handed to the view at start-up and never freed.
// The view calls them on the main thread, inside WebCore::Update.
#pragma once

#include "platform/awesomium/awesomium.h"

class ZandoroViewListener : public Awesomium::WebViewListener::View {
public:
    void OnChangeTitle(Awesomium::WebView *caller, const Awesomium::WebString &title) override;
    void OnChangeAddressBar(Awesomium::WebView *caller, const Awesomium::WebURL &url) override;
    void OnChangeTooltip(Awesomium::WebView *caller, const Awesomium::WebString &tooltip) override;
    void OnChangeTargetURL(Awesomium::WebView *caller, const Awesomium::WebURL &url) override;
    void OnChangeCursor(Awesomium::WebView *caller, Awesomium::Cursor cursor) override;
    void OnChangeFocus(Awesomium::WebView *caller, Awesomium::FocusedElementType focused_type) override;
    void OnAddConsoleMessage(Awesomium::WebView *caller, const Awesomium::WebString &message,
                             int line_number, const Awesomium::WebString &source) override;
    void OnShowCreatedWebView(Awesomium::WebView *caller, Awesomium::WebView *new_view,
                              const Awesomium::WebURL &opener_url, const Awesomium::WebURL &target_url,
                              const Awesomium::Rect &initial_pos, bool is_popup) override;
};

class ZandoroLoadListener : public Awesomium::WebViewListener::Load {
public:
    void OnBeginLoadingFrame(Awesomium::WebView *caller, Awesomium::int64 frame_id, bool is_main_frame,
                             const Awesomium::WebURL &url, bool is_error_page) override;
    void OnFailLoadingFrame(Awesomium::WebView *caller, Awesomium::int64 frame_id, bool is_main_frame,
                            const Awesomium::WebURL &url, int error_code,
                            const Awesomium::WebString &error_desc) override;
    void OnFinishLoadingFrame(Awesomium::WebView *caller, Awesomium::int64 frame_id, bool is_main_frame,
                              const Awesomium::WebURL &url) override;
    void OnDocumentReady(Awesomium::WebView *caller, const Awesomium::WebURL &url) override;
};

class ZandoroProcessListener : public Awesomium::WebViewListener::Process {
public:
    void OnUnresponsive(Awesomium::WebView *caller) override;
    void OnResponsive(Awesomium::WebView *caller) override;
    void OnCrashed(Awesomium::WebView *caller, Awesomium::TerminationStatus status) override;
};
