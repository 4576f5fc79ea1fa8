#include "shell/web_listeners.h"

#include <iostream>

#include "shell/web_host.h"

using namespace Awesomium;

void ZandoroViewListener::OnChangeTitle(WebView *, const WebString &title)
{
    std::cout << "[ZandoroViewListener::OnChangeTitle]\n\tTITLE: " << web_string_to_utf8(title)
              << std::endl;
}

void ZandoroViewListener::OnChangeAddressBar(WebView *, const WebURL &url)
{
    std::cout << "OnChangeAddressBar: " << web_string_to_utf8(url.host()) << "/"
              << web_string_to_utf8(url.filename()) << std::endl;
}

void ZandoroViewListener::OnChangeTooltip(WebView *, const WebString &) {}

void ZandoroViewListener::OnChangeTargetURL(WebView *, const WebURL &url)
{
    std::cout << "OnChangeTargetURL: " << web_string_to_utf8(url.host()) << "/"
              << web_string_to_utf8(url.filename()) << std::endl;
}

void ZandoroViewListener::OnChangeCursor(WebView *, Cursor) {}

void ZandoroViewListener::OnChangeFocus(WebView *, FocusedElementType) {}

void ZandoroViewListener::OnAddConsoleMessage(WebView *, const WebString &message, int line_number,
                                              const WebString &source)
{
    std::cout << web_string_to_utf8(source) << ":" << line_number << " " << web_string_to_utf8(message)
              << std::endl;
}

void ZandoroViewListener::OnShowCreatedWebView(WebView *, WebView *, const WebURL &, const WebURL &,
                                               const Rect &, bool)
{
}

void ZandoroLoadListener::OnBeginLoadingFrame(WebView *, int64, bool, const WebURL &, bool)
{
    std::cout << "OnBeginLoadingFrame()" << std::endl;
}

void ZandoroLoadListener::OnFailLoadingFrame(WebView *, int64, bool, const WebURL &, int,
                                             const WebString &)
{
    std::cout << "OnFailLoadingFrame()" << std::endl;
}

void ZandoroLoadListener::OnFinishLoadingFrame(WebView *, int64, bool, const WebURL &)
{
    std::cout << "OnFinishLoadingFrame()" << std::endl;
}

void ZandoroLoadListener::OnDocumentReady(WebView *, const WebURL &)
{
    std::cout << "OnDocumentReady()" << std::endl;
}

void ZandoroProcessListener::OnUnresponsive(WebView *)
{
    std::cout << "OnUnresponsive()" << std::endl;
}

void ZandoroProcessListener::OnResponsive(WebView *)
{
    std::cout << "OnResponsive()" << std::endl;
}

void ZandoroProcessListener::OnCrashed(WebView *, TerminationStatus)
{
    std::cout << "OnCrashed()" << std::endl;
}
