#pragma once

#include <glib.h>

// Routes what GLib, GTK and Pango log or print into the start-up log. The handlers are called
// from GLib's C code on whatever thread logs: nothing thrown inside them may leave them.

// Writes the line, then hands the message to the default handler that was installed before
// ours (GLib's own when there was none).
void glibLogHandler(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer data) noexcept;
// g_print: a MESSAGE line in the domain "stdout"; nothing reaches standard output.
void glibPrintHandler(const gchar* text) noexcept;
// g_printerr: a WARNING line in the domain "stderr"; nothing reaches standard error.
void glibPrintErrHandler(const gchar* text) noexcept;

// Installs the three handlers, keeping the default log handler they replace.
void installGlibHandlers();

// Makes as little fatal as GLib allows: the always-fatal mask and the fatal masks of the
// default domain, "GLib", "GLib-GIO", "Gtk", "Gdk" and "Pango" (GLib keeps errors fatal).
void clearFatalMasks();
