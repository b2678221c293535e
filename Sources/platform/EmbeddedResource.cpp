#include "platform/EmbeddedResource.h"

#include <gio/gio.h>

bool readEmbeddedResource(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& reason) {
    GError* error = nullptr;
    GBytes* found = g_resources_lookup_data(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, &error);
    if (found == nullptr) {
        reason = (error != nullptr && error->message != nullptr) ? error->message : "unknown error";
        g_clear_error(&error);
        return false;
    }
    gsize size = 0;
    const auto* data = static_cast<const std::uint8_t*>(g_bytes_get_data(found, &size));
    bytes.assign(data, data + size);
    g_bytes_unref(found);
    return true;
}
