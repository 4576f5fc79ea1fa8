// Menus: a menu resource as a GTK menu bar whose items post WM_COMMAND with their ids.
#include <string>
#include <vector>

#include "platform/win32/win_resource.h"
#include "platform/win32/win_text.h"
#include "platform/win32/win_window_state.h"

namespace {

int menu_bar_height = -1;

// "&File" marks F as the mnemonic; GTK marks it with "_".
std::string mnemonic_label(LPCWSTR text)
{
    std::string in = win_utf8_from_wide(text), out;
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] == '&' && i + 1 < in.size() && in[i + 1] == '&') {
            out += '&';
            i++;
        } else if (in[i] == '&') {
            out += '_';
        } else if (in[i] == '_') {
            out += "__";
        } else {
            out += in[i];
        }
    }
    return out;
}

void on_item_activate(GtkMenuItem *item, gpointer data)
{
    WinMenu *menu = (WinMenu *)data;
    UINT id = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), "win-command-id"));
    if (menu->window)
        win_post(menu->window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

}  // namespace

int win_menu_bar_height()
{
    // Measured once on a bar like every other: the theme and font decide it.
    if (menu_bar_height < 0) {
        GtkWidget *bar = gtk_menu_bar_new();
        g_object_ref_sink(bar);
        gtk_menu_shell_append(GTK_MENU_SHELL(bar), gtk_menu_item_new_with_mnemonic("_File"));
        gtk_widget_show_all(bar);
        int minimum = 0, natural = 0;
        gtk_widget_get_preferred_height(bar, &minimum, &natural);
        menu_bar_height = natural;
        gtk_widget_destroy(bar);
        g_object_unref(bar);
    }
    return menu_bar_height;
}

HMENU LoadMenuW(HINSTANCE instance, LPCWSTR name)
{
    const WinMenuEntry *entry = (const WinMenuEntry *)win_find_resource(instance, RT_MENU, name);
    if (!entry)
        return nullptr;
    WinMenu *menu = new WinMenu{gtk_menu_bar_new(), nullptr};
    g_object_ref_sink(menu->bar);
    std::vector<GtkWidget *> shells = {menu->bar};
    for (; !shells.empty(); entry++) {
        GtkMenuShell *shell = GTK_MENU_SHELL(shells.back());
        switch (entry->kind) {
        case win_menu_popup: {
            GtkWidget *item = gtk_menu_item_new_with_mnemonic(mnemonic_label(entry->text).c_str());
            GtkWidget *sub = gtk_menu_new();
            gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), sub);
            gtk_menu_shell_append(shell, item);
            shells.push_back(sub);
            break;
        }
        case win_menu_item: {
            GtkWidget *item = gtk_menu_item_new_with_mnemonic(mnemonic_label(entry->text).c_str());
            g_object_set_data(G_OBJECT(item), "win-command-id", GUINT_TO_POINTER(entry->id));
            g_signal_connect(item, "activate", G_CALLBACK(on_item_activate), menu);
            gtk_menu_shell_append(shell, item);
            break;
        }
        case win_menu_separator:
            gtk_menu_shell_append(shell, gtk_separator_menu_item_new());
            break;
        case win_menu_end:
            shells.pop_back();
            break;
        }
    }
    gtk_widget_show_all(menu->bar);
    return (HMENU)menu;
}

void win_menu_detach(WinMenu *menu)
{
    WinWindow *w = win_window_get(menu->window);
    if (w && gtk_widget_get_parent(menu->bar) == w->box)
        gtk_container_remove(GTK_CONTAINER(w->box), menu->bar);
    if (w && w->menu == (HMENU)menu)
        w->menu = nullptr;
    menu->window = nullptr;
}

HMENU GetMenu(HWND hwnd)
{
    WinWindow *w = win_window_get(hwnd);
    return w ? w->menu : nullptr;
}

BOOL SetMenu(HWND hwnd, HMENU handle)
{
    WinWindow *w = win_window_get(hwnd);
    if (!w || w->kind != win_frame_window)
        return FALSE;
    if (w->menu == handle)
        return TRUE;
    if (w->menu)
        win_menu_detach((WinMenu *)w->menu);
    WinMenu *menu = (WinMenu *)handle;
    if (menu) {
        if (menu->window)
            win_menu_detach(menu);
        gtk_box_pack_start(GTK_BOX(w->box), menu->bar, FALSE, FALSE, 0);
        gtk_box_reorder_child(GTK_BOX(w->box), menu->bar, 0);
        menu->window = hwnd;
    }
    w->menu = handle;
    return TRUE;
}

BOOL DestroyMenu(HMENU handle)
{
    WinMenu *menu = (WinMenu *)handle;
    if (!menu || menu->window)
        return FALSE;
    gtk_widget_destroy(menu->bar);
    g_object_unref(menu->bar);
    delete menu;
    return TRUE;
}
