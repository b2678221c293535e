// The program as a person uses it: the real executable on a display of the test's own, driven
// by X input events only (xdotool), and read as a screen reader reads it (the accessibility
// bus). It connects to a simulated beacon on a pseudo-terminal through the menu and the
// connection dialog, searches, loads an STM32 image and then an ESP32 image through the
// simulated ROM loader, each chosen in the file chooser; the simulators confirm both images
// byte for byte, and the logs hold what the program did. A screenshot of the main window
// during the STM32 upload is left in the build folder (docs/ of the repository carries it).
#include "tests/app/AccessibleApp.h"
#include "tests/app/ChildProcess.h"
#include "tests/app/PrivateDisplay.h"
#include "tests/app/ProgramProcess.h"
#include "tests/app/Screenshot.h"
#include "tests/app/SessionBus.h"
#include "tests/sim/beacon/SharedTestImage.h"
#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"
#include "tests/sim/rom/SampleEsp32Image.h"
#include "tests/sim/rom/SimRomPeer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <sys/wait.h>

// Under AddressSanitizer: whole stacks at each allocation, so that cmake/lsan.supp can name
// the libraries whose tables live as long as the process (here and in the program).
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The texts the window shows (its Russian labels; the window starts in Russian).
const char* const kConnectionMenu = "Подключение";
const char* const kConnectItem = "Подключиться";
const char* const kQuitItem = "Выход";
const char* const kDialogConnect = "Подключить";
const char* const kSearch = "Поиск устройств";
const char* const kChooseFile = "Поиск";
const char* const kUpload = "Загрузить";
const char* const kSuccess = "Устройство прошито успешно";

