#include "resources/TaviskResources.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// The size of a resource in the registered bundles, or -1 when it cannot be found.
long resourceSize(const std::string& path) {
    GError* error = nullptr;
    GBytes* bytes = g_resources_lookup_data(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, &error);
    if (bytes == nullptr) {
        g_clear_error(&error);
        return -1;
    }
    const long size = static_cast<long>(g_bytes_get_size(bytes));
    g_bytes_unref(bytes);
    return size;
}

TEST(ResourceManifest, BundleGettersGiveBundles) {
    EXPECT_NE(tavisk_ui_get_resource(), nullptr);
    EXPECT_NE(tavisk_icons_get_resource(), nullptr);
    EXPECT_NE(tavisk_firmware_get_resource(), nullptr);
    EXPECT_NE(tavisk_gsettings_get_resource(), nullptr);
}

TEST(ResourceManifest, EveryNamedResourceIsEmbeddedAndNotEmpty) {
    const char* const paths[] = {
        "/taviskbeaconutility/ui/UserInterface.glade",
        "/taviskbeaconutility/icons/hicolor/index.theme",
        "/taviskbeaconutility/icons/hicolor/16x16/actions/edit-find-symbolic.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/actions/gtk-refresh.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/devices/computer.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/devices/drive-harddisk.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/devices/drive-removable-media.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/places/folder.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/places/folder-documents.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/places/folder-download.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/places/user-home-symbolic-ltr.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/places/user-home-symbolic.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/places/user-desktop.xpm",
        "/taviskbeaconutility/icons/hicolor/16x16/status/image-missing.xpm",
        "/taviskbeaconutility/icons/hicolor/256x256/apps/taviskbeaconutility.png",
        "/taviskbeaconutility/icons/hicolor/scalable/apps/taviskbeaconutility.svg",
        "/taviskbeaconutility/gsettings/gschemas.compiled",
        "/taviskbeaconutility/firmware/tavisk_firmware.bin",
        "/taviskbeaconutility/firmware/Halvin_2.13.319.f75a0c3_aes.bin",
    };
    for (const char* path : paths)
        EXPECT_GT(resourceSize(path), 0) << path;
}

TEST(ResourceManifest, FirmwarePlaceholdersExerciseTheTransferEdges) {
    // The ESP32 loader takes whole 32-bit words only; the STM32 transfer sends 32-byte chunks
    // below 256 KiB, and the image is meant to end in a short one.
    const long esp32 = resourceSize("/taviskbeaconutility/firmware/tavisk_firmware.bin");
    const long stm32 = resourceSize("/taviskbeaconutility/firmware/Halvin_2.13.319.f75a0c3_aes.bin");
    EXPECT_EQ(esp32 % 4, 0);
    EXPECT_GT(stm32 % 32, 0);
    EXPECT_LT(stm32, 262144);
}

TEST(ResourceManifest, ImagesDecode) {
    struct Case {
        const char* path;
        int size;
    };
    const Case cases[] = {
        {"/taviskbeaconutility/icons/hicolor/256x256/apps/taviskbeaconutility.png", 256},
        {"/taviskbeaconutility/icons/hicolor/scalable/apps/taviskbeaconutility.svg", 256},
        {"/taviskbeaconutility/icons/hicolor/16x16/status/image-missing.xpm", 16},
        {"/taviskbeaconutility/icons/hicolor/16x16/places/user-home-symbolic-ltr.xpm", 16},
    };
    for (const auto& c : cases) {
        GError* error = nullptr;
        GdkPixbuf* image = gdk_pixbuf_new_from_resource(c.path, &error);
        if (image == nullptr) {
            ADD_FAILURE() << c.path << ": " << (error ? error->message : "no error text");
            g_clear_error(&error);
            continue;
        }
        EXPECT_EQ(gdk_pixbuf_get_width(image), c.size) << c.path;
        EXPECT_EQ(gdk_pixbuf_get_height(image), c.size) << c.path;
        g_object_unref(image);
    }
}

TEST(ResourceManifest, CompiledSchemasHoldTheFileChooserSettings) {
    GBytes* bytes = g_resources_lookup_data("/taviskbeaconutility/gsettings/gschemas.compiled",
                                            G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    ASSERT_NE(bytes, nullptr);
    char pattern[] = "/tmp/tavisk-schemas-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path dir(pattern);
    {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        std::ofstream out(dir / "gschemas.compiled", std::ios::binary);
        out.write(data, static_cast<std::streamsize>(size));
    }
    g_bytes_unref(bytes);

    GError* error = nullptr;
    GSettingsSchemaSource* source =
        g_settings_schema_source_new_from_directory(dir.c_str(), nullptr, TRUE, &error);
    ASSERT_NE(source, nullptr) << (error ? error->message : "");
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, "org.gtk.Settings.FileChooser", FALSE);
    ASSERT_NE(schema, nullptr);
    EXPECT_TRUE(g_settings_schema_has_key(schema, "sort-directories-first"));
    g_settings_schema_unref(schema);
    g_settings_schema_source_unref(source);
    std::filesystem::remove_all(dir);
}

} // namespace
