#include "app/Startup.h"

#include "app/GlibHandlers.h"
#include "app/RuntimeEnvironment.h"
#include "app/StartupLog.h"
#include "platform/CrashHandlers.h"
#include "platform/ProcessServices.h"

#include <gdkmm/pixbuf.h>
#include <gtkmm/icontheme.h>
#include <gtkmm/settings.h>

#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>

namespace {

constexpr const char* kDomain = "TaviskBeaconUtility";
// The folder of the bundle that holds the hicolor theme's size folders.
constexpr const char* kIconThemeResourcePath = "/taviskbeaconutility/icons/hicolor";
constexpr const char* kAppIconResource =
    "/taviskbeaconutility/icons/hicolor/256x256/apps/taviskbeaconutility.png";

void selectIconTheme() {
    if (auto settings = Gtk::Settings::get_default())
        settings->property_gtk_icon_theme_name() = "hicolor";

    auto theme = Gtk::IconTheme::get_default();
    if (!theme)
        return;
    theme->add_resource_path(kIconThemeResourcePath);
    if (const auto share = portableShareDir())
        theme->append_search_path((*share / "icons").u8string());
    theme->rescan_if_needed();
    for (const char* icon : {"user-home-symbolic-ltr", "image-missing", "edit-find-symbolic"}) {
        if (theme->has_icon(icon))
            writeLogMessage("Gtk", std::string("Gtk::IconTheme has icon ") + icon);
        else
            writeLogLine("Gtk", G_LOG_LEVEL_WARNING,
                         std::string("Gtk::IconTheme does not have icon ") + icon);
    }
}

void setDefaultWindowIcon() {
    Gtk::Window::set_default_icon_name("taviskbeaconutility");
    try {
        if (auto image = Gdk::Pixbuf::create_from_resource(kAppIconResource))
            Gtk::Window::set_default_icon(image);
    } catch (const Glib::Error&) {
        // The icon name stays set; GTK finds the icon through the theme instead.
    }
}

int runGuarded(int argc, char** argv, const WindowFactory& makeWindow) {
    writeLogMessage(kDomain, "Creating Gtk::Application...");
    auto application = Gtk::Application::create(argc, argv, Glib::ustring(), Gio::APPLICATION_FLAGS_NONE);
    writeLogMessage(kDomain, "Gtk::Application created.");

    clearFatalMasks(); // GTK's start may have changed them
    selectIconTheme();
    setDefaultWindowIcon();

    writeLogMessage(kDomain, "Creating MainWindow...");
    // Destroyed when the loop has ended (or an exception leaves it): the window joins its
    // workers then, while the loggers and the handler registry still exist.
    const std::unique_ptr<Gtk::Window> window(makeWindow("TaviskBeaconUtility", application));
    if (window == nullptr)
        throw std::runtime_error("MainWindow could not be created from the UI definition");
    writeLogMessage(kDomain, "MainWindow created. Entering event loop.");
    return application->run(*window);
}

void reportFatal(const char* prefix, const std::string& text, const std::string& logText) {
    std::cerr << prefix << text << std::endl;
    writeLogLine("Exception", G_LOG_LEVEL_ERROR, logText);
}

} // namespace

int runStartup(int argc, char** argv, const WindowFactory& makeWindow) {
    openStartupLog(chooseStartupLogPath());
    installGlibHandlers();
    clearFatalMasks();
    installCrashHandlers();
    installSignalHandlers();

    setEnvironmentFromExecutableFolder(getExecutablePath());
    registerResourceBundles();
    ensurePortableRuntimeData();
    logRuntimeEnvironment();

    try {
        return runGuarded(argc, argv, makeWindow);
    } catch (const Glib::Error& error) {
        reportFatal("Ошибка: ", error.what(), error.what());
    } catch (const std::exception& error) {
        reportFatal("Ошибка (std::exception): ", error.what(), error.what());
    } catch (...) {
        reportFatal("Неизвестная ошибка", "", "Unknown exception");
    }
    return 1;
}
