// Entry point of every GUI test binary: one process per test (CTest runs each test alone),
// GTK initialised once per process. Without a display the binary fails; it never skips.
#include "tests/widgets/WidgetTestSupport.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <gtkmm/main.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

// Under AddressSanitizer: GLib and GTK are built without frame pointers, so the fast unwinder
// stops at their allocators and a leak report cannot tell their one-off start-up tables
// from our own leaks. Full unwinding lets cmake/lsan.supp name the third-party frames.
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

namespace {

// Every process gets its own home, configuration and temporary folders, so that tests
// neither see the user's settings nor each other's files.
std::filesystem::path makePrivateEnvironment() {
    char pattern[] = "/tmp/tavisk-widgets-test-XXXXXX";
    const char* root = mkdtemp(pattern);
    if (root == nullptr)
        return {};
    const std::filesystem::path base(root);
    const char* const folders[][2] = {
        {"HOME", "home"},          {"TMPDIR", "tmp"},           {"XDG_CONFIG_HOME", "config"},
        {"XDG_DATA_HOME", "data"}, {"XDG_CACHE_HOME", "cache"}, {"XDG_RUNTIME_DIR", "runtime"},
    };
    for (const auto& [variable, name] : folders) {
        const std::filesystem::path folder = base / name;
        std::filesystem::create_directories(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        setenv(variable, folder.c_str(), 1);
    }
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    return base;
}

// Run by hand, a binary runs all its tests in one process: no test may see the answers and
// actions that an earlier one gave the fake handlers.
class ResetFakeHandlers : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { tavisk::test::FakeHandlers::instance().clear(); }
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();

    const std::filesystem::path environment = makePrivateEnvironment();
    if (environment.empty()) {
        std::fprintf(stderr, "Cannot create a private folder for the test\n");
        return 1;
    }
    // A display server that is still starting, or busy with many test processes at once, may
    // refuse one connection: try a few times before giving up.
    bool displayOpen = gtk_init_check(&argc, &argv);
    for (int attempt = 0; !displayOpen && attempt < 20; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        displayOpen = gtk_init_check(&argc, &argv);
    }
    if (!displayOpen) {
        std::fprintf(stderr,
                     "Cannot open a display (DISPLAY=%s): GUI tests need one, run them under "
                     "xvfb-run\n",
                     std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
        return 1;
    }
    Gtk::Main::init_gtkmm_internals();
    ::testing::UnitTest::GetInstance()->listeners().Append(new ResetFakeHandlers);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(environment, ignored);
    return result;
}
