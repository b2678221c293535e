// NOGDI, WIN32_LEAN_AND_MEAN and NOMINMAX come from the build (wingdi.h defines ERROR).
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include "platform/ProcessServices.h"

#include <cstdlib>

namespace {

constexpr DWORD kPathBuffer = 260;

std::optional<std::filesystem::path> knownFolder(REFKNOWNFOLDERID id) {
    PWSTR raw = nullptr;
    const HRESULT result = SHGetKnownFolderPath(id, 0, nullptr, &raw);
    std::optional<std::filesystem::path> folder;
    if (SUCCEEDED(result) && raw != nullptr && *raw != L'\0')
        folder = std::filesystem::path(raw);
    if (raw != nullptr)
        CoTaskMemFree(raw);
    return folder;
}

std::string toUtf8(const std::wstring& wide) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1)
        return {};
    std::string text(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), needed, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(needed - 1));
    return text;
}

std::wstring fromUtf8(const std::string& text) {
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (needed <= 1)
        return {};
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), needed);
    wide.resize(static_cast<std::size_t>(needed - 1));
    return wide;
}

} // namespace

std::optional<std::filesystem::path> getExecutablePath() {
    wchar_t buffer[kPathBuffer];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, kPathBuffer);
    if (length == 0)
        return std::nullopt;
    return std::filesystem::path(std::wstring(buffer, length));
}

std::filesystem::path getTempDir() {
    wchar_t buffer[kPathBuffer];
    const DWORD length = GetTempPathW(kPathBuffer, buffer);
    if (length == 0 || length >= kPathBuffer)
        return std::filesystem::path(L".\\");
    return std::filesystem::path(std::wstring(buffer, length));
}

std::optional<std::filesystem::path> getLocalAppDataDir() {
    return knownFolder(FOLDERID_LocalAppData);
}

std::optional<std::string> getDesktopDir() {
    const auto folder = knownFolder(FOLDERID_Desktop);
    if (!folder)
        return std::nullopt;
    std::string text = toUtf8(folder->wstring());
    if (text.empty())
        return std::nullopt;
    return text;
}

void setEnvVarAlways(const std::string& name, const std::filesystem::path& value) {
    if (name.empty())
        return;
    const std::wstring wideName = fromUtf8(name);
    SetEnvironmentVariableW(wideName.c_str(), value.wstring().c_str());
    // The C runtime keeps its own copy, which getenv and GLib read.
    const std::wstring assignment = wideName + L"=" + value.wstring();
    _wputenv(assignment.c_str());
}

std::string composeXdgDataDirs(const std::filesystem::path& folder, const char*) {
    // The private GTK runtime beside the executable is the whole data path on Windows.
    return toUtf8(folder.wstring());
}

void setXdgDataDirs(const std::filesystem::path& folder) {
    setEnvVarAlways("XDG_DATA_DIRS", folder);
}

void quitOnTerminationSignals(std::function<void(const char*)>) {
    // A Windows process gets no termination signals: its window's close ends it through the
    // main loop.
}
