#pragma once

#include "core/Thread.h"
#include "widgets/BilingualLabels.h"

#include <glibmm/dispatcher.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/frame.h>
#include <gtkmm/label.h>
#include <gtkmm/listbox.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class DeviceHandler;
class LinkControl;

namespace TaviskBiaconWidgets {

// The main window's device list: Search empties the list and asks for a device search
// (SEARCH_DEVICES, whose handler empties the device model and sends it) and, when it went out,
// starts a short-lived worker that, 200 ms later, lists the names of the devices that the model
// holds by then, in address order. A search refused because another job has the line leaves
// the list as it was.
class DeviceListBox : public Gtk::Frame, private Thread {
public:
    enum DeviceListText { DEVICE_LIST_LABEL = 0, SEARCH_BUTTON = 1 };

    DeviceListBox(GtkFrame* cobject, const Glib::RefPtr<Gtk::Builder>& builder);
    // Wakes a worker that still waits and waits for it to end: none outlives the list.
    ~DeviceListBox() override;

    void redefinitionLabeles();
    void addToList(const std::string& name);
    bool isFoundSame(const std::string& name);
    // Removes every row; the model is the session's to empty.
    void toClearList();
    void setSearchSensitive(bool sensitive);

    // Set by the main window before the window is shown; not owned.
    DeviceHandler* deviceHandler = nullptr;
    // Asked whether another job has the line (the search is then refused); not owned.
    LinkControl* lineOwner = nullptr;

private:
    void definitionDefaultValues();
    void onSearchClicked();
    void run() override;
    // GUI thread: adds the names that the worker handed over.
    void onNamesReady();

    BilingualLabels<DeviceListText> texts;
    Glib::RefPtr<Gtk::Builder> builder;
    Glib::RefPtr<Gtk::Label> deviceListLabel;
    Glib::RefPtr<Gtk::Button> searchDeviceButton;
    Glib::RefPtr<Gtk::ListBox> listDeviceListBox;

    // Lets the destructor cut the worker's 200 ms wait short.
    std::mutex waitMutex;
    std::condition_variable wake;
    // Guards readyNames (the worker fills it, the GUI thread empties it) and searchGeneration
    // (counts the Searches that emptied the model). Never held while the model's lock is taken.
    std::mutex namesMutex;
    std::vector<std::string> readyNames;
    std::uint64_t searchGeneration = 0;
    Glib::Dispatcher namesReady;
};

} // namespace TaviskBiaconWidgets
