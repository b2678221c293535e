#include "app/RuntimeEnvironment.h"

#include "app/StartupLog.h"
#include "core/PrivateFolder.h"
#include "platform/EmbeddedResource.h"
#include "platform/ProcessServices.h"
#include "resources/TaviskResources.h"

#include <gio/gio.h>

#include <cstdlib>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kIconPrefix = "/taviskbeaconutility/icons/hicolor/";
constexpr const char* kSchemaResource = "/taviskbeaconutility/gsettings/gschemas.compiled";

// Relative to the theme folder, in the order in which they are copied (the index first).
constexpr const char* kIconFiles[] = {
    "index.theme",
    "16x16/actions/edit-find-symbolic.xpm",
    "16x16/actions/gtk-refresh.xpm",
    "16x16/devices/computer.xpm",
    "16x16/devices/drive-harddisk.xpm",
    "16x16/devices/drive-removable-media.xpm",
    "16x16/places/folder.xpm",
    "16x16/places/folder-documents.xpm",
    "16x16/places/folder-download.xpm",
    "16x16/places/user-home-symbolic-ltr.xpm",
    "16x16/places/user-home-symbolic.xpm",
    "16x16/places/user-desktop.xpm",
    "16x16/status/image-missing.xpm",
    "256x256/apps/taviskbeaconutility.png",
    "scalable/apps/taviskbeaconutility.svg",
};

constexpr const char* kKeyResources[] = {
    "/taviskbeaconutility/ui/UserInterface.glade",
    "/taviskbeaconutility/icons/hicolor/index.theme",
    "/taviskbeaconutility/icons/hicolor/16x16/places/user-home-symbolic-ltr.xpm",
    "/taviskbeaconutility/icons/hicolor/16x16/places/user-home-symbolic.xpm",
    "/taviskbeaconutility/icons/hicolor/16x16/actions/edit-find-symbolic.xpm",
    "/taviskbeaconutility/icons/hicolor/16x16/status/image-missing.xpm",
    kSchemaResource,
};

std::optional<fs::path> gPortableShareDir;

// "Exists" means the status query gives any file type; an error counts as missing.
bool pathExists(const fs::path& path) {
    std::error_code ec;
    const auto status = fs::status(path, ec);
    return !ec && status.type() != fs::file_type::not_found && status.type() != fs::file_type::none;
}

// Why a folder that the runtime folder needs is not used: the system's reason when it could
// not be made, else which entry stands in the way and what it is.
std::string folderWarning(const TrustCheck& check) {
    if (check.problem == TrustProblem::MKDIR_FAILED)
        return "mkdir failed: " + check.path.u8string() +
               (check.detail.empty() ? "" : " (" + check.detail + ")");
    return "folder not used: " + check.describe();
}

void warnOfRemovedEntries(const fs::path& folder, std::size_t removed) {
    if (removed > 0)
        writeLogLine("FS", G_LOG_LEVEL_WARNING,
                     "group or others could write to " + folder.u8string() +
                         " or a folder in it: " + std::to_string(removed) + " entries removed");
}

} // namespace

