// Driving the web-view layer from a test: start the core, and run Update until a
// condition holds.
#pragma once

#include <functional>

#include "platform/awesomium/awesomium.h"
#include "tests/support/deadline.h"

// Points the page-side helper at this build's and the pages' cookies, storage and
// cache at a directory of this test process (removed when it exits), and leaves out
// the accessibility bridge. Call before the core starts; web_test_core does.
void web_test_environment();

// The core, after web_test_environment; null when no X display can be opened (the
// test then skips).
Awesomium::WebCore *web_test_core(const Awesomium::WebConfig &config = Awesomium::WebConfig());

// Calls Update every few milliseconds until done() is true or timeout_ms passed;
// returns done().
bool web_pump_until(const std::function<bool()> &done, int timeout_ms = test_deadline_ms);
// Calls Update for that long.
void web_pump_for(int ms);
