// The JavaScript API of the portal: binds the program's objects to web_view.
// Main thread only, once, from ui_init, after the view exists and before the portal
// loads.
#pragma once

// Hands the view its listeners: load, view, process, in that order.
void ui_bind_js();
