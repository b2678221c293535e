#include "tests/widgets/WidgetTestSupport.h"

#include <gtk/gtk.h>

namespace tavisk::test {

Glib::RefPtr<Gtk::Builder> loadUserInterface() {
    return Gtk::Builder::create_from_file(TAVISK_UI_FILE);
}

void pumpEvents() {
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    // A periodic source keeps the blocking iteration from sleeping past the deadline.
    const guint wake = g_timeout_add(
        10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const auto end = std::chrono::steady_clock::now() + deadline;
    bool held = pred();
    while (!held && std::chrono::steady_clock::now() < end) {
        g_main_context_iteration(nullptr, TRUE);
        held = pred();
    }
    g_source_remove(wake);
    return held;
}

GLibWarningCapture::GLibWarningCapture() {
    previous = g_log_set_default_handler(&GLibWarningCapture::handler, this);
}

GLibWarningCapture::~GLibWarningCapture() {
    g_log_set_default_handler(previous, previousData);
}

void GLibWarningCapture::handler(const gchar* domain, GLogLevelFlags level, const gchar* message,
                                 gpointer self) {
    auto* capture = static_cast<GLibWarningCapture*>(self);
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) {
        std::lock_guard<std::mutex> lock(capture->mutex);
        capture->captured.push_back(std::string(domain ? domain : "") + ": " + (message ? message : ""));
    }
    if (capture->previous)
        capture->previous(domain, level, message, capture->previousData);
}

std::vector<std::string> GLibWarningCapture::messages() const {
    std::lock_guard<std::mutex> lock(mutex);
    return captured;
}

FakeHandlers& FakeHandlers::instance() {
    static FakeHandlers handlers;
    return handlers;
}

void FakeHandlers::registerKeys(const std::vector<HandlersFuncKeys>& keys) {
    for (HandlersFuncKeys key : keys) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (registered[key])
                continue;
            registered[key] = true;
        }
        if (key == UPLOAD_FIRMWARE) {
            GlobalHandlerEvents::HandlerWithArgs<LoadStage> handler = [this](LoadStage stage) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    stages.push_back(stage);
                }
                return fire(UPLOAD_FIRMWARE);
            };
            GlobalHandlerEvents::addHandlerWithArgs<LoadStage>(key, std::move(handler));
        } else {
            GlobalHandlerEvents::addHandler(key, [this, key] { return fire(key); });
        }
    }
}

void FakeHandlers::setResult(HandlersFuncKeys key, GlobalHandlerEvents::HandlerEventsStatus result) {
    std::lock_guard<std::mutex> lock(mutex);
    results[key] = result;
}

void FakeHandlers::setAction(HandlersFuncKeys key, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex);
    actions[key] = std::move(action);
}

GlobalHandlerEvents::HandlerEventsStatus FakeHandlers::fire(HandlersFuncKeys key) {
    std::function<void()> action;
    GlobalHandlerEvents::HandlerEventsStatus result = GlobalHandlerEvents::SUCCESS;
    {
        std::lock_guard<std::mutex> lock(mutex);
        firedKeys.push_back(key);
        if (auto it = results.find(key); it != results.end())
            result = it->second;
        if (auto it = actions.find(key); it != actions.end())
            action = it->second;
    }
    if (action)
        action();
    return result;
}

std::vector<HandlersFuncKeys> FakeHandlers::fired() const {
    std::lock_guard<std::mutex> lock(mutex);
    return firedKeys;
}

std::vector<LoadStage> FakeHandlers::uploadStages() const {
    std::lock_guard<std::mutex> lock(mutex);
    return stages;
}

std::size_t FakeHandlers::count(HandlersFuncKeys key) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t n = 0;
    for (HandlersFuncKeys fired : firedKeys)
        n += fired == key;
    return n;
}

void FakeHandlers::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    firedKeys.clear();
    stages.clear();
    results.clear();
    actions.clear();
}

} // namespace tavisk::test