constexpr auto kStep = 30s;      // one step of the user: a window, a menu, a list row
constexpr auto kTransfer = 180s; // a whole image over the paced line

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class ProgramEndToEnd : public ::testing::Test {
protected:
    // A failure shows the end of what the program logged: its folder goes with the test.
    void TearDown() override {
        if (!HasFailure() || !program)
            return;
        // Its own lines and every warning or error, not the protocol's chatter.
        std::istringstream log(readFile(program->applicationLogPath()));
        std::cerr << "application log (the window's lines, warnings and errors):\n";
        for (std::string line; std::getline(log, line);)
            if (line.find("MainWindow: ") != std::string::npos ||
                line.find("[WARNING]") != std::string::npos || line.find("[ERROR]") != std::string::npos)
                std::cerr << line << "\n";
    }
    // Waits for a showing widget; the failure names it and what the program logged last.
    ::testing::AssertionResult shows(const std::string& role, const std::string& name,
                                     AccessibleWidget* found, std::chrono::milliseconds deadline = kStep) {
        std::optional<AccessibleWidget> widget;
        if (eventually([&] { return (widget = app->find(role, name)).has_value(); }, deadline, kLookEvery)) {
            if (found)
                *found = *widget;
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "no " << role << " \"" << name << "\" showed within "
                                             << deadline.count() / 1000 << " s" << programState();
    }
    // A click on the middle of a widget, once it shows.
    ::testing::AssertionResult click(const std::string& role, const std::string& name) {
        AccessibleWidget widget;
        ::testing::AssertionResult result = shows(role, name, &widget);
        if (result)
            display.click(widget.centerX(), widget.centerY());
        return result;
    }
    // Opens a combo box and picks an entry; the combo box then shows it.
    ::testing::AssertionResult choose(const std::string& current, const std::string& entry) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            ::testing::AssertionResult opened = click("combo box", current);
            if (!opened)
                return opened;
            AccessibleWidget item;
            if (shows("menu item", entry, &item, 10s)) {
                display.click(item.centerX(), item.centerY());
                if (shows("combo box", entry, nullptr, 10s))
                    return ::testing::AssertionSuccess();
            }
            display.run("xdotool key Escape");
        }
        return ::testing::AssertionFailure()
               << "the combo box \"" << current << "\" did not take \"" << entry << "\"" << programState();
    }
    // The file chooser opened by the sensitive "Поиск" button of the target's row, left open.
    ::testing::AssertionResult openFileChooser() {
        std::optional<AccessibleWidget> button;
        if (!eventually(
                [&] {
                    for (const AccessibleWidget& w : app->all("push button"))
                        if (w.name == kChooseFile && w.sensitive)
                            button = w;
                    return button.has_value();
                },
                kStep, kLookEvery))
            return ::testing::AssertionFailure()
                   << "no sensitive button \"" << kChooseFile << "\"" << programState();
        display.click(button->centerX(), button->centerY());
        ::testing::AssertionResult opened = shows("push button", "Открыть", nullptr);
        if (!opened)
            opened << " (the file chooser)";
        return opened;
    }
    // The file chooser of the target's row: a double click on the file's row in the list of
    // the Desktop.
    ::testing::AssertionResult chooseFile(const std::string& fileName) {
        ::testing::AssertionResult opened = openFileChooser();
        if (!opened)
            return opened;
        // Opened again, the chooser may show the recently used files: then the Desktop, its
        // first folder, is one click away in its sidebar.
        AccessibleWidget row;
        if (!shows("table cell", fileName, &row, 5s)) {
            AccessibleWidget desktop;
            ::testing::AssertionResult place = shows("label", "Desktop", &desktop);
            if (!place)
                return place << " (the file chooser's places)";
            display.click(desktop.centerX(), desktop.centerY());
            ::testing::AssertionResult listed = shows("table cell", fileName, &row);
            if (!listed)
                return listed << " (the file chooser's list of the Desktop)";
        }
        // The chooser lays itself out for a while after it shows, and a double click whose two
        // clicks meet two layouts opens nothing: the row is clicked once it stays in place, and
        // again while the chooser is still open.
        for (int attempt = 0; attempt < 3; ++attempt) {
            eventually(
                [&] {
                    const std::optional<AccessibleWidget> now = app->find("table cell", fileName);
                    if (!now)
                        return true; // the chooser has closed
                    const bool settled = now->x == row.x && now->y == row.y && now->width == row.width &&
                                         now->height == row.height;
                    row = *now;
                    return settled;
                },
                kStep, kLookEvery);
            display.doubleClick(row.centerX(), row.centerY());
            if (eventually([&] { return !app->find("table cell", fileName); }, kStep / 3, kLookEvery))
                return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "the file chooser stayed open" << programState();
    }
    // The text of the label over the progress bar.
    std::string progressText() {
        for (const AccessibleWidget& w : app->all("label"))
            if (w.name == kSuccess || (!w.name.empty() && w.name.back() == '%'))
                return w.name;
        return {};
    }
    std::string programState() {
        std::string state = program && program->waitForEnd(0s) ? " (the program has ended)" : "";
        if (!program)
            return state;
        const std::string console = readFile(program->consolePath());
        const std::size_t from = console.size() > 2000 ? console.size() - 2000 : 0;
        state += "\nlast console output:\n" + console.substr(from) + "\nshowing widgets:";
        if (app)
            for (const AccessibleWidget& w : app->widgets())
                if (w.showing)
                    state += " [" + w.role + " '" + w.name + "' " + std::to_string(w.x) + "," +
                             std::to_string(w.y) + "]";
        return state;
    }
    // Lines of a log, to find expected ones in.
    static ::testing::AssertionResult holds(const std::string& log, const std::string& name,
                                            const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            if (log.find(line) == std::string::npos)
                return ::testing::AssertionFailure() << "the " << name << " lacks \"" << line << "\"";
        return ::testing::AssertionSuccess();
    }

    // The program on the test's display with the accessibility bus, the simulated beacon (and
    // its ROM loader) on a line paced at 115200 baud, and its window showing.
    ::testing::AssertionResult start(const Bytes& expectedStm32) {
        if (!display.answers(30s))
            return ::testing::AssertionFailure() << "Xvfb did not start or does not answer";
        bus = std::make_unique<SessionBus>(temp.path(), display.name());
        if (bus->address().empty())
            return ::testing::AssertionFailure() << "dbus-daemon did not start";
        std::string error;
        if (!AccessibleApp::connect(bus->address(), display.name(), &error))
            return ::testing::AssertionFailure() << error;
        beacon->setBootloaderPeer(rom);
        line.addPeer(beacon);
        if (!line.open(&error))
            return ::testing::AssertionFailure() << error;
        beacon->setExpectedImage(expectedStm32);
        std::filesystem::create_directories(temp.path() + "/Desktop");
        const char* asan = std::getenv("ASAN_OPTIONS");
        program = std::make_unique<ProgramProcess>(
            display, temp.path(), line.path(),
            std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + bus->address(), "NO_AT_BRIDGE=",
                                     "ASAN_OPTIONS=" + std::string(asan ? asan : "") +
                                         ":fast_unwind_on_malloc=0"});
        app = std::make_unique<AccessibleApp>(program->pid());
        if (!shows("frame", "TaviskBeaconUtility", &window, 90s))
            return ::testing::AssertionFailure() << "\nstart-up log:\n"
                                                 << readFile(program->startupLogPath());
        return ::testing::AssertionSuccess();
    }

    // Connection > Connect; in the dialog the simulated beacon's port and 115200 baud.
    ::testing::AssertionResult connectThroughTheDialog() {
        ::testing::AssertionResult step = click("menu", kConnectionMenu);
        if (step)
            step = click("menu item", kConnectItem);
        AccessibleWidget port;
        if (step)
            step = shows("label", "Порт", &port);
        if (!step)
            return step;
        std::optional<AccessibleWidget> portBox;
        for (const AccessibleWidget& w : app->all("combo box"))
            if (w.name.rfind("/dev/", 0) == 0 && w.y == port.y)
                portBox = w;
        if (!portBox)
            return ::testing::AssertionFailure() << "no port list beside the label \"Порт\"";
        step = choose(portBox->name, line.path());
        if (step)
            step = choose("115200", "115200");
        if (step)
            step = click("push button", kDialogConnect);
        if (step && !program->logged("ConnectionDialog: Connection success"))
            step = ::testing::AssertionFailure() << "no connection" << programState();
        if (step && !eventually([&] { return !app->find("push button", kDialogConnect); }, kStep, kLookEvery))
            step = ::testing::AssertionFailure() << "the connection dialog stayed open";
        return step;
    }

    PrivateDisplay display;
    TempFolder temp;
    std::unique_ptr<SessionBus> bus;
    std::shared_ptr<sim::SimBeacon> beacon = std::make_shared<sim::SimBeacon>();
    std::shared_ptr<sim::SimRomPeer> rom = std::make_shared<sim::SimRomPeer>();
    sim::PtyLine line{115200};
    std::unique_ptr<ProgramProcess> program;
    std::unique_ptr<AccessibleApp> app;
    AccessibleWidget window;
};