std::string sanitizeRuntimeName(const std::string& utf8Name) {
    std::string result = utf8Name;
    for (char& c : result) {
        const auto byte = static_cast<unsigned char>(c);
        const bool keep = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                          (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_';
        if (!keep)
            c = '_';
    }
    return result;
}

void setEnvironmentFromExecutableFolder(const std::optional<fs::path>& executable) {
    if (!executable)
        return;
    const fs::path folder = executable->parent_path();
    if (pathExists(folder / "share"))
        setXdgDataDirs(folder / "share");
    setEnvVarAlways("GTK_DATA_PREFIX", folder);
    const fs::path shareSchemas = folder / "share" / "glib-2.0" / "schemas";
    if (pathExists(shareSchemas))
        setEnvVarAlways("GSETTINGS_SCHEMA_DIR", shareSchemas);
    const fs::path schemas = folder / "glib-2.0" / "schemas";
    if (pathExists(schemas))
        setEnvVarAlways("GSETTINGS_SCHEMA_DIR", schemas);
}

void registerResourceBundles() {
    writeLogMessage("TaviskBeaconUtility", "Registering embedded resources...");
    GResource* (*const getters[])() = {tavisk_ui_get_resource, tavisk_icons_get_resource,
                                       tavisk_firmware_get_resource, tavisk_gsettings_get_resource};
    for (auto getter : getters) {
        if (GResource* bundle = getter())
            g_resources_register(bundle);
    }
    writeLogMessage("TaviskBeaconUtility", "Embedded resources registered.");
    writeLogMessage("GSettings", "Embedded GSettings schemas: yes");
}

bool writeResourceToFileIfMissing(const char* resourcePath, const fs::path& destination,
                                  const fs::path& privateFolder) {
    const TrustCheck existing = checkPrivateFile(destination);
    if (existing)
        return true;

    std::vector<std::uint8_t> bytes;
    std::string reason;
    if (!readEmbeddedResource(resourcePath, bytes, reason)) {
        writeLogLine("GResource", G_LOG_LEVEL_WARNING,
                     std::string("extract failed: ") + resourcePath + " (" + reason + ")");
        return false;
    }

    if (privateFolder.empty()) {
        std::error_code ec;
        fs::create_directories(destination.parent_path(), ec);
        if (ec) {
            writeLogLine("FS", G_LOG_LEVEL_WARNING, "mkdir failed: " + destination.u8string());
            return false;
        }
    } else {
        const TrustCheck folders =
            ensurePrivateFolders(privateFolder, destination.parent_path().lexically_relative(privateFolder));
        warnOfRemovedEntries(privateFolder, folders.removed);
        if (!folders) {
            writeLogLine("FS", G_LOG_LEVEL_WARNING, folderWarning(folders));
            return false;
        }
    }
    // A file there that may not be kept is replaced, never written through.
    if (existing.problem != TrustProblem::MISSING)
        writeLogLine("FS", G_LOG_LEVEL_WARNING, "replacing " + existing.describe());

    switch (placeCopy(destination, bytes.data(), bytes.size(), KeepCopy::IF_TRUSTED)) {
    case FileWrite::KEPT:
    case FileWrite::WRITTEN:
        return true;
    case FileWrite::OPEN_FAILED:
        writeLogLine("FS", G_LOG_LEVEL_WARNING, "open failed: " + destination.u8string());
        break;
    case FileWrite::WRITE_FAILED:
        writeLogLine("FS", G_LOG_LEVEL_WARNING, "write failed: " + destination.u8string());
        break;
    case FileWrite::RENAME_FAILED:
        writeLogLine("FS", G_LOG_LEVEL_WARNING, "rename failed: " + destination.u8string());
        break;
    }
    return false;
}

std::string runtimeFolderName(const std::optional<fs::path>& executable) {
    std::string name = "default";
    if (executable)
        name = executable->stem().u8string();
    return "TaviskBeaconUtility-runtime-" + sanitizeRuntimeName(name);
}

void ensurePortableRuntimeData(const std::optional<fs::path>& executable, const fs::path& tempDir) {
    const fs::path runtime = tempDir / runtimeFolderName(executable);
    const fs::path share = runtime / "share";
    gPortableShareDir.reset();
    // The temporary folder is shared: a folder someone else made under our name, or a link
    // there, must not feed GTK icons and schemas.
    const TrustCheck folder = ensurePrivateFolder(runtime);
    warnOfRemovedEntries(runtime, folder.removed);
    if (!folder) {
        writeLogLine("FS", G_LOG_LEVEL_WARNING,
                     folder.problem == TrustProblem::MKDIR_FAILED ? folderWarning(folder)
                                                                  : "runtime " + folderWarning(folder));
        return;
    }
    // GTK reads icons from "share" on its own (the icon theme's search path), so it must be a
    // private folder too before it is named anywhere.
    const TrustCheck shareFolder = ensurePrivateFolders(runtime, "share");
    warnOfRemovedEntries(runtime, shareFolder.removed);
    if (!shareFolder) {
        writeLogLine("FS", G_LOG_LEVEL_WARNING, folderWarning(shareFolder));
        return;
    }
    gPortableShareDir = share;

    const fs::path theme = share / "icons" / "hicolor";
    bool indexInPlace = false;
    for (const char* relative : kIconFiles) {
        const bool copied = writeResourceToFileIfMissing((std::string(kIconPrefix) + relative).c_str(),
                                                         theme / relative, runtime);
        if (relative == kIconFiles[0])
            indexInPlace = copied;
    }
    const fs::path schemas = share / "glib-2.0" / "schemas";
    const bool schemasInPlace =
        writeResourceToFileIfMissing(kSchemaResource, schemas / "gschemas.compiled", runtime);

    if (indexInPlace)
        setXdgDataDirs(share);
    if (schemasInPlace && pathExists(schemas / "gschemas.compiled"))
        setEnvVarAlways("GSETTINGS_SCHEMA_DIR", schemas);
}

void ensurePortableRuntimeData() {
    ensurePortableRuntimeData(getExecutablePath(), getTempDir());
}

std::optional<fs::path> portableShareDir() {
    return gPortableShareDir;
}

void logEnvIfSet(const char* name) {
    const char* value = std::getenv(name);
    if (value != nullptr)
        writeLogMessage("Env", std::string(name) + "=" + value);
    else
        writeLogMessage("Env", std::string(name) + " is not set");
}

void logResourcePresence(const char* resourcePath) {
    std::vector<std::uint8_t> bytes;
    std::string reason;
    if (readEmbeddedResource(resourcePath, bytes, reason))
        writeLogMessage("GResource", std::string("OK: ") + resourcePath);
    else
        writeLogLine("GResource", G_LOG_LEVEL_WARNING,
                     std::string("Missing: ") + resourcePath + " (" + reason + ")");
}

void logRuntimeEnvironment() {
    logEnvIfSet("XDG_DATA_DIRS");
    logEnvIfSet("GSETTINGS_SCHEMA_DIR");
    for (const char* path : kKeyResources)
        logResourcePresence(path);
}
