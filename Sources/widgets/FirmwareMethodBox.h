#pragma once

#include "core/LoggerManager.h"
#include "link/FirmwareTarget.h"
#include "widgets/BilingualLabels.h"

#include <gtkmm/box.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/label.h>

#include <string>
#include <vector>

namespace TaviskBiaconWidgets {

// The target chooser: the processor to load (STM32 or ESP32) and the Upload button. It keeps
// no choice of its own; it fires SELECT_STM32 / SELECT_ESP32 and UPLOAD_FIRMWARE.
class FirmwareMethodBox : public Gtk::Box {
public:
    enum FirmwareMethodText { METHOD_LABEL = 0, UPLOAD_BUTTON = 1 };

    FirmwareMethodBox(GtkBox* cobject, const Glib::RefPtr<Gtk::Builder>& builder);
    ~FirmwareMethodBox() override;

    void redefinitionLabeles();
    void setActiveMethod();
    void upload();

private:
    void definitionDefaultValues();

    BilingualLabels<FirmwareMethodText> texts;
    Glib::RefPtr<Gtk::Builder> builder;
    Glib::RefPtr<Gtk::ComboBoxText> methodComboBox;
    Glib::RefPtr<Gtk::Label> methodLabel;
    Glib::RefPtr<Gtk::Button> uploadButton;
    LoggerManager* logger;
};

} // namespace TaviskBiaconWidgets
