#include "widgets/MainWindowWidgets.h"

#include "widgets/ConnectionDialog.h"
#include "widgets/DeviceListBox.h"
#include "widgets/FirmwareMethodBox.h"
#include "widgets/MenuBar.h"
#include "widgets/OpenFileDialog.h"
#include "widgets/SelectFirmwareBox.h"

#include <gtk/gtk.h>

namespace TaviskBiaconWidgets {

namespace {

// The derived widget of this id. The wrapper library reports a missing id or an object that
// already has a wrapper of another class; an object of another GTK class it would wrap
// regardless, so that is refused here first.
template <typename T> T* bindDerived(const Glib::RefPtr<Gtk::Builder>& builder, const char* id) {
    GObject* object = gtk_builder_get_object(builder->gobj(), id);
    if (object && !G_TYPE_CHECK_INSTANCE_TYPE(object, T::get_base_type())) {
        g_warning("UI definition: object \"%s\" is a %s, not a %s", id, G_OBJECT_TYPE_NAME(object),
                  g_type_name(T::get_base_type()));
        return nullptr;
    }
    T* widget = nullptr;
    builder->get_widget_derived(id, widget);
    return widget;
}

template <typename T> T* bindPlain(const Glib::RefPtr<Gtk::Builder>& builder, const char* id) {
    T* widget = nullptr;
    builder->get_widget(id, widget);
    return widget;
}

template <typename T> void destroy(T*& widget) {
    delete widget;
    widget = nullptr;
}

} // namespace

MainWindowWidgets::~MainWindowWidgets() {
    release();
}

void MainWindowWidgets::bind(const Glib::RefPtr<Gtk::Builder>& builder) {
    firmwareMethodBox = bindDerived<FirmwareMethodBox>(builder, "FirmwareMethodBox");
    menuBar = bindDerived<MenuBar>(builder, "MenuBar");
    selectFirmwareBox = bindDerived<SelectFirmwareBox>(builder, "SelectFirmwareBox");
    connectionDialog = bindDerived<ConnectionDialog>(builder, "ConnectionDialog");
    openFileDialog = bindDerived<OpenFileDialog>(builder, "OpenFileDialog");
    deviceListBox = bindDerived<DeviceListBox>(builder, "ListDeviceFrame");
    loadStatusBar = bindPlain<Gtk::LevelBar>(builder, "LoadStatusBar");
    loadStatusLabel = bindPlain<Gtk::Label>(builder, "LoadStatusOverlayLabel");
    appStatusbar = bindPlain<Gtk::Statusbar>(builder, "AppStatusbar");
}

void MainWindowWidgets::release() {
    destroy(firmwareMethodBox);
    destroy(menuBar);
    destroy(selectFirmwareBox);
    destroy(connectionDialog);
    destroy(openFileDialog);
    destroy(deviceListBox);
    destroy(loadStatusBar);
    loadStatusLabel = nullptr;
    appStatusbar = nullptr;
}

void MainWindowWidgets::setJobControlsSensitive(bool sensitive) {
    // The boxes as a whole: their own rules for each child's sensitivity hold again when they
    // are sensitive again.
    if (firmwareMethodBox)
        firmwareMethodBox->set_sensitive(sensitive);
    if (selectFirmwareBox)
        selectFirmwareBox->set_sensitive(sensitive);
    if (deviceListBox)
        deviceListBox->setSearchSensitive(sensitive);
    if (menuBar)
        menuBar->setConnectionItemsSensitive(sensitive);
}

void MainWindowWidgets::relabelAll() {
    if (firmwareMethodBox)
        firmwareMethodBox->redefinitionLabeles();
    if (menuBar)
        menuBar->redefinitionLabeles();
    if (selectFirmwareBox)
        selectFirmwareBox->redefinitionLabeles();
    if (connectionDialog)
        connectionDialog->redefinitionLabeles();
    if (openFileDialog)
        openFileDialog->redefinitionLabeles();
    if (deviceListBox)
        deviceListBox->redefinitionLabeles();
}

} // namespace TaviskBiaconWidgets
