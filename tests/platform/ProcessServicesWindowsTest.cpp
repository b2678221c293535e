// NOGDI, WIN32_LEAN_AND_MEAN and NOMINMAX come from the build (wingdi.h defines ERROR).
#include <windows.h>

#include "platform/ProcessServices.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>

namespace {

TEST(ProcessServicesWindows, FoldersOfTheRunningProcess) {
    const auto exe = getExecutablePath();
    ASSERT_TRUE(exe.has_value());
    EXPECT_EQ(exe->filename().wstring(), L"tavisk_platform_windows_tests.exe");

    const std::wstring temp = getTempDir().wstring();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), L'\\');
    EXPECT_TRUE(std::filesystem::is_directory(getTempDir()));

    const auto appData = getLocalAppDataDir();
    ASSERT_TRUE(appData.has_value());
    EXPECT_TRUE(appData->is_absolute());
    const auto desktop = getDesktopDir();
    ASSERT_TRUE(desktop.has_value());
    EXPECT_FALSE(desktop->empty());
}

TEST(ProcessServicesWindows, VariablesReachBothEnvironmentCopies) {
    const wchar_t* const values[] = {L"C:\\Tavisk\\share", L"C:\\\u041c\u0430\u044f\u043a\\share"};
    for (const wchar_t* value : values) {
        setEnvVarAlways("TAVISK_TEST_VARIABLE", std::filesystem::path(value));
        wchar_t process[512] = L"<unset>";
        EXPECT_GT(GetEnvironmentVariableW(L"TAVISK_TEST_VARIABLE", process, 512), 0u);
        EXPECT_STREQ(process, value);
        // The C runtime's copy, which GLib reads.
        const wchar_t* runtime = _wgetenv(L"TAVISK_TEST_VARIABLE");
        ASSERT_NE(runtime, nullptr);
        EXPECT_STREQ(runtime, value);
    }
}

TEST(ProcessServicesWindows, DataFoldersAreTheRuntimeAlone) {
    EXPECT_EQ(composeXdgDataDirs(std::filesystem::path(L"C:\\Tavisk\\share"), "C:\\Other"),
              "C:\\Tavisk\\share");
    setXdgDataDirs(std::filesystem::path(L"C:\\Tavisk\\share"));
    const char* value = std::getenv("XDG_DATA_DIRS");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "C:\\Tavisk\\share");
}

} // namespace
