#include "shell/js_api.h"

#include "shell/web_host.h"
#include "shell/web_listeners.h"

// One of each for the life of the process: the view may call them until it ends.
static ZandoroLoadListener *load_listener;
static ZandoroViewListener *view_listener;
static ZandoroProcessListener *process_listener;

void ui_bind_js()
{
    if (!load_listener)
        load_listener = new ZandoroLoadListener();
    web_view->set_load_listener(load_listener);
    if (!view_listener)
        view_listener = new ZandoroViewListener();
    web_view->set_view_listener(view_listener);
    if (!process_listener)
        process_listener = new ZandoroProcessListener();
    web_view->set_process_listener(process_listener);
}
