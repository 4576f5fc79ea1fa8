// The web view host: brings up the web engine and the one offscreen view in which the
// operator's portal runs, and converts between the view's strings and UTF-8.
// Main thread only. ui_init runs once during start-up; web_core and web_view are null
// before it and then live until the process ends.
#pragma once

#include <string>

#include "platform/awesomium/awesomium.h"

extern Awesomium::WebCore *web_core;
extern Awesomium::WebView *web_view;

// Starts the engine, makes the view at the video size, has the JavaScript API bound
// to it, loads the portal, gives the view the focus and allocates the two pictures
// the render tick converts the view into. Ends the process with exit code 1 when the
// engine, the view or a picture cannot be had.
void ui_init();

// A NUL-terminated UTF-8 text as the view's string.
Awesomium::WebString web_string_from_utf8(const char *text);
// The view's string as UTF-8 bytes.
std::string web_string_to_utf8(const Awesomium::WebString &text);
