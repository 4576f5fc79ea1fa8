#include "shell/js_handler.h"

#include <stdint.h>

#include <iostream>
#include <string>

#include "engine/media_control.h"
#include "shell/build_config.h"
#include "shell/media_api.h"
#include "shell/web_host.h"

using Awesomium::JSArray;
using Awesomium::JSValue;
using Awesomium::WebString;

void ZandoroJSHandler::OnMethodCall(Awesomium::WebView *, unsigned int, const WebString &method_name,
                                    const JSArray &args)
{
    js_method_call(method_name, args);
}

JSValue ZandoroJSHandler::OnMethodCallWithReturnValue(Awesomium::WebView *, unsigned int,
                                                      const WebString &method_name, const JSArray &args)
{
    return js_method_call_with_result(method_name, args);
}

static bool is(const WebString &method_name, const char *name)
{
    return method_name == web_string_from_utf8(name);
}

// Scripts may pass fewer arguments than a method reads.
static bool passed(const JSArray &args, unsigned int index)
{
    return index < args.size() && !args[index].IsUndefined();
}

static int32_t arg_integer(const JSArray &args, unsigned int index)
{
    return passed(args, index) ? args[index].ToInteger() : 0;
}

static WebString arg_text(const JSArray &args, unsigned int index)
{
    return passed(args, index) ? args[index].ToString() : WebString();
}

static void unhandled_call(const WebString &method_name)
{
    std::cout << "Callback(" << web_string_to_utf8(method_name) << "," << ")" << std::endl;
}

void js_method_call(const WebString &method_name, const JSArray &args)
{
    if (is(method_name, "Media_Play")) {
        media_play(web_string_to_utf8(arg_text(args, 0)).c_str());
    } else if (is(method_name, "Media_Stop")) {
        if (MediaControl)
            MediaControl->stop_request = 1;
    } else if (is(method_name, "Video_SetPigPosition")) {
        int32_t x = arg_integer(args, 0);
        int32_t y = arg_integer(args, 1);
        int32_t width = arg_integer(args, 2);
        int32_t height = arg_integer(args, 3);
        media_set_pig_pos(x, y, width, height);
    } else if (is(method_name, "Video_SetScreenMode")) {
        WebString text = arg_text(args, 0);
        int32_t mode = text == web_string_from_utf8("FULL") ? 0 : text == web_string_from_utf8("PIG") ? 1 : 0;
        media_set_screen_mode(mode);
    } else if (is(method_name, "Video_SetFullScreen")) {
        media_set_fullscreen(arg_integer(args, 0));
    } else if (is(method_name, "Video_SetAspectRatio")) {
        media_set_aspect_ratio(arg_integer(args, 0));
    } else if (is(method_name, "Video_SetAlphaLevel")) {
        media_set_alpha_level(arg_integer(args, 0));
    } else if (is(method_name, "Video_SetSubtitles")) {
        media_set_subtitles(arg_integer(args, 0));
    } else if (is(method_name, "Render_StartLayout")) {
        // The portal announces a layout; nothing here depends on it.
    } else {
        unhandled_call(method_name);
    }
}

JSValue js_method_call_with_result(const WebString &method_name, const JSArray &)
{
    if (is(method_name, "System_GetVersionNumber"))
        return JSValue(web_string_from_utf8(ZANDORO_VERSION));
    // No address is looked up: the portal gets the same answer on every machine.
    if (is(method_name, "System_GetMACAddress"))
        return JSValue(web_string_from_utf8("n/a"));
    if (is(method_name, "System_GetIPAddress"))
        return JSValue(web_string_from_utf8("n/a"));
    if (is(method_name, "Video_GetFullScreen"))
        return JSValue(ui_get_fullscreen_state());
    unhandled_call(method_name);
    return JSValue(0);
}
