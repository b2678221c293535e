#pragma once

#include <filesystem>
#include <optional>
#include <string>

// Prepares what GTK and GLib read when they start: the variables that point at data beside
// the executable, the embedded resource bundles, and a runtime folder in the temporary folder
// with the icon theme and the compiled schemas copied out of the bundles (GTK finds themes and
// GSettings finds schemas only in real folders). Everything is reported to the start-up log.
// Runs on the main thread before GTK starts.

// Every byte of the UTF-8 name that is not an ASCII letter, digit, '-', '.' or '_' becomes '_'.
std::string sanitizeRuntimeName(const std::string& utf8Name);

// From the executable's folder: XDG_DATA_DIRS := folder/share when it exists,
// GTK_DATA_PREFIX := folder, GSETTINGS_SCHEMA_DIR := folder/share/glib-2.0/schemas or, when
// it exists, folder/glib-2.0/schemas. Nothing without a path.
void setEnvironmentFromExecutableFolder(const std::optional<std::filesystem::path>& executable);

// Registers the ui, icons, firmware and gsettings bundles, in this order, with its lines.
void registerResourceBundles();

// Copies one resource to a file unless a trusted file (a regular file of the user's, not a
// symbolic link, not writable by group or others) is there already; anything else at the
// destination is replaced. The bytes go to a temporary name beside the destination that is
// renamed into place only when the whole write succeeded, so a failure leaves no file behind.
// With a private folder, the folders from it down to the destination are made and checked as
// private folders. Returns whether the destination is in place; every failure is a WARNING line.
bool writeResourceToFileIfMissing(const char* resourcePath, const std::filesystem::path& destination,
                                  const std::filesystem::path& privateFolder = {});

// "TaviskBeaconUtility-runtime-" + the sanitised stem of the executable ("default" without one).
std::string runtimeFolderName(const std::optional<std::filesystem::path>& executable);

// Builds the runtime folder below tempDir (a private folder), copies the icons and the
// schemas, and points XDG_DATA_DIRS and GSETTINGS_SCHEMA_DIR at it when the theme index and
// the schema file are in place.
void ensurePortableRuntimeData(const std::optional<std::filesystem::path>& executable,
                               const std::filesystem::path& tempDir);
// The same for this process's executable and temporary folder.
void ensurePortableRuntimeData();

// The runtime folder's "share" once ensurePortableRuntimeData has run and the folder is ours.
std::optional<std::filesystem::path> portableShareDir();

// "NAME=value" or "NAME is not set", in the domain "Env".
void logEnvIfSet(const char* name);
// "OK: path" or "Missing: path (reason)", in the domain "GResource".
void logResourcePresence(const char* resourcePath);
// The two variables and the seven key resources, as main reports them.
void logRuntimeEnvironment();
