// Module instances, resource look-up, icons and the system cursor.
#include <vector>

#include "platform/win32/win_resource.h"
#include "platform/win32/win_window_state.h"

namespace {

struct WinModule {
    const WinResourceTable *table;
};

// Icons are shared, as LoadImage's LR_SHARED ones are: one per group and size.
struct LoadedIcon {
    const WinIconGroup *group;
    int size;
    GdkPixbuf *pixbuf;
};
// Never destroyed, so that an exit from another thread leaves it to the main loop.
std::vector<LoadedIcon> &loaded_icons = *new std::vector<LoadedIcon>;

// Windows' SM_CXICON.
constexpr int default_icon_size = 32;

// Stands for the system arrow; the window shows the desktop's default cursor.
int system_arrow;

GdkPixbuf *decode_png(const WinIconImage &image)
{
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (!loader)
        return nullptr;
    GdkPixbuf *pixbuf = nullptr;
    if (gdk_pixbuf_loader_write(loader, image.png, (gsize)(image.png_end - image.png), nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf)
            g_object_ref(pixbuf);
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return pixbuf;
}

}  // namespace

HINSTANCE win_module_instance(const WinResourceTable *table)
{
    return (HINSTANCE) new WinModule{table};
}

const void *win_find_resource(HINSTANCE instance, int type, LPCWSTR name)
{
    if (!instance || !name || !IS_INTRESOURCE(name))
        return nullptr;
    const WinResourceTable *table = ((WinModule *)instance)->table;
    int id = (int)(uintptr_t)name;
    for (int i = 0; table && i < table->count; i++)
        if (table->resources[i].type == type && table->resources[i].id == id)
            return table->resources[i].data;
    return nullptr;
}

HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags)
{
    if (type != IMAGE_ICON)
        return nullptr;
    const WinIconGroup *group = (const WinIconGroup *)win_find_resource(instance, RT_GROUP_ICON, name);
    if (!group || group->image_count <= 0)
        return nullptr;
    // The smallest image at least as large as asked for, else the largest.
    int wanted = cx > 0 ? cx : (flags & LR_DEFAULTSIZE) ? default_icon_size : 0;
    const WinIconImage *best = nullptr;
    for (int i = 0; i < group->image_count; i++) {
        const WinIconImage *image = &group->images[i];
        bool fits = image->size >= wanted, best_fits = best && best->size >= wanted;
        if (!best || (fits && (!best_fits || image->size < best->size)) ||
            (!fits && !best_fits && image->size > best->size))
            best = image;
    }
    if (wanted == 0)
        wanted = best->size;
    int height = cy > 0 ? cy : wanted;
    for (const LoadedIcon &icon : loaded_icons)
        if (icon.group == group && icon.size == wanted &&
            gdk_pixbuf_get_height(icon.pixbuf) == height)
            return (HANDLE)icon.pixbuf;
    GdkPixbuf *pixbuf = decode_png(*best);
    if (!pixbuf)
        return nullptr;
    if (gdk_pixbuf_get_width(pixbuf) != wanted || gdk_pixbuf_get_height(pixbuf) != height) {
        GdkPixbuf *scaled = gdk_pixbuf_scale_simple(pixbuf, wanted, height, GDK_INTERP_BILINEAR);
        g_object_unref(pixbuf);
        pixbuf = scaled;
    }
    loaded_icons.push_back({group, wanted, pixbuf});
    return (HANDLE)pixbuf;
}

HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name)
{
    if (instance || name != IDC_ARROW)
        return nullptr;
    return (HCURSOR)&system_arrow;
}
