#include "widgets/DeviceListBox.h"

#include "core/GlobalHandlerEvents.h"
#include "link/DeviceHandler.h"
#include "link/LinkControl.h"

#include <gtkmm/listboxrow.h>

#include <chrono>

namespace TaviskBiaconWidgets {

namespace {
constexpr std::chrono::milliseconds listingDelay{200};
}

DeviceListBox::DeviceListBox(GtkFrame* cobject, const Glib::RefPtr<Gtk::Builder>& builder)
    : Glib::ObjectBase("DLFrame"), Gtk::Frame(cobject), Thread("DeviceListBox: "),
      texts({{DEVICE_LIST_LABEL, "Список устройств"}, {SEARCH_BUTTON, "Поиск устройств"}},
            {{DEVICE_LIST_LABEL, "Device list"}, {SEARCH_BUTTON, "Search devices"}}),
      builder(builder) {
    logger->log("Constructor", BaseLogger::DEBUG, name);
    searchDeviceButton = findChild<Gtk::Button>(builder, "SearchDeviceButton");
    deviceListLabel = findChild<Gtk::Label>(builder, "DeviceListLable");
    listDeviceListBox = findChild<Gtk::ListBox>(builder, "ListDeviceListBox");
    namesReady.connect(sigc::mem_fun(*this, &DeviceListBox::onNamesReady));
    definitionDefaultValues();
}

DeviceListBox::~DeviceListBox() {
    {
        std::lock_guard<std::mutex> lock(waitMutex);
        running = false;
    }
    wake.notify_all();
    terminate();
}

void DeviceListBox::definitionDefaultValues() {
    logger->log("Definition default values", BaseLogger::DEBUG, name);
    redefinitionLabeles();
    if (searchDeviceButton)
        searchDeviceButton->signal_clicked().connect(sigc::mem_fun(*this, &DeviceListBox::onSearchClicked));
}

void DeviceListBox::redefinitionLabeles() {
    logger->log("Redefinition labeles", BaseLogger::DEBUG, name);
    texts.switchLanguage();
    if (deviceListLabel)
        deviceListLabel->set_text(texts.text(DEVICE_LIST_LABEL));
    if (searchDeviceButton)
        searchDeviceButton->set_label(texts.text(SEARCH_BUTTON));
}

void DeviceListBox::addToList(const std::string& deviceName) {
    if (!listDeviceListBox)
        return;
    auto* row = Gtk::manage(new Gtk::ListBoxRow());
    row->add(*Gtk::manage(new Gtk::Label(deviceName)));
    listDeviceListBox->append(*row);
    listDeviceListBox->show_all_children();
}

bool DeviceListBox::isFoundSame(const std::string&) {
    return false;
}

void DeviceListBox::toClearList() {
    if (listDeviceListBox) {
        for (Gtk::Widget* row : listDeviceListBox->get_children()) {
            listDeviceListBox->remove(*row);
            delete row; // a removed row has no container left to delete it
        }
    }
    {
        // Names that a worker copied before the model was emptied are dropped, never listed
        // afterwards; a worker that copies now copies again (see run).
        std::lock_guard<std::mutex> lock(namesMutex);
        readyNames.clear();
        ++searchGeneration;
    }
    if (listDeviceListBox)
        listDeviceListBox->show_all_children();
}

void DeviceListBox::setSearchSensitive(bool sensitive) {
    if (searchDeviceButton)
        searchDeviceButton->set_sensitive(sensitive);
}

void DeviceListBox::onSearchClicked() {
    // While a job has the line the search is refused, with the line that says why, and the
    // list stays as it is. Jobs start on this thread only, so none can start between this
    // look and the search; one that ends meanwhile lets the search go out.
    const bool refusedNow = lineOwner && lineOwner->busy();
    if (!refusedNow)
        toClearList();
    if (GlobalHandlerEvents::getInstance()._executeHandler(SEARCH_DEVICES) != GlobalHandlerEvents::SUCCESS) {
        if (!refusedNow)
            logger->log("Device search request transmitted with error (no active connection?)",
                        BaseLogger::ERROR, name);
        return;
    }
    // The search emptied the model; the rows of the last one go too.
    if (refusedNow)
        toClearList();
    logger->log("Device search request transmitted successfully!", BaseLogger::INFO, name);
    // While the worker of an earlier click still waits, it does the listing. The worker is
    // not detached: the destructor wakes and joins it.
    start(false);
}

void DeviceListBox::run() {
    const auto begin = std::chrono::steady_clock::now();
    {
        std::unique_lock<std::mutex> lock(waitMutex);
        wake.wait_until(lock, begin + listingDelay, [this] { return !running; });
    }
    if (!running)
        return;
    // The model hands out a copy of the names, taken under its own lock: nothing of it is kept.
    // The worker hands them over and ends itself in one step under namesMutex, and only when no
    // Search has emptied the model since it began to copy; otherwise it copies again. So a
    // Search either comes before the copy that is listed (and this worker lists its devices) or
    // after the worker has ended (and it starts a new one), never in between, where its start
    // would be taken for this worker's and no one would list its devices.
    for (;;) {
        std::uint64_t copyOf = 0;
        {
            std::lock_guard<std::mutex> lock(namesMutex);
            copyOf = searchGeneration;
        }
        const std::vector<std::string> names =
            deviceHandler ? deviceHandler->copyDeviceNames() : std::vector<std::string>();
        std::lock_guard<std::mutex> lock(namesMutex);
        if (copyOf != searchGeneration)
            continue;
        readyNames.insert(readyNames.end(), names.begin(), names.end());
        namesReady.emit();
        terminate();
        return;
    }
}

void DeviceListBox::onNamesReady() {
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(namesMutex);
        names.swap(readyNames);
    }
    for (const std::string& deviceName : names)
        addToList(deviceName);
}

} // namespace TaviskBiaconWidgets
