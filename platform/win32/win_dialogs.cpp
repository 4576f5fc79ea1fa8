#include "platform/win32/win_dialogs.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/win32/win_gtk.h"
#include "platform/win32/win_text.h"
#include "platform/win32/win_window_state.h"

namespace {

const char seam_answers_variable[] = "ZANDORO_TEST_MESSAGEBOX";

struct BoxButton {
    const char *name;     // as the seam's line lists it
    const char *id_name;  // as the seam takes and gives answers
    const char *label;    // with its mnemonic
    GtkResponseType response;
    INT id;
};

const BoxButton button_ok = {"OK", "IDOK", "_OK", GTK_RESPONSE_OK, IDOK};
const BoxButton button_cancel = {"Cancel", "IDCANCEL", "_Cancel", GTK_RESPONSE_CANCEL, IDCANCEL};
const BoxButton button_yes = {"Yes", "IDYES", "_Yes", GTK_RESPONSE_YES, IDYES};
const BoxButton button_no = {"No", "IDNO", "_No", GTK_RESPONSE_NO, IDNO};
const BoxButton *const all_buttons[] = {&button_ok, &button_cancel, &button_yes, &button_no};

struct BoxIcon {
    const char *name;
    GtkMessageType type;
    const char *icon_name;  // in the desktop's icon theme; null: no image
};

const BoxIcon box_icons[] = {
    {"none", GTK_MESSAGE_OTHER, nullptr},
    {"error", GTK_MESSAGE_ERROR, "dialog-error"},
    {"question", GTK_MESSAGE_QUESTION, "dialog-question"},
    {"warning", GTK_MESSAGE_WARNING, "dialog-warning"},
    {"information", GTK_MESSAGE_INFO, "dialog-information"},
};

// In Windows' order, the first being the default.
std::vector<const BoxButton *> box_buttons(UINT type)
{
    switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
        return {&button_ok, &button_cancel};
    case MB_YESNOCANCEL:
        return {&button_yes, &button_no, &button_cancel};
    case MB_YESNO:
        return {&button_yes, &button_no};
    default:
        return {&button_ok};
    }
}

const BoxIcon &box_icon(UINT type)
{
    switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
        return box_icons[1];
    case MB_ICONQUESTION:
        return box_icons[2];
    case MB_ICONWARNING:
        return box_icons[3];
    case MB_ICONINFORMATION:
        return box_icons[4];
    default:
        return box_icons[0];
    }
}

// Closing the box picks what Windows picks: Cancel, else No, else the lone OK.
INT closed_answer(const std::vector<const BoxButton *> &buttons)
{
    for (const BoxButton *want : {&button_cancel, &button_no, &button_ok})
        for (const BoxButton *b : buttons)
            if (b == want)
                return b->id;
    return 0;
}

// The seam's answer for the next box, or null when the seam is off. The answer is
// taken off the front of the list in the environment, so a child started later gets
// the answers that are left; the last one stays for every box after it.
const BoxButton *seam_next_answer(bool *refused, const std::vector<const BoxButton *> &buttons)
{
    *refused = false;
    const char *list = getenv(seam_answers_variable);
    if (!list || !*list)
        return nullptr;
    std::string answers = list;
    size_t comma = answers.find(',');
    std::string answer = answers.substr(0, comma);
    if (comma != std::string::npos)
        setenv(seam_answers_variable, answers.substr(comma + 1).c_str(), 1);
    for (const BoxButton *b : buttons)
        if (answer == b->id_name)
            return b;
    fprintf(stderr, "%s: %s is no button of this box\n", seam_answers_variable, answer.c_str());
    *refused = true;
    return nullptr;
}

void seam_report(const char *icon, const std::vector<const BoxButton *> &buttons,
                 const std::string &caption, const std::string &text, INT answer)
{
    std::string names;
    for (const BoxButton *b : buttons)
        names += (names.empty() ? "" : ",") + std::string(b->name);
    const char *answer_name = "0";
    for (const BoxButton *b : all_buttons)
        if (b->id == answer)
            answer_name = b->id_name;
    printf("MessageBoxW icon=%s buttons=%s caption=\"%s\" text=\"%s\" answer=%s\n", icon,
           names.c_str(), caption.c_str(), text.c_str(), answer_name);
    fflush(stdout);
}

// The box's image, packed before its text; null when it has none.
GtkImage *dialog_image(GtkDialog *dialog)
{
    GtkWidget *text_area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    GList *children = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(text_area)));
    GtkImage *image = nullptr;
    for (GList *c = children; c && !image; c = c->next)
        if (GTK_IS_IMAGE(c->data))
            image = GTK_IMAGE(c->data);
    g_list_free(children);
    return image;
}

// The icon the box shows: the one its image names, if it is on screen and the icon
// theme has it. Null when the box shows none.
const char *shown_icon_name(GtkDialog *dialog)
{
    GtkImage *image = dialog_image(dialog);
    if (!image || !gtk_widget_get_mapped(GTK_WIDGET(image)) ||
        gtk_image_get_storage_type(image) != GTK_IMAGE_ICON_NAME)
        return nullptr;
    const gchar *name = nullptr;
    gtk_image_get_icon_name(image, &name, nullptr);
    GtkIconTheme *theme = gtk_icon_theme_get_for_screen(gtk_widget_get_screen(GTK_WIDGET(image)));
    return name && gtk_icon_theme_has_icon(theme, name) ? name : nullptr;
}

struct SeamClick {
    GtkDialog *dialog;
    GtkResponseType response;
    guint source;  // the pending click, 0 once done
    const char *shown_icon;  // as the box was when clicked
};

