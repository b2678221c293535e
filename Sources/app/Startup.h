#pragma once

#include <gtkmm/application.h>
#include <gtkmm/window.h>

#include <functional>

// Builds the program's main window for the running application; runStartup deletes it once
// the main loop has ended.
using WindowFactory = std::function<Gtk::Window*(const char* title, Glib::RefPtr<Gtk::Application>& app)>;

// The whole start-up of the program, in order: the start-up log, the GLib handlers and fatal
// masks, the crash handlers, the runtime environment and the resource bundles, the GTK
// application, the icon theme, the main window (from makeWindow) and the main loop; then the
// window is destroyed, so that its workers end before anything static goes. Returns the main
// loop's exit status, or 1 when an exception leaves the part from the creation of the
// application to the end of the main loop (its text goes to standard error and to the log).
int runStartup(int argc, char** argv, const WindowFactory& makeWindow);
