#include "shell/js_api.h"

#include <stdlib.h>

#include <iostream>

#include "shell/js_handler.h"
#include "shell/web_host.h"
#include "shell/web_listeners.h"

using Awesomium::JSObject;
using Awesomium::JSValue;

static const char *const properties[][2] = {
    {"getVersion", "0.1"},  // not the program's version: System_GetVersionNumber gives that
    {"Video_SOURCE_16_9", "16x9"},
    {"Video_SOURCE_4_3", "4x3"},
    {"Video_FULL", "FULL"},
    {"Video_PIG", "PIG"},
};

// The flag decides which of the handler's two calls a method reaches.
static const struct {
    const char *name;
    bool returns_value;
} methods[] = {
    {"System_GetMACAddress", true},
    {"System_GetIPAddress", true},
    {"System_GetVersionNumber", true},
    {"Video_SetAlphaLevel", false},
    {"Video_SetAspectRatio", false},
    {"Video_SetSubtitles", false},
    {"Video_SetScreenMode", false},
    {"Video_SetPigPosition", false},
    {"Video_GetFullScreen", true},
    {"Video_SetFullScreen", false},
    {"Audio_SetMute", false},
    {"Audio_SetVolume", false},
    {"Media_Play", false},
    {"Media_Stop", false},
    {"Render_StartLayout", false},
};

// One of each for the life of the process: the view may call them until it ends.
static ZandoroLoadListener *load_listener;
static ZandoroViewListener *view_listener;
static ZandoroProcessListener *process_listener;
static ZandoroJSHandler *js_handler;

void ui_bind_js()
{
    JSValue result = web_view->CreateGlobalJavascriptObject(web_string_from_utf8("Zandoro"));
    // The portal is useless without its API; leave at once, before anything is written.
    if (web_view->last_error() != 0)
        exit(1);
    JSObject object = result.ToObject();
    for (const auto &property : properties)
        object.SetProperty(web_string_from_utf8(property[0]), JSValue(web_string_from_utf8(property[1])));
    for (const auto &method : methods)
        object.SetCustomMethod(web_string_from_utf8(method.name), method.returns_value);

    if (!load_listener)
        load_listener = new ZandoroLoadListener();
    web_view->set_load_listener(load_listener);
    if (!view_listener)
        view_listener = new ZandoroViewListener();
    web_view->set_view_listener(view_listener);
    if (!process_listener)
        process_listener = new ZandoroProcessListener();
    web_view->set_process_listener(process_listener);
    if (!js_handler)
        js_handler = new ZandoroJSHandler();
    web_view->set_js_method_handler(js_handler);

    std::cout << "Finished setting Handlers" << std::endl;
}