gboolean seam_click(gpointer data)
{
    SeamClick *click = (SeamClick *)data;
    click->source = 0;
    click->shown_icon = shown_icon_name(click->dialog);
    GtkWidget *button = gtk_dialog_get_widget_for_response(click->dialog, click->response);
    if (button)
        gtk_button_clicked(GTK_BUTTON(button));
    return G_SOURCE_REMOVE;
}

void seam_on_map(GtkWidget *, gpointer data)
{
    SeamClick *click = (SeamClick *)data;
    if (!click->source)
        click->source = g_timeout_add(50, seam_click, click);
}

// The seam's line from what GTK built and shows, not from what it was asked for.
void seam_report_dialog(GtkDialog *dialog, const char *shown_icon, INT answer)
{
    gchar *text = nullptr;
    g_object_get(dialog, "text", &text, nullptr);
    const char *icon = "none";
    for (const BoxIcon &i : box_icons)
        if (shown_icon && i.icon_name && strcmp(i.icon_name, shown_icon) == 0)
            icon = i.name;
    std::vector<const BoxButton *> present;
    for (const BoxButton *b : all_buttons)
        if (gtk_dialog_get_widget_for_response(dialog, b->response))
            present.push_back(b);
    const char *title = gtk_window_get_title(GTK_WINDOW(dialog));
    seam_report(icon, present, title ? title : "", text ? text : "", answer);
    g_free(text);
}

INT run_dialog(GtkWindow *owner, const std::string &caption, const std::string &text,
               const BoxIcon &icon, const std::vector<const BoxButton *> &buttons,
               const BoxButton *seam_answer)
{
    GtkWidget *widget = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, icon.type,
                                               GTK_BUTTONS_NONE, "%s", text.c_str());
    GtkDialog *dialog = GTK_DIALOG(widget);
    GtkWindow *window = GTK_WINDOW(widget);
    gtk_window_set_title(window, caption.c_str());
    // A dialog to the window manager: no sizing, no maximising, kept with its owner.
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_position(window, owner ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    // GTK 3 gives a message box no image of its own: the icon goes before the text.
    if (icon.icon_name) {
        GtkWidget *image = gtk_image_new_from_icon_name(icon.icon_name, GTK_ICON_SIZE_DIALOG);
        gtk_widget_set_valign(image, GTK_ALIGN_START);
        GtkWidget *row = gtk_widget_get_parent(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog)));
        gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
        gtk_box_reorder_child(GTK_BOX(row), image, 0);
        gtk_widget_show(image);
    }
    for (const BoxButton *b : buttons)
        gtk_dialog_add_button(dialog, b->label, b->response);
    gtk_dialog_set_default_response(dialog, buttons.front()->response);

    SeamClick click = {dialog, seam_answer ? seam_answer->response : GTK_RESPONSE_NONE, 0, nullptr};
    if (seam_answer)
        g_signal_connect(widget, "map", G_CALLBACK(seam_on_map), &click);

    gint response = gtk_dialog_run(dialog);
    // Answered some other way first: the click must not outlive the dialog.
    if (click.source)
        g_source_remove(click.source);
    INT answer = closed_answer(buttons);
    for (const BoxButton *b : buttons)
        if (b->response == response)
            answer = b->id;
    if (seam_answer)
        seam_report_dialog(dialog, click.shown_icon, answer);
    gtk_widget_destroy(widget);
    // Let the window go from the screen before the caller moves on.
    while (gtk_events_pending())
        gtk_main_iteration();
    return answer;
}

}  // namespace

INT MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    std::string text8 = win_utf8_from_wide(text);
    std::string caption8 = caption ? win_utf8_from_wide(caption) : "Error";
    std::vector<const BoxButton *> buttons = box_buttons(type);
    const BoxIcon &icon = box_icon(type);

    bool refused;
    const BoxButton *seam_answer = seam_next_answer(&refused, buttons);
    if (refused)
        return 0;
    const char *show = getenv("ZANDORO_TEST_MESSAGEBOX_SHOW");
    if (seam_answer && !(show && strcmp(show, "1") == 0)) {
        seam_report(icon.name, buttons, caption8, text8, seam_answer->id);
        return seam_answer->id;
    }

    if (!win_gtk_init()) {
        fprintf(stderr, "%s: %s\n", caption8.c_str(), text8.c_str());
        return 0;
    }
    return run_dialog(win_gtk_window(owner), caption8, text8, icon, buttons, seam_answer);
}

static HINSTANCE shell_result(intptr_t code)
{
    return (HINSTANCE)code;
}

HINSTANCE ShellExecuteW(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR, LPCWSTR, INT)
{
    if (verb && win_utf8_from_wide(verb) != "open")
        return shell_result(SE_ERR_NOASSOC);
    if (!file)
        return shell_result(ERROR_FILE_NOT_FOUND);
    std::string target = win_utf8_from_wide(file);

    const char *log = getenv("ZANDORO_TEST_OPEN_LOG");
    if (log && *log) {
        FILE *f = fopen(log, "a");
        if (!f)
            return shell_result(ERROR_FILE_NOT_FOUND);
        fprintf(f, "%s\n", target.c_str());
        fclose(f);
        return shell_result(42);
    }

    // A path without a scheme is opened as a local file, as the Windows shell would.
    std::string uri = target;
    char *scheme = g_uri_parse_scheme(target.c_str());
    if (!scheme) {
        GFile *path = g_file_new_for_path(target.c_str());
        char *file_uri = g_file_get_uri(path);
        uri = file_uri;
        g_free(file_uri);
        g_object_unref(path);
    }
    g_free(scheme);

    GError *error = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
        fprintf(stderr, "Cannot open %s: %s\n", uri.c_str(), error ? error->message : "no handler");
        g_clear_error(&error);
        return shell_result(SE_ERR_NOASSOC);
    }
    return shell_result(42);
}
