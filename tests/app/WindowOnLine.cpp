#include "tests/app/WindowOnLine.h"

#include "tests/widgets/WidgetTestSupport.h"

#include <glibmm/main.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/filechooserdialog.h>
#include <gtkmm/imagemenuitem.h>
#include <gtkmm/label.h>
#include <gtkmm/listbox.h>
#include <gtkmm/listboxrow.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "widgets/ConnectionDialog.h"
#include "widgets/OpenFileDialog.h"
#include "widgets/SelectFirmwareBox.h"

namespace tavisk::test {

using namespace std::chrono_literals;

void WindowOnLine::start(unsigned baud, sim::SimRomConfig romConfig) {
    unsetenv("TAVISK_LOG_LEVEL");
    unsetenv("TAVISK_UI_GLADE");
    rom = std::make_shared<sim::SimRomPeer>(romConfig);
    beacon->setBootloaderPeer(rom);
    line = std::make_unique<sim::PtyLine>(baud);
    line->addPeer(beacon);
    std::string error;
    ASSERT_TRUE(line->open(&error)) << error;
    setenv("TAVISK_SERIAL_PORTS", line->path().c_str(), 1);
    Glib::RefPtr<Gtk::Application> noApplication;
    window.reset(MainWindow::getInstance("TaviskBeaconUtility", noApplication));
    window->show();
    pumpEvents();
}

void WindowOnLine::TearDown() {
    window.reset();
    pumpEvents();
    if (!HasFailure())
        return;
    log.printTail(std::cerr, 80);
}

void WindowOnLine::connectThroughDialog() {
    widget<Gtk::ImageMenuItem>("ConnectImageMenuItem")->activate();
    auto* dialog = window->getWidgets().connectionDialog;
    ASSERT_TRUE(dialog->get_visible());
    EXPECT_FALSE(window->get_sensitive());
    auto* ports = widget<Gtk::ComboBoxText>("PortsListComboTextBox");
    ports->set_active_text(line->path());
    ASSERT_EQ(std::string(ports->get_active_text()), line->path());
    widget<Gtk::Button>("DialogConnectButton")->clicked();
    pumpEvents();
    ASSERT_TRUE(session().isConnected());
    EXPECT_FALSE(dialog->get_visible());
    EXPECT_TRUE(window->get_sensitive());
}

std::vector<std::string> WindowOnLine::listedDevices() {
    std::vector<std::string> names;
    for (Gtk::Widget* row : widget<Gtk::ListBox>("ListDeviceListBox")->get_children())
        if (auto* label = dynamic_cast<Gtk::Label*>(static_cast<Gtk::ListBoxRow*>(row)->get_child()))
            names.push_back(label->get_text());
    return names;
}

void WindowOnLine::searchUntilListed() {
    // The list shows what answered within 200 ms of the click; on a loaded machine the answer
    // may come later, and the next click lists it.
    for (int attempt = 0; attempt < 10; ++attempt) {
        widget<Gtk::Button>("SearchDeviceButton")->clicked();
        if (runUntil([&] { return !listedDevices().empty(); }, 3s))
            break;
    }
    ASSERT_EQ(listedDevices(), std::vector<std::string>{"beacon"});
}

void WindowOnLine::chooseStm32File(const std::string& path, const std::function<void(Gtk::Dialog&)>& finish) {
    Gtk::FileChooserDialog& chooser = *window->getWidgets().openFileDialog;
    // Opened, the chooser loads its folder in the background; a load that ends after the file
    // was selected drops the selection, also between the Open response and the moment the
    // window reads the file. A chooser that dropped the file under Open is asked again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool gaveUp = false;
        int response = Gtk::RESPONSE_NONE;
        const auto start = std::chrono::steady_clock::now();
        auto lastSelect = start - 1h;
        sigc::connection responded = chooser.signal_response().connect([&](int id) { response = id; });
        // Runs inside the chooser's own loop: select the file (again now and then), wait until
        // it shows the file, then end the chooser.
        sigc::connection driver = Glib::signal_timeout().connect(
            [&] {
                if (!chooser.get_visible())
                    return true;
                const auto now = std::chrono::steady_clock::now();
                if (now - start > 90s) {
                    gaveUp = true;
                    chooser.response(Gtk::RESPONSE_DELETE_EVENT);
                    return false;
                }
                if (chooser.get_filename() == path) {
                    finish(chooser);
                    return false;
                }
                if (now - lastSelect > 1s) {
                    chooser.select_filename(path);
                    lastSelect = now;
                }
                return true;
            },
            20);
        widget<Gtk::Button>("SelectFirmwareStm32Button")->clicked();
        driver.disconnect();
        responded.disconnect();
        pumpEvents();
        ASSERT_FALSE(gaveUp) << "the chooser never showed " << path;
        EXPECT_FALSE(chooser.get_visible());
        if (response != Gtk::RESPONSE_OK || window->getWidgets().selectFirmwareBox->getFilePath() == path)
            return;
    }
    ADD_FAILURE() << "the chooser dropped " << path << " under Open three times";
}

void WindowOnLine::clickUpload() {
    widget<Gtk::Button>("UploadButton")->clicked();
}

std::string WindowOnLine::progressText() {
    return window->getWidgets().loadStatusLabel->get_text();
}

bool WindowOnLine::logged(const std::string& text, std::chrono::milliseconds deadline) {
    return runUntil([&] { return log.contains(text); }, deadline);
}

std::string WindowOnLine::writeFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

} // namespace tavisk::test
