#include "app/GlibHandlers.h"

#include "app/StartupLog.h"

namespace {

GLogFunc gPrevGlibLogHandler = nullptr;
gpointer gPrevGlibLogHandlerData = nullptr;

void writeSafely(const char* domain, GLogLevelFlags level, const char* message) noexcept {
    try {
        writeLogLine(domain, level, message);
    } catch (...) {
        // A line that cannot be written is lost; GLib's caller must not see an exception.
    }
}

} // namespace

void glibLogHandler(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) noexcept {
    writeSafely(domain, level, message);
    if (gPrevGlibLogHandler != nullptr)
        gPrevGlibLogHandler(domain, level, message, gPrevGlibLogHandlerData);
    else
        g_log_default_handler(domain, level, message, nullptr);
}

void glibPrintHandler(const gchar* text) noexcept {
    writeSafely("stdout", G_LOG_LEVEL_MESSAGE, text != nullptr ? text : "");
}

void glibPrintErrHandler(const gchar* text) noexcept {
    writeSafely("stderr", G_LOG_LEVEL_WARNING, text != nullptr ? text : "");
}

void installGlibHandlers() {
    const GLogFunc previous = g_log_set_default_handler(glibLogHandler, nullptr);
    // A second installation keeps the first one's predecessor: our handler must never
    // become its own.
    if (previous != glibLogHandler)
        gPrevGlibLogHandler = previous;
    gPrevGlibLogHandlerData = nullptr;
    g_set_print_handler(glibPrintHandler);
    g_set_printerr_handler(glibPrintErrHandler);
}

void clearFatalMasks() {
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(0));
    const char* const domains[] = {nullptr, "GLib", "GLib-GIO", "Gtk", "Gdk", "Pango"};
    for (const char* domain : domains)
        g_log_set_fatal_mask(domain, static_cast<GLogLevelFlags>(0));
}
