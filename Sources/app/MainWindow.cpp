#include "app/MainWindow.h"

#include "control/WindowLines.h"
#include "control/WindowLogging.h"
#include "core/LoggerManager.h"
#include "platform/ProcessServices.h"
#include "widgets/DeviceListBox.h"
#include "widgets/OpenFileDialog.h"

#include <gtk/gtk.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

using WindowLines::kPrefix;
constexpr const char* kUiPath = "UI/UserInterface.glade";
constexpr const char* kUiResource = "/taviskbeaconutility/ui/UserInterface.glade";

// UI loading goes to the start-up log (through GLib), not to the program's loggers.
template <typename... Args> void startupLine(const char* format, Args... args) {
    g_log(nullptr, G_LOG_LEVEL_MESSAGE, format, args...);
}

// The fallback UI definition: the first candidate that exists, else kUiPath itself.
std::string resolveGladePath() {
    std::vector<fs::path> candidates = {fs::path(kUiPath), fs::path("bin") / kUiPath};
    if (const auto executable = getExecutablePath()) {
        const fs::path folder = executable->parent_path();
        candidates.push_back(folder / "UI" / "UserInterface.glade");
        candidates.push_back(folder / ".." / "UI" / "UserInterface.glade");
        candidates.push_back(folder / ".." / "Sources" / "UserInterface.glade");
        candidates.push_back(folder / ".." / "share" / "taviskbeacon" / "UI" / "UserInterface.glade");
    }
    const fs::path buildRoot = fs::u8path(TAVISK_BUILD_ROOT);
    candidates.push_back(buildRoot / "UI" / "UserInterface.glade");
    candidates.push_back(buildRoot / "Sources" / "UserInterface.glade");
    for (const fs::path& candidate : candidates) {
        std::error_code error;
        const fs::file_status status = fs::status(candidate, error);
        if (!error && status.type() != fs::file_type::not_found)
            return candidate.u8string();
    }
    return kUiPath;
}

Glib::RefPtr<Gtk::Builder> loadUserInterface() {
    const char* override = std::getenv("TAVISK_UI_GLADE");
    std::error_code error;
    if (override && *override && fs::exists(fs::u8path(override), error)) {
        startupLine("MainWindow: loading UI from file override: %s", override);
        return Gtk::Builder::create_from_file(override);
    }
    startupLine("MainWindow: loading UI from GResource %s", kUiResource);
    try {
        return Gtk::Builder::create_from_resource(kUiResource);
    } catch (const Glib::Error&) {
        const std::string fallback = resolveGladePath();
        startupLine("MainWindow: loading UI from file fallback: %s", fallback.c_str());
        return Gtk::Builder::create_from_file(fallback);
    }
}

// The wrapper library would wrap an object of any widget class as the window, so the class
// is checked first; the operations of the window need a real one.
void requireWindowObject(const Glib::RefPtr<Gtk::Builder>& builder) {
    GObject* object = gtk_builder_get_object(builder->gobj(), "MainWindow");
    if (!object)
        throw std::runtime_error("The UI definition has no object \"MainWindow\"");
    if (!GTK_IS_WINDOW(object))
        throw std::runtime_error("The UI definition's \"MainWindow\" is not a window");
}

} // namespace

MainWindow* MainWindow::getInstance(const char* title, Glib::RefPtr<Gtk::Application>& app) {
    Glib::RefPtr<Gtk::Builder> builder = loadUserInterface();
    startupLine("MainWindow: resolving derived widget MainWindow...");
    requireWindowObject(builder);
    MainWindow* made = nullptr;
    builder->get_widget_derived("MainWindow", made);
    if (!made)
        throw std::runtime_error("The UI definition's \"MainWindow\" is already bound to another class");
    std::unique_ptr<MainWindow> window(made);
    startupLine("MainWindow: widget resolved, initializing...");
    window->initWidgets(builder, app);
    startupLine("MainWindow: initWidgets done.");
    window->set_title(title);
    window->set_default_size(500, 550);
    return window.release();
}

MainWindow::MainWindow(GtkWindow* cobject, const Glib::RefPtr<Gtk::Builder>& builder)
    : Gtk::Window(cobject), session([this] {
          bool queued = false;
          if (espFlashUpdatePending.compare_exchange_strong(queued, true))
              espFlashDispatcher.emit();
      }),
      builder(builder), logger(&LoggerManager::getInstance()), guiThreadId(std::this_thread::get_id()) {
    configureWindowLogging(std::getenv("TAVISK_LOG_LEVEL"));
    espFlashDispatcher.connect(sigc::mem_fun(*this, &MainWindow::onEspFlashUiUpdate));
    progressDispatcher.connect(sigc::mem_fun(*this, &MainWindow::onPayloadProgressUiUpdate));
    initPayloadProtocol();
}

void MainWindow::initPayloadProtocol() {
    // The session has made the engine, its model and the two workers with the window; they
    // start with the first search or upload.
    logger->log("Init Payload protocol", BaseLogger::DEBUG, kPrefix);
}

void MainWindow::initWidgets(Glib::RefPtr<Gtk::Builder>& newBuilder, Glib::RefPtr<Gtk::Application>& app) {
    logger->log("Init Widgets", BaseLogger::INFO, kPrefix);
    application = app;
    builder = newBuilder;
    initGlobalHandlersEvents();
    if (!builder)
        return;
    widgets.bind(builder);
    if (widgets.appStatusbar)
        flashContextId = widgets.appStatusbar->get_context_id("flash");
    GlobalHandlerEvents::getInstance()._executeHandler(SELECT_STM32);
    if (widgets.deviceListBox) {
        widgets.deviceListBox->deviceHandler = session.deviceHandler;
        widgets.deviceListBox->lineOwner = &session;
    }
    if (widgets.openFileDialog) {
        widgets.openFileDialog->setOwner(this);
        widgets.openFileDialog->init({"Binar", "*.bin", "Hex", "*.hex", "All", "*.*"});
    }
}

MainWindow::~MainWindow() {
    // From here on the keys reach no window. Nothing is freed before the workers that might
    // still be inside a handler of this window are joined below.
    reportEnd("The window was closed", false);
    MainWindow* self = this;
    liveWindow.compare_exchange_strong(self, nullptr);
    eraseProbeConnection.disconnect();
    session.shutdown();
    widgets.release();
}
