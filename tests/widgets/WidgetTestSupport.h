#pragma once

#include "core/GlobalHandlerEvents.h"

#include <glib.h>
#include <gtkmm/builder.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tavisk::test {

// The repository's UI definition, loaded into a new builder.
Glib::RefPtr<Gtk::Builder> loadUserInterface();

// Runs the GTK main loop until nothing is pending.
void pumpEvents();
// Runs the GTK main loop until pred holds or the deadline passes; returns whether it held.
bool runUntil(const std::function<bool()>& pred,
              std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Records the GLib warnings and criticals (GTK's included) while alive.
class GLibWarningCapture {
public:
    GLibWarningCapture();
    ~GLibWarningCapture();
    GLibWarningCapture(const GLibWarningCapture&) = delete;
    GLibWarningCapture& operator=(const GLibWarningCapture&) = delete;
    std::vector<std::string> messages() const;

private:
    static void handler(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer self);
    GLogFunc previous = nullptr;
    gpointer previousData = nullptr;
    mutable std::mutex mutex;
    std::vector<std::string> captured;
};

// Stands in for the main window's registry handlers. The registry accepts one handler per
// key for the whole process, so each key gets a forwarder once; tests set what a key
// answers and what it does, and read which keys fired in which order.
class FakeHandlers {
public:
    static FakeHandlers& instance();

    // Registers forwarders for these keys (once per key and process); other keys stay
    // without a handler, as in a program that never registered them.
    void registerKeys(const std::vector<HandlersFuncKeys>& keys);
    void setResult(HandlersFuncKeys key, GlobalHandlerEvents::HandlerEventsStatus result);
    void setAction(HandlersFuncKeys key, std::function<void()> action);

    std::vector<HandlersFuncKeys> fired() const;
    std::vector<LoadStage> uploadStages() const;
    std::size_t count(HandlersFuncKeys key) const;
    void clear();

private:
    FakeHandlers() = default;
    GlobalHandlerEvents::HandlerEventsStatus fire(HandlersFuncKeys key);

    mutable std::mutex mutex;
    std::map<HandlersFuncKeys, bool> registered;
    std::map<HandlersFuncKeys, GlobalHandlerEvents::HandlerEventsStatus> results;
    std::map<HandlersFuncKeys, std::function<void()>> actions;
    std::vector<HandlersFuncKeys> firedKeys;
    std::vector<LoadStage> stages;
};

} // namespace tavisk::test
