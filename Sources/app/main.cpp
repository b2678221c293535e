#include "app/MainWindow.h"
#include "app/Startup.h"

int main(int argc, char** argv) {
    return runStartup(argc, argv, [](const char* title, Glib::RefPtr<Gtk::Application>& app) -> Gtk::Window* {
        return MainWindow::getInstance(title, app);
    });
}
