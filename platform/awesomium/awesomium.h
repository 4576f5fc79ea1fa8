// The web-view layer in one include: core, views, surfaces, strings, URLs, script
// values, keyboard events and the listener interfaces.
#pragma once

#include "platform/awesomium/js_value.h"
#include "platform/awesomium/web_core.h"
#include "platform/awesomium/web_keyboard_event.h"
#include "platform/awesomium/web_string.h"
#include "platform/awesomium/web_url.h"
#include "platform/awesomium/web_view.h"
#include "platform/awesomium/web_view_listener.h"
