#include "platform/win32/win_gtk.h"

#include <gtk/gtk.h>

static bool gtk_started;

bool win_gtk_init()
{
    if (!gtk_started)
        gtk_started = gtk_init_check(nullptr, nullptr);
    return gtk_started;
}
