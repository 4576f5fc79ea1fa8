#include "shell/web_host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/picture_scale.h"
#include "shell/config.h"
#include "shell/js_api.h"
#include "shell/ui_compose.h"

Awesomium::WebCore *web_core;
Awesomium::WebView *web_view;

// The engine keeps using its configuration, so it lives as long as the process.
static Awesomium::WebConfig *web_config;

// Nothing can run without the view; the process ends as other start-up failures do.
static void ui_init_failed(const char *what)
{
    fprintf(stderr, "%s\n", what);
    exit(1);
}

void ui_init()
{
    if (!web_config)
        web_config = new Awesomium::WebConfig();
    web_core = Awesomium::WebCore::Initialize(*web_config);
    if (!web_core)
        ui_init_failed("Cannot start the web view (no display?)");
    web_view = web_core->CreateWebView(PlayerConfig.video_w, PlayerConfig.video_h, 0,
                                       Awesomium::kWebViewType_Offscreen);
    if (!web_view)
        ui_init_failed("Cannot create the web view");
    // The portal's first script must find the API, so it is bound before the load.
    ui_bind_js();
    Awesomium::WebURL *url;
    {
        Awesomium::WebString portal = web_string_from_utf8(PlayerConfig.portal_url);
        url = new Awesomium::WebURL(portal);
    }
    web_view->LoadURL(*url);
    web_view->Focus();
    UiBgraPicture = picture_alloc(AV_PIX_FMT_BGRA, PlayerConfig.video_w, PlayerConfig.video_h);
    UiPicture = picture_alloc(AV_PIX_FMT_YUVA420P, PlayerConfig.video_w, PlayerConfig.video_h);
    if (!UiBgraPicture || !UiPicture)
        ui_init_failed("Cannot allocate the UI pictures");
    delete url;
}

Awesomium::WebString web_string_from_utf8(const char *text)
{
    return Awesomium::WebString::CreateFromUTF8(text, (unsigned int)strlen(text));
}

std::string web_string_to_utf8(const Awesomium::WebString &text)
{
    if (text.IsEmpty())
        return std::string();
    unsigned int size = text.ToUTF8(nullptr, 0);
    char *bytes = new char[size];
    unsigned int written = text.ToUTF8(bytes, size);
    std::string result(bytes, written);
    delete[] bytes;
    return result;
}
