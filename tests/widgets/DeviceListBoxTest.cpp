#include "link/LinkControl.h"
#include "tests/support/LogCapture.h"
#include "tests/widgets/BuiltWidgets.h"
#include "tests/widgets/WidgetTestSupport.h"

#include <gtest/gtest.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>
#include <gtkmm/listbox.h>
#include <gtkmm/listboxrow.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using tavisk::test::BuiltWidgets;
using tavisk::test::FakeHandlers;
using tavisk::test::LogCapture;

const char* const startedLine = "DeviceListBox: Thread is started";
const char* const endedLine = "DeviceListBox: Thread is terminated";

DeviceInfo device(std::uint8_t address, const char* name) {
    DeviceInfo info;
    info.address = address;
    info.nameLength = static_cast<std::uint8_t>(std::strlen(name));
    std::strncpy(info.name, name, sizeof info.name - 1);
    return info;
}

class DeviceList : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHandlers::instance().registerKeys({SEARCH_DEVICES, SET_CURRENT_DEVICE_ADDR});
        widgets = std::make_unique<BuiltWidgets>();
        searchFinds([] {});
        search = Glib::RefPtr<Gtk::Button>::cast_dynamic(widgets->builder->get_object("SearchDeviceButton"));
        list = Glib::RefPtr<Gtk::ListBox>::cast_dynamic(widgets->builder->get_object("ListDeviceListBox"));
    }

    // The search handler stands in for the session, which empties the model for a search, and
    // for the devices that answer it.
    void searchFinds(std::function<void()> answers) {
        FakeHandlers::instance().setAction(SEARCH_DEVICES, [this, answers] {
            widgets->deviceModel.clearDeviceList();
            answers();
        });
    }

    std::vector<std::string> rows() const {
        std::vector<std::string> names;
        for (Gtk::Widget* widget : list->get_children()) {
            auto* row = dynamic_cast<Gtk::ListBoxRow*>(widget);
            auto* label = row ? dynamic_cast<Gtk::Label*>(row->get_child()) : nullptr;
            names.push_back(label ? std::string(label->get_text()) : "<not a label row>");
        }
        return names;
    }

    // Waits until the worker has ended and its names have reached the list.
    void waitForListing(const LogCapture& log, std::size_t workers = 1) {
        ASSERT_TRUE(log.waitForText(endedLine, workers));
        tavisk::test::runUntil([&] { return false; }, std::chrono::milliseconds(50));
        tavisk::test::pumpEvents();
    }

    std::unique_ptr<BuiltWidgets> widgets;
    Glib::RefPtr<Gtk::Button> search;
    Glib::RefPtr<Gtk::ListBox> list;
};

// The line's owner as the list asks it: whether another job has the line.
struct LineOwnerStub : LinkControl {
    bool jobRunning = false;
    std::vector<std::string> listPorts() override { return {}; }
    LinkStatus connectPort(const std::string&, UsbTypes::Baudrate) override { return LINK_OPEN_FAILED; }
    LinkStatus disconnect() override { return LINK_CLOSE_FAILED; }
    bool isConnected() override { return false; }
    bool busy() override { return jobRunning; }
};

// A search that fails (no link) still empties the list and the model, and says so; one refused
// because another job has the line changes nothing the user sees and leaves the words to the
// refusal. Neither starts a worker.
TEST_F(DeviceList, AFailedSearchEmptiesTheListARefusedOneKeepsIt) {
    const struct {
        const char* name;
        bool jobRunning;
        std::vector<std::string> rowsAfter;
        std::size_t devicesAfter;
        std::size_t errorLines;
    } cases[] = {
        {"no link", false, {}, 0, 1},
        {"another job has the line", true, {"earlier row"}, 1, 0},
    };
    for (const auto& c : cases) {
        LineOwnerStub owner;
        owner.jobRunning = c.jobRunning;
        widgets->deviceListBox->lineOwner = &owner;
        widgets->deviceListBox->toClearList();
        widgets->deviceListBox->addToList("earlier row");
        widgets->deviceModel.addDevice(device(3, "earlier"));
        // The session empties the model unless it refuses the search.
        FakeHandlers::instance().setAction(SEARCH_DEVICES, [&] {
            if (!c.jobRunning)
                widgets->deviceModel.clearDeviceList();
        });
        FakeHandlers::instance().setResult(SEARCH_DEVICES, GlobalHandlerEvents::FAILURE);
        LogCapture log;
        search->clicked();
        EXPECT_EQ(rows(), c.rowsAfter) << c.name;
        EXPECT_EQ(widgets->deviceModel.copyDeviceList().size(), c.devicesAfter) << c.name;
        EXPECT_EQ(log.countWhole(
                      "DeviceListBox: Device search request transmitted with error (no active connection?)",
                      BaseLogger::ERROR),
                  c.errorLines)
            << c.name;
        EXPECT_EQ(log.count(startedLine), 0u) << c.name;
        widgets->deviceListBox->lineOwner = nullptr;
    }
}