TEST_F(ProgramEndToEnd, UploadsAnStm32AndAnEsp32ImageChosenInTheWindow) {
    const Bytes stm32 = sim::sharedTestImage(32 * 1024);
    const Bytes esp32 = sim::sampleEsp32Image(24 * 1024);
    ASSERT_TRUE(start(stm32));
    writeBytes(temp.path() + "/Desktop/stm32.bin", stm32);
    writeBytes(temp.path() + "/Desktop/esp32.bin", esp32);
    ASSERT_TRUE(connectThroughTheDialog());

    // Search: the beacon's row in the device list.
    ASSERT_TRUE(click("push button", kSearch));
    ASSERT_TRUE(shows("label", "beacon", nullptr)) << "no row of the device \"beacon\" in the list";

    // The STM32 image, chosen in the file chooser and uploaded; a screenshot half-way.
    ASSERT_TRUE(chooseFile("stm32.bin"));
    ASSERT_TRUE(click("push button", kUpload));
    const std::string screenshot = std::string(TAVISK_SCREENSHOT_DIR) + "/main-window-upload.png";
    // Half-way: a screenshot, and Search pressed (its button cannot be used, and a click on it
    // changes nothing of what the device receives). Each look at the window may take long on a
    // loaded machine; the image is large enough that half-way is not missed.
    std::string shot = "the upload was not seen half-way";
    std::optional<AccessibleWidget> search;
    ASSERT_TRUE(eventually(
        [&] {
            const std::string text = progressText();
            const int percent = std::atoi(text.c_str());
            if (text.empty() || text.back() != '%' || percent < 30 || percent > 80)
                return text == kSuccess;
            std::filesystem::create_directories(TAVISK_SCREENSHOT_DIR);
            shot =
                saveScreenshot(display.name(), window.x, window.y, window.width, window.height, screenshot);
            search = app->find("push button", kSearch);
            if (search)
                display.click(search->centerX(), search->centerY());
            return true;
        },
        kTransfer, kLookEvery))
        << "the upload never reached 30 %: " << progressText() << programState();
    EXPECT_EQ(shot, "") << "no screenshot taken during the upload";
    ASSERT_TRUE(search) << "no device search button half-way" << programState();
    EXPECT_FALSE(search->sensitive) << "the device search can be pressed during the upload";
    ASSERT_TRUE(eventually([&] { return progressText() == kSuccess; }, kTransfer, kLookEvery))
        << "no success text after the STM32 upload; the label shows \"" << progressText() << "\""
        << programState();
    EXPECT_TRUE(beacon->imageMatches());
    EXPECT_EQ(beacon->receivedImage(), stm32);
    EXPECT_EQ(beacon->violations(), std::vector<std::string>{});
    ASSERT_TRUE(eventually(
        [&] { return app->find("push button", kSearch) && app->find("push button", kSearch)->sensitive; },
        kStep, kLookEvery))
        << "the device search stayed insensitive after the upload" << programState();

    // The ESP32 image: the target chooser, the file chooser of the ESP32 row, Upload.
    ASSERT_TRUE(choose("STM32", "ESP32"));
    ASSERT_TRUE(chooseFile("esp32.bin"));
    ASSERT_TRUE(click("push button", kUpload));
    ASSERT_TRUE(eventually([&] { return progressText() != kSuccess; }, kStep, kLookEvery))
        << "the label kept the old text";
    ASSERT_TRUE(eventually([&] { return progressText() == kSuccess; }, kTransfer, kLookEvery))
        << "no success text after the ESP32 flash; the label shows \"" << progressText() << "\""
        << programState();
    Bytes flash;
    rom->with(
        [&](sim::SimRomLoader& m) { flash.assign(m.flash().begin(), m.flash().begin() + esp32.size()); });
    EXPECT_EQ(flash, esp32);
    EXPECT_TRUE(beacon->handedOff());

    // Quit from the menu; the program ends by itself with status 0.
    ASSERT_TRUE(click("menu", kConnectionMenu));
    ASSERT_TRUE(click("menu item", kQuitItem));
    ASSERT_TRUE(program->waitForEnd(60s)) << "the program did not end after Quit" << programState();
    ASSERT_TRUE(WIFEXITED(program->status())) << "ended by signal " << WTERMSIG(program->status());
    EXPECT_EQ(WEXITSTATUS(program->status()), 0) << "standard error:\n" << readFile(program->errorPath());
    const std::string errors = readFile(program->errorPath());
    for (const char* kind : {"-CRITICAL **", "-WARNING **"})
        EXPECT_EQ(errors.find(kind), std::string::npos) << "standard error:\n" << errors;

    EXPECT_TRUE(holds(readFile(program->startupLogPath()), "start-up log",
                      {"=== Application start ===", "MainWindow: loading UI from GResource",
                       "MainWindow created. Entering event loop."}));
    const std::string applicationLog = program->applicationLogPath();
    ASSERT_NE(applicationLog, "") << "no application log in " << temp.path();
    const std::string appLog = readFile(applicationLog);
    std::size_t searches = 0;
    for (std::size_t at = appLog.find("MainWindow: Searching devices..."); at != std::string::npos;
         at = appLog.find("MainWindow: Searching devices...", at + 1))
        ++searches;
    EXPECT_EQ(searches, 1u) << "the click on Search during the upload searched";
    EXPECT_TRUE(holds(readFile(applicationLog), "application log",
                      {"ConnectionDialog: Connection success", "MainWindow: Searching devices...",
                       "MainWindow: Start upload",
                       "Firmware transfer complete: " + std::to_string(stm32.size()) + " bytes",
                       "MainWindow: ESP32 flashing completed", "MainWindow: QuitApp"}));
}

