#pragma once

#include "core/LoggerManager.h"
#include "widgets/BilingualLabels.h"

#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/filechooserdialog.h>
#include <gtkmm/filefilter.h>
#include <gtkmm/window.h>

#include <string>
#include <vector>

namespace TaviskBiaconWidgets {

// The chooser for an image file. The main window runs it modally and reads the chosen name;
// this class gives it its buttons, its first folder (the Desktop), its owner and its filters.
class OpenFileDialog : public Gtk::FileChooserDialog {
public:
    enum OpenFileDialogText { CANCEL_BUTTON = 0, OPEN_BUTTON = 1 };

    OpenFileDialog(GtkFileChooserDialog* cobject, const Glib::RefPtr<Gtk::Builder>& builder);
    ~OpenFileDialog() override;

    void redefinitionLabeles();
    void setOwner(Gtk::Window* owner);
    // Names and patterns in turn: "Binar", "*.bin", ... . An unpaired last name is ignored.
    void init(std::vector<std::string> filters);

private:
    void definitionDefaultValues();
    void setFirstFolder();

    BilingualLabels<OpenFileDialogText> texts;
    Glib::RefPtr<Gtk::Builder> builder;
    Glib::RefPtr<Gtk::FileFilter> lastFilter;
    Gtk::Button* openButton = nullptr;   // owned by the dialog
    Gtk::Button* cancelButton = nullptr; // owned by the dialog
    Gtk::Window* owner = nullptr;
    LoggerManager* logger;
};

} // namespace TaviskBiaconWidgets
