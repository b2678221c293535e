#include "tests/app/Screenshot.h"

#include <gdk/gdk.h>

namespace tavisk::test {

std::string saveScreenshot(const std::string& display, int x, int y, int width, int height,
                           const std::string& path) {
    GdkDisplay* connection = gdk_display_open(display.c_str());
    if (!connection)
        return "cannot open the display " + display;
    std::string failure;
    GdkWindow* root = gdk_screen_get_root_window(gdk_display_get_default_screen(connection));
    if (GdkPixbuf* image = gdk_pixbuf_get_from_window(root, x, y, width, height)) {
        GError* error = nullptr;
        if (!gdk_pixbuf_save(image, path.c_str(), "png", &error, nullptr)) {
            failure = "cannot write " + path + ": " + (error ? error->message : "?");
            g_clear_error(&error);
        }
        g_object_unref(image);
    } else {
        failure = "cannot read the screen of " + display;
    }
    gdk_display_close(connection);
    return failure;
}

} // namespace tavisk::test
