#include "platform/ProcessServices.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <cstdlib>
#include <mutex>
#include <system_error>

std::optional<std::filesystem::path> getExecutablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || path.empty())
        return std::nullopt;
    return path;
}

std::filesystem::path getTempDir() {
    const gchar* dir = g_get_tmp_dir();
    if (dir == nullptr || *dir == '\0')
        return std::filesystem::path(".");
    return std::filesystem::path(dir);
}

std::optional<std::filesystem::path> getLocalAppDataDir() {
    const gchar* dir = g_get_user_data_dir();
    if (dir == nullptr || *dir == '\0')
        return std::nullopt;
    return std::filesystem::path(dir);
}

std::optional<std::string> getDesktopDir() {
    const gchar* dir = g_get_user_special_dir(G_USER_DIRECTORY_DESKTOP);
    if (dir == nullptr || *dir == '\0')
        return std::nullopt;
    return std::string(dir);
}

void setEnvVarAlways(const std::string& name, const std::filesystem::path& value) {
    if (name.empty())
        return;
    ::setenv(name.c_str(), value.c_str(), 1);
}

std::string composeXdgDataDirs(const std::filesystem::path& folder, const char* startValue) {
    // An unset or empty value means the default of the XDG base directory rules.
    const std::string rest =
        (startValue != nullptr && *startValue != '\0') ? startValue : "/usr/local/share:/usr/share";
    return folder.native() + ":" + rest;
}

void setXdgDataDirs(const std::filesystem::path& folder) {
    // Remember what the process started with, so that a second call replaces our folder
    // instead of stacking folders in front of each other.
    static std::once_flag once;
    static std::optional<std::string> startValue;
    std::call_once(once, [] {
        if (const char* value = std::getenv("XDG_DATA_DIRS"))
            startValue = value;
    });
    setEnvVarAlways("XDG_DATA_DIRS", composeXdgDataDirs(folder, startValue ? startValue->c_str() : nullptr));
}

namespace {

struct TerminationSignal {
    int number;
    const char* name;
};

constexpr TerminationSignal kTerminationSignals[] = {
    {SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}};

// What quitOnTerminationSignals was given; lives as long as the process, as its sources do.
std::function<void(const char*)>& terminationHandler() {
    static std::function<void(const char*)> handler;
    return handler;
}

gboolean onTerminationSignal(gpointer signalName) {
    if (terminationHandler())
        terminationHandler()(static_cast<const char*>(signalName));
    // Kept: removing the source would give the signal back its default action, and a second
    // one during the program's end would cut short what that end waits for.
    return G_SOURCE_CONTINUE;
}

} // namespace

void quitOnTerminationSignals(std::function<void(const char* signalName)> onSignal) {
    static bool installed = false;
    terminationHandler() = std::move(onSignal);
    if (installed)
        return;
    installed = true;
    for (const TerminationSignal& signal : kTerminationSignals) {
        // A signal ignored from the start (nohup) stays ignored.
        struct sigaction current {};
        if (::sigaction(signal.number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        g_unix_signal_add(signal.number, onTerminationSignal, const_cast<char*>(signal.name));
    }
}
