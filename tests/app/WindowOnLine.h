#pragma once

#include "app/MainWindow.h"
#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"
#include "tests/sim/rom/SimRomPeer.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>
#include <gtkmm/builder.h>
#include <gtkmm/dialog.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavisk::test {

// The main window, shown, with the simulated beacon (whose ESP32 ROM loader is simulated too)
// on a pseudo-terminal that the connection dialog lists. Tests drive the window through its
// widgets, as a user would, and the real link and workers carry the bytes.
class WindowOnLine : public ::testing::Test {
protected:
    void TearDown() override;

    // Opens the line (paced at `baud`, 0: unpaced) and builds and shows the window.
    void start(unsigned baud = 0, sim::SimRomConfig rom = {});

    // A widget of the window's UI definition by id.
    template <typename T> T* widget(const char* id) {
        T* found = nullptr;
        window->getBuilder()->get_widget(id, found);
        return found;
    }

    // Connection menu, Connect, the line's port, the dialog's Connect button.
    void connectThroughDialog();
    // The device list's Search button until the list shows the beacon.
    void searchUntilListed();
    // Runs the file chooser of the STM32 row with `path` selected and ends it with `finish`
    // (a response, or closing it).
    void chooseStm32File(const std::string& path, const std::function<void(Gtk::Dialog&)>& finish);
    void clickUpload();
    std::vector<std::string> listedDevices();
    std::string progressText();
    // Waits, running the main loop, until the log holds the text.
    bool logged(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(60));
    // A file in the test's temporary folder.
    std::string writeFile(const std::string& name, const std::vector<std::uint8_t>& bytes);

    BeaconSession& session() { return window->getSession(); }

    LogCapture log; // first: it outlives the window, whose destructor still logs
    std::shared_ptr<sim::SimBeacon> beacon = std::make_shared<sim::SimBeacon>();
    std::shared_ptr<sim::SimRomPeer> rom;
    std::unique_ptr<sim::PtyLine> line;
    std::unique_ptr<MainWindow> window; // destroyed before the line
};

} // namespace tavisk::test