TEST_F(DeviceList, ListsTheModelsDevicesInAddressOrderOncePerSearch) {
    searchFinds([&] {
        widgets->deviceModel.addDevice(device(9, "Beacon"));
        widgets->deviceModel.addDevice(device(2, "Relay"));
        widgets->deviceModel.addDevice(device(5, "Beacon"));
    });
    LogCapture log;
    search->clicked();
    EXPECT_EQ(log.count("DeviceListBox: Device search request transmitted successfully!", BaseLogger::INFO),
              1u);
    waitForListing(log);
    EXPECT_EQ(rows(), (std::vector<std::string>{"Relay", "Beacon", "Beacon"}));

    // The rows keep their texts across a language switch; the caption changes.
    widgets->deviceListBox->redefinitionLabeles();
    EXPECT_EQ(rows(), (std::vector<std::string>{"Relay", "Beacon", "Beacon"}));
    EXPECT_EQ(
        Glib::RefPtr<Gtk::Label>::cast_dynamic(widgets->builder->get_object("DeviceListLable"))->get_text(),
        "Device list");

    // A second search starts from an empty list.
    searchFinds([&] { widgets->deviceModel.addDevice(device(1, "Solo")); });
    search->clicked();
    waitForListing(log, 2);
    EXPECT_EQ(rows(), std::vector<std::string>{"Solo"});
}

TEST_F(DeviceList, SearchWithNoAnswerLeavesTheListEmptyAndTheWorkerEnds) {
    LogCapture log;
    search->clicked();
    waitForListing(log);
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(log.count(startedLine), 1u);
}

// Two clicks while the first worker waits run one worker, which lists once. The test holds
// the model's lock so that the worker cannot list between the clicks, however slow the run.
TEST_F(DeviceList, TwoQuickClicksGiveOneListing) {
    LogCapture log;
    {
        std::lock_guard<std::recursive_mutex> model(widgets->deviceModel.getMutex());
        search->clicked();
        widgets->deviceModel.addDevice(device(4, "First"));
        // Usually the worker's wait is over by now and it waits for the model: the second
        // click then frees "First" under its nose (a read of it would be a use after free).
        // On a slower run the worker simply lists later; the outcome is the same.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        search->clicked();
        EXPECT_TRUE(widgets->deviceModel.copyDeviceList().empty()) << "the second search emptied the model";
        widgets->deviceModel.addDevice(device(7, "Second"));
    }
    waitForListing(log);
    EXPECT_EQ(rows(), std::vector<std::string>{"Second"});
    EXPECT_EQ(log.count(startedLine), 1u);
    EXPECT_EQ(log.count(endedLine), 1u);
    EXPECT_EQ(FakeHandlers::instance().count(SEARCH_DEVICES), 2u);
}

// Names that a worker handed over before a new Search belong to the old search: the new
// Search drops them even when the GUI thread had not added them yet.
TEST_F(DeviceList, NamesOfAnEarlierSearchNeverAppearAfterANewOne) {
    searchFinds([&] { widgets->deviceModel.addDevice(device(1, "Old")); });
    LogCapture log;
    search->clicked();
    // The worker has handed "Old" over; the main loop has not run since.
    ASSERT_TRUE(log.waitForText(endedLine));
    searchFinds([&] { widgets->deviceModel.addDevice(device(2, "New")); });
    search->clicked();
    waitForListing(log, 2);
    EXPECT_EQ(rows(), std::vector<std::string>{"New"});
}

// The list may go away while its worker still waits: the worker is stopped, not left running.
TEST_F(DeviceList, DestroyingTheListStopsAWaitingWorker) {
    LogCapture log;
    std::unique_lock<std::recursive_mutex> model(widgets->deviceModel.getMutex());
    search->clicked();
    model.unlock();
    widgets.reset();
    EXPECT_EQ(log.count(endedLine), 1u);
}

} // namespace
