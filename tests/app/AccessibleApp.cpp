#include "tests/app/AccessibleApp.h"

#include <atspi/atspi.h>

#include <cstdlib>

namespace tavisk::test {

namespace {

// GLib's allocations, returned as strings and freed.
std::string take(gchar* text) {
    std::string copy = text ? text : "";
    g_free(text);
    return copy;
}

void collect(AtspiAccessible* node, int depth, std::vector<AccessibleWidget>& out) {
    AccessibleWidget widget;
    widget.role = take(atspi_accessible_get_role_name(node, nullptr));
    widget.name = take(atspi_accessible_get_name(node, nullptr));
    if (AtspiComponent* component = atspi_accessible_get_component_iface(node)) {
        if (AtspiRect* r = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr)) {
            widget.x = r->x;
            widget.y = r->y;
            widget.width = r->width;
            widget.height = r->height;
            g_free(r);
        }
        g_object_unref(component);
    }
    if (AtspiStateSet* states = atspi_accessible_get_state_set(node)) {
        widget.showing = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
        widget.sensitive = atspi_state_set_contains(states, ATSPI_STATE_SENSITIVE);
        g_object_unref(states);
    }
    out.push_back(widget);
    // Hidden subtrees (closed menus, the hidden dialogs) hold nothing to read or click.
    if (depth > 40 || (depth > 1 && !widget.showing))
        return;
    const gint children = atspi_accessible_get_child_count(node, nullptr);
    for (gint i = 0; i < children; ++i) {
        if (AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr)) {
            collect(child, depth + 1, out);
            g_object_unref(child);
        }
    }
}

} // namespace

bool AccessibleApp::connect(const std::string& busAddress, const std::string& display, std::string* error) {
    static int result = [&] {
        // Read by the library while it finds the accessibility bus.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
        ::setenv("DISPLAY", display.c_str(), 1);
        ::unsetenv("AT_SPI_BUS_ADDRESS");
        return atspi_init();
    }();
    if (result < 0 && error)
        *error = "atspi_init failed";
    return result >= 0;
}

std::vector<AccessibleWidget> AccessibleApp::widgets() const {
    std::vector<AccessibleWidget> out;
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop)
        return out;
    const gint apps = atspi_accessible_get_child_count(desktop, nullptr);
    for (gint i = 0; i < apps; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
        if (!app)
            continue;
        if (static_cast<pid_t>(atspi_accessible_get_process_id(app, nullptr)) == programPid) {
            // Names and states change while the program runs: read them afresh each time.
            atspi_accessible_clear_cache(app);
            collect(app, 0, out);
        }
        g_object_unref(app);
    }
    g_object_unref(desktop);
    return out;
}

std::optional<AccessibleWidget> AccessibleApp::find(const std::string& role, const std::string& name) const {
    for (const AccessibleWidget& widget : widgets())
        if (widget.showing && widget.role == role && widget.name == name)
            return widget;
    return std::nullopt;
}

std::vector<AccessibleWidget> AccessibleApp::all(const std::string& role) const {
    std::vector<AccessibleWidget> found;
    for (const AccessibleWidget& widget : widgets())
        if (widget.showing && widget.role == role)
            found.push_back(widget);
    return found;
}

} // namespace tavisk::test
