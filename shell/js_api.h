// The JavaScript API of the portal: the global object "Zandoro" with its five string
// properties and fifteen methods, and the objects through which web_view reports to
// the program (three listeners and the method handler).
//
// Main thread only, once, from ui_init, after the view exists and before the portal
// loads, so the portal's first script finds the object. The object, its members and the
// four objects stay in place until the process ends.
#pragma once

// Ends the process with exit code 1, writing nothing, when the view cannot make the
// global object. Writes "Finished setting Handlers" (flushed) when done.
void ui_bind_js();
