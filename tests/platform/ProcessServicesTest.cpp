#include "platform/ProcessServices.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

TEST(ProcessServices, XdgDataDirsKeepsTheSystemFoldersBehindOurs) {
    struct Case {
        const char* startValue;
        const char* expected;
    };
    const Case cases[] = {
        {nullptr, "/opt/tavisk/share:/usr/local/share:/usr/share"},
        {"", "/opt/tavisk/share:/usr/local/share:/usr/share"},
        {"/usr/share", "/opt/tavisk/share:/usr/share"},
        {"/a:/b", "/opt/tavisk/share:/a:/b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(composeXdgDataDirs("/opt/tavisk/share", c.startValue), c.expected)
            << (c.startValue ? c.startValue : "(unset)");
}

TEST(ProcessServices, SecondXdgDataDirsCallReplacesTheFirstFolder) {
    ::setenv("XDG_DATA_DIRS", "/sys/one:/sys/two", 1);
    setXdgDataDirs("/first/share");
    EXPECT_STREQ(std::getenv("XDG_DATA_DIRS"), "/first/share:/sys/one:/sys/two");
    setXdgDataDirs("/second/share");
    EXPECT_STREQ(std::getenv("XDG_DATA_DIRS"), "/second/share:/sys/one:/sys/two");
}

TEST(ProcessServices, EnvironmentVariableWithEmptyNameIsIgnored) {
    setEnvVarAlways("TAVISK_TEST_VARIABLE", "/some/where");
    EXPECT_STREQ(std::getenv("TAVISK_TEST_VARIABLE"), "/some/where");
    setEnvVarAlways("", "/else/where"); // must neither crash nor touch anything
    EXPECT_STREQ(std::getenv("TAVISK_TEST_VARIABLE"), "/some/where");
}

TEST(ProcessServices, FoldersAreAbsoluteAndTheExecutableIsThisTest) {
    const auto exe = getExecutablePath();
    ASSERT_TRUE(exe.has_value());
    EXPECT_EQ(exe->filename(), "tavisk_platform_process_tests");
    EXPECT_FALSE(getTempDir().empty());
    const auto data = getLocalAppDataDir();
    ASSERT_TRUE(data.has_value());
    EXPECT_TRUE(data->is_absolute());
}

} // namespace
