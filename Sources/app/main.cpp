#include "app/MainWindow.h"
#include "app/Startup.h"
#include "link/SerialPort.h"
#include "platform/CrashHandlers.h"

int main(int argc, char** argv) {
    // A crash must not leave the beacon's port locked for the next start.
    setCrashCleanup(releaseOpenSerialPorts);
    return runStartup(argc, argv, [](const char* title, Glib::RefPtr<Gtk::Application>& app) -> Gtk::Window* {
        return MainWindow::getInstance(title, app);
    });
}
