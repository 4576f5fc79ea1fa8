// Modal dialogs from templates, and the dialog's default message handling.
#include "platform/win32/win_dialog.h"

#include <gdk/gdkx.h>
#include <string.h>

#include <string>

#include "platform/win32/win_gtk.h"
#include "platform/win32/win_resource.h"
#include "platform/win32/win_text.h"
#include "platform/win32/win_window_state.h"

namespace {

// Dialog units: a quarter of the font's average character width across, an eighth of
// its height down, as Windows measures them.
struct DialogUnits {
    double x, y;
};

DialogUnits dialog_units(GtkWidget *widget)
{
    PangoLayout *layout = gtk_widget_create_pango_layout(
        widget, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout, &width, &height);
    g_object_unref(layout);
    return {(width / 52.0) / 4.0, height / 8.0};
}

std::string button_label(LPCWSTR text)
{
    std::string label;
    for (char c : win_utf8_from_wide(text))
        label += c == '&' ? '_' : c;
    return label;
}

void on_button_clicked(GtkButton *button, gpointer data)
{
    int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "win-control-id"));
    win_post((HWND)data, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

gboolean on_dialog_key(GtkWidget *, GdkEventKey *event, gpointer data)
{
    if (event->keyval != GDK_KEY_Escape)
        return FALSE;
    win_post((HWND)data, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return TRUE;
}

gboolean on_dialog_delete(GtkWidget *, GdkEvent *, gpointer data)
{
    win_post((HWND)data, WM_CLOSE, 0, 0);
    return TRUE;
}

// Builds the controls; returns the first one that takes the focus, or null.
GtkWidget *add_controls(GtkFixed *fixed, HINSTANCE instance, const WinDialogTemplate &t,
                        DialogUnits du, GtkWindow *window, HWND hwnd)
{
    GtkWidget *first_tabstop = nullptr;
    for (int i = 0; i < t.control_count; i++) {
        const WinDialogControl &c = t.controls[i];
        std::string cls = win_utf8_from_wide(c.class_name);
        GtkWidget *widget = nullptr;
        if (cls == "STATIC" && (c.style & 0x1F) == SS_ICON) {
            // An icon control takes the icon's own size, whatever the template says.
            GdkPixbuf *icon = (GdkPixbuf *)LoadImageW(instance, c.text, IMAGE_ICON, 0, 0, 0);
            widget = icon ? gtk_image_new_from_pixbuf(icon) : gtk_image_new();
        } else if (cls == "STATIC") {
            widget = gtk_label_new(win_utf8_from_wide(c.text).c_str());
            gtk_widget_set_size_request(widget, (int)(c.cx * du.x), (int)(c.cy * du.y));
        } else if (cls == "BUTTON") {
            widget = gtk_button_new_with_mnemonic(button_label(c.text).c_str());
            gtk_widget_set_size_request(widget, (int)(c.cx * du.x), (int)(c.cy * du.y));
            g_object_set_data(G_OBJECT(widget), "win-control-id", GINT_TO_POINTER(c.id));
            g_signal_connect(widget, "clicked", G_CALLBACK(on_button_clicked), hwnd);
            gtk_widget_set_can_focus(widget, (c.style & WS_TABSTOP) != 0);
            if ((c.style & 0xF) == BS_DEFPUSHBUTTON) {
                gtk_widget_set_can_default(widget, TRUE);
                gtk_window_set_default(window, widget);
            }
        } else {
            continue;
        }
        gtk_widget_set_name(widget, cls.c_str());
        gtk_fixed_put(fixed, widget, (int)(c.x * du.x), (int)(c.y * du.y));
        if (!first_tabstop && (c.style & WS_TABSTOP))
            first_tabstop = widget;
    }
    return first_tabstop;
}

}  // namespace

LRESULT win_dialog_call(WinWindow *w, UINT message, WPARAM wparam, LPARAM lparam)
{
    HWND hwnd = w->handle;
    INT_PTR handled = w->dlg_proc ? w->dlg_proc(hwnd, message, wparam, lparam) : FALSE;
    // The close box means Cancel, unless the dialog procedure says otherwise.
    if (!handled && message == WM_CLOSE && win_window_get(hwnd))
        return win_window_call(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return handled;
}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR template_name, HWND owner, DLGPROC proc,
                        LPARAM param)
{
    const WinDialogTemplate *t =
        (const WinDialogTemplate *)win_find_resource(instance, RT_DIALOG, template_name);
    if (!t || !win_gtk_init())
        return -1;

    WinWindow *w = new WinWindow();
    w->kind = win_dialog_window;
    w->dlg_proc = proc;
    w->style = t->style;
    w->ex_style = t->ex_style;
    w->toplevel = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow *window = GTK_WINDOW(w->toplevel);
    gtk_window_set_title(window, win_utf8_from_wide(t->caption).c_str());
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_modal(window, TRUE);
    gtk_window_set_decorated(window, (t->style & WS_CAPTION) != 0);
    GtkWindow *owner_window = win_gtk_window(owner);
    if (owner_window) {
        gtk_window_set_transient_for(window, owner_window);
        gtk_window_set_destroy_with_parent(window, TRUE);
    }
    gtk_window_set_position(window, (t->style & DS_CENTER)
                                        ? (owner_window ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER)
                                        : GTK_WIN_POS_NONE);

    GtkWidget *fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window), fixed);
    gtk_widget_realize(w->toplevel);
    w->handle = (HWND)(uintptr_t)gdk_x11_window_get_xid(gtk_widget_get_window(w->toplevel));
    HWND hwnd = w->handle;
    win_window_add(w);

    DialogUnits du = dialog_units(fixed);
    gtk_widget_set_size_request(fixed, (int)(t->cx * du.x), (int)(t->cy * du.y));
    GtkWidget *first_tabstop = add_controls(GTK_FIXED(fixed), instance, *t, du, window, hwnd);
    gtk_widget_show_all(fixed);
    g_signal_connect(w->toplevel, "key-press-event", G_CALLBACK(on_dialog_key), hwnd);
    g_signal_connect(w->toplevel, "delete-event", G_CALLBACK(on_dialog_delete), hwnd);

    if (SendMessageW(hwnd, WM_INITDIALOG, 0, param) && first_tabstop)
        gtk_widget_grab_focus(first_tabstop);
    if (win_window_get(hwnd) && (t->style & WS_VISIBLE))
        gtk_window_present(window);

    INT_PTR result = -1;
    for (;;) {
        WinWindow *d = win_window_get(hwnd);
        if (!d)
            break;
        if (d->dialog_ended) {
            result = d->dialog_result;
            DestroyWindow(hwnd);
            break;
        }
        MSG msg;
        win_next_message(&msg, true, true);
        if (msg.message == WM_QUIT) {
            // The outer loop must see it too.
            PostQuitMessage((int)msg.wParam);
            result = 0;
            DestroyWindow(hwnd);
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (owner_window && win_window_get(owner))
        gtk_window_present(owner_window);
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result)
{
    WinWindow *w = win_window_get(dialog);
    if (!w || w->kind != win_dialog_window)
        return FALSE;
    w->dialog_ended = true;
    w->dialog_result = result;
    gtk_widget_hide(w->toplevel);
    return TRUE;
}
