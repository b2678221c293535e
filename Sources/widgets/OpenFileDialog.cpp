#include "widgets/OpenFileDialog.h"

#include "platform/ProcessServices.h"

#include <glibmm/miscutils.h>

namespace TaviskBiaconWidgets {

namespace {
const std::string logPrefix = "OpenFileDialog: ";
}

OpenFileDialog::OpenFileDialog(GtkFileChooserDialog* cobject, const Glib::RefPtr<Gtk::Builder>& builder)
    : Glib::ObjectBase("OpenFileDialog"), Gtk::FileChooserDialog(cobject),
      texts({{CANCEL_BUTTON, "Отмена"}, {OPEN_BUTTON, "Открыть"}},
            {{CANCEL_BUTTON, "Cancel"}, {OPEN_BUTTON, "Open"}}),
      builder(builder), logger(&LoggerManager::getInstance()) {
    definitionDefaultValues();
}

OpenFileDialog::~OpenFileDialog() = default;

void OpenFileDialog::definitionDefaultValues() {
    redefinitionLabeles();
    openButton = add_button(texts.text(OPEN_BUTTON), Gtk::RESPONSE_OK);
    cancelButton = add_button(texts.text(CANCEL_BUTTON), Gtk::RESPONSE_CANCEL);
    setFirstFolder();
}

void OpenFileDialog::redefinitionLabeles() {
    logger->log("Redefinition labeles", BaseLogger::DEBUG, logPrefix);
    texts.switchLanguage();
    if (openButton)
        openButton->set_label(texts.text(OPEN_BUTTON));
    if (cancelButton)
        cancelButton->set_label(texts.text(CANCEL_BUTTON));
}

void OpenFileDialog::setFirstFolder() {
    try {
        std::string folder = getDesktopDir().value_or(std::string());
        if (folder.empty()) {
            const std::string home = Glib::get_home_dir();
            if (home.empty())
                return;
            folder = Glib::build_filename(home, "Desktop");
        }
        if (!folder.empty())
            set_current_folder(folder);
    } catch (...) {
        // The chooser keeps the folder that GTK gives it.
    }
}

void OpenFileDialog::setOwner(Gtk::Window* window) {
    owner = window;
    if (owner)
        set_transient_for(*owner);
}

void OpenFileDialog::init(std::vector<std::string> filters) {
    for (std::size_t i = 0; i + 1 < filters.size(); i += 2) {
        const std::string& name = filters[i];
        const std::string& pattern = filters[i + 1];
        lastFilter = Gtk::FileFilter::create();
        lastFilter->set_name(name + " Files (" + pattern + ")");
        lastFilter->add_pattern(pattern);
        add_filter(lastFilter);
    }
}

} // namespace TaviskBiaconWidgets
