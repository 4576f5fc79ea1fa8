// The web engine's own start, with nothing of ours around it: what any program that shows
// a page in WebKitGTK pays from exec to the page's load. It does what the web view layer
// must (GTK, a context, an offscreen view in the composited mode, a load) and prints a line
// at each step; players-bench --floor stamps those lines as it stamps the program's.
//
//     web_start_floor URL
#include <gtk/gtk.h>
#include <stdio.h>
#include <webkit2/webkit2.h>

static void on_load_changed(WebKitWebView *, WebKitLoadEvent event, gpointer)
{
    if (event == WEBKIT_LOAD_STARTED) {
        printf("load started\n");
    } else if (event == WEBKIT_LOAD_COMMITTED) {
        printf("load committed\n");
    } else if (event == WEBKIT_LOAD_FINISHED) {
        printf("load finished\n");
        gtk_main_quit();
    }
    fflush(stdout);
}

static void step(const char *what)
{
    printf("%s\n", what);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: web_start_floor URL\n");
        return 2;
    }
    step("main");
    if (!gtk_init_check(nullptr, nullptr)) {
        fprintf(stderr, "web_start_floor: no display\n");
        return 1;
    }
    step("gtk_init");
    WebKitWebContext *context = webkit_web_context_new();
    step("context");
    WebKitSettings *settings = webkit_settings_new();
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS);
    WebKitWebView *view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "settings", settings, nullptr));
    GtkWidget *window = gtk_offscreen_window_new();
    gtk_widget_set_size_request(GTK_WIDGET(view), 1024, 576);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
    gtk_widget_show_all(window);
    step("view");
    g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), nullptr);
    webkit_web_view_load_uri(view, argv[1]);
    step("load_uri");
    gtk_main();
    gtk_widget_destroy(window);
    g_object_unref(settings);
    g_object_unref(context);
    return 0;
}