// A signal to end, sent during an STM32 upload (of the preinstalled image) or while a dialog is
// open: the program ends as its Quit does, with status 0 after one line that names the signal
// and what it abandoned, and the beacon's line is free for the next program at once. The file
// chooser runs a loop of its own, which must not hold the program until someone answers it.
enum class OpenAtSignal { Upload, FileChooser, ConnectionDialog };

struct EndSignal {
    const char* name;
    int number;
    OpenAtSignal open;
};

std::string rowName(const EndSignal& s) {
    switch (s.open) {
    case OpenAtSignal::FileChooser:
        return std::string(s.name) + "_FileChooserOpen";
    case OpenAtSignal::ConnectionDialog:
        return std::string(s.name) + "_ConnectionDialogOpen";
    case OpenAtSignal::Upload:
        break;
    }
    return s.name;
}

void PrintTo(const EndSignal& s, std::ostream* os) {
    *os << rowName(s);
}

class ProgramSignals : public ProgramEndToEnd, public ::testing::WithParamInterface<EndSignal> {};

TEST_P(ProgramSignals, EndTheProgramAsQuitDoesAndFreeTheLine) {
    const EndSignal& signal = GetParam();
    // A device slow to answer: the upload of the 20,007-byte image takes several seconds, so
    // the signal of an upload row comes during it however loaded the machine.
    sim::BeaconConfig slow;
    slow.answerDelay = std::chrono::milliseconds(10);
    beacon = std::make_shared<sim::SimBeacon>(slow);
    ASSERT_TRUE(start({}));
    ASSERT_TRUE(connectThroughTheDialog());
    ASSERT_TRUE(heldExclusively(line.path()));

    switch (signal.open) {
    case OpenAtSignal::Upload: {
        // The preinstalled image: the switch, then Upload; the signal comes half-way.
        std::optional<AccessibleWidget> source;
        ASSERT_TRUE(eventually(
            [&] {
                for (const AccessibleWidget& w : app->all("toggle button"))
                    if (w.showing)
                        source = w;
                return source.has_value();
            },
            kStep, kLookEvery))
            << "no switch for the preinstalled image" << programState();
        display.click(source->centerX(), source->centerY());
        ASSERT_TRUE(click("push button", kUpload));
        ASSERT_TRUE(eventually([&] { return beacon->receivedImage().size() >= 2048; }, kTransfer, kLookEvery))
            << "the upload did not get under way; the label shows \"" << progressText() << "\""
            << programState();
        break;
    }
    case OpenAtSignal::FileChooser:
        ASSERT_TRUE(openFileChooser());
        break;
    case OpenAtSignal::ConnectionDialog:
        ASSERT_TRUE(click("menu", kConnectionMenu));
        ASSERT_TRUE(click("menu item", kConnectItem));
        ASSERT_TRUE(shows("push button", kDialogConnect, nullptr)) << " (the connection dialog)";
        break;
    }
    ASSERT_EQ(::kill(program->pid(), signal.number), 0);

    // A dialog left open must not hold the end, so a few seconds are plenty; the upload rows
    // keep a wide margin for the workers' end on a loaded machine.
    const auto deadline = signal.open == OpenAtSignal::Upload ? 60s : 10s;
    ASSERT_TRUE(program->waitForEnd(deadline)) << "the program did not end on " << signal.name << " within "
                                               << deadline.count() << " s" << programState();
    ASSERT_TRUE(WIFEXITED(program->status())) << "ended by signal " << WTERMSIG(program->status());
    EXPECT_EQ(WEXITSTATUS(program->status()), 0) << "standard error:\n" << readFile(program->errorPath());
    EXPECT_FALSE(heldExclusively(line.path())) << "the line is still held";
    const std::string log = readFile(program->applicationLogPath());
    if (signal.open != OpenAtSignal::Upload) {
        const std::string ended = std::string("[WARNING] MainWindow: Ended by signal ") + signal.name +
                                  " while nothing was running";
        EXPECT_NE(log.find(ended), std::string::npos) << "no line \"" << ended << "\" in:\n" << log;
        return;
    }
    EXPECT_FALSE(beacon->imageComplete());
    const std::string ended =
        std::string("[WARNING] MainWindow: Ended by signal ") + signal.name + " during an STM32 upload at ";
    const std::size_t at = log.find(ended);
    ASSERT_NE(at, std::string::npos) << "no line \"" << ended << "\" in:\n" << log;
    EXPECT_NE(log.find(" %: the upload is abandoned and the device is left without its whole image", at),
              std::string::npos);
    EXPECT_NE(log.find("SerialListener: Thread is terminated", at), std::string::npos)
        << "the workers were not ended";
}

INSTANTIATE_TEST_SUITE_P(, ProgramSignals,
                         ::testing::Values(EndSignal{"SIGTERM", SIGTERM, OpenAtSignal::Upload},
                                           EndSignal{"SIGINT", SIGINT, OpenAtSignal::Upload},
                                           EndSignal{"SIGHUP", SIGHUP, OpenAtSignal::Upload},
                                           EndSignal{"SIGTERM", SIGTERM, OpenAtSignal::FileChooser},
                                           EndSignal{"SIGTERM", SIGTERM, OpenAtSignal::ConnectionDialog}),
                         [](const auto& info) { return rowName(info.param); });

} // namespace
} // namespace tavisk::test
