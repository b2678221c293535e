#include "link/UsbCommunication.h"
#include "tests/support/FakeSerialPort.h"
#include "tests/support/LogCapture.h"
#include "tests/widgets/BuiltWidgets.h"
#include "tests/widgets/WidgetTestSupport.h"

#include <glibmm/fileutils.h>
#include <gtest/gtest.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>

#include <regex>

namespace {

using tavisk::test::BuiltWidgets;
using tavisk::test::FakeSerialPort;
using tavisk::test::LogCapture;

const char* const noPortLine =
    "ConnectionDialog: No COM ports available/selected. Plug the device in and press Reset/Search ports.";
const char* const failedLine =
    "ConnectionDialog: Connection failed (see SerialPort/UsbCommunication logs for details)";
const char* const successLine = "ConnectionDialog: Connection success";

std::vector<std::string> entries(const Glib::RefPtr<Gtk::ComboBoxText>& combo) {
    std::vector<std::string> texts;
    for (const auto& row : combo->get_model()->children()) {
        Glib::ustring text;
        row.get_value(0, text);
        texts.push_back(text);
    }
    return texts;
}

class ConnectionDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto owned = std::make_unique<FakeSerialPort>();
        port = owned.get();
        link = std::make_unique<UsbCommunication>(std::move(owned));
        widgets = std::make_unique<BuiltWidgets>();
        dialog = widgets->connectionDialog;
        auto get = [&](const char* id) { return widgets->builder->get_object(id); };
        portsCombo = Glib::RefPtr<Gtk::ComboBoxText>::cast_dynamic(get("PortsListComboTextBox"));
        ratesCombo = Glib::RefPtr<Gtk::ComboBoxText>::cast_dynamic(get("BaudratesListComboTextBox"));
        connectButton = Glib::RefPtr<Gtk::Button>::cast_dynamic(get("DialogConnectButton"));
        closeButton = Glib::RefPtr<Gtk::Button>::cast_dynamic(get("DialogCloseButton"));
        resetButton = Glib::RefPtr<Gtk::Button>::cast_dynamic(get("ResetSearchPortsButton"));
    }

    void TearDown() override {
        widgets.reset();
        link.reset();
    }

    // What the main window's CONNECT_DIALOG_OPEN handler does.
    void open() {
        dialog->setUsbConnetctionPtr(*link);
        dialog->setOwner(widgets->mainWindow);
        dialog->show();
        widgets->mainWindow->set_sensitive(false);
    }

    FakeSerialPort* port = nullptr;
    std::unique_ptr<UsbCommunication> link;
    std::unique_ptr<BuiltWidgets> widgets;
    TaviskBiaconWidgets::ConnectionDialog* dialog = nullptr;
    Glib::RefPtr<Gtk::ComboBoxText> portsCombo, ratesCombo;
    Glib::RefPtr<Gtk::Button> connectButton, closeButton, resetButton;
};

TEST_F(ConnectionDialogTest, PortListIsEmptyUntilOpenedThenFilledWithTheLastPortActive) {
    port->ports = {"/dev/ttyUSB3", "/dev/ttyUSB7"};
    EXPECT_TRUE(entries(portsCombo).empty());
    open();
    EXPECT_EQ(entries(portsCombo), (std::vector<std::string>{"/dev/ttyUSB3", "/dev/ttyUSB7"}));
    EXPECT_EQ(portsCombo->get_active_text(), "/dev/ttyUSB7");

    // The reset button refreshes from the link.
    port->ports = {};
    resetButton->clicked();
    EXPECT_EQ(entries(portsCombo), std::vector<std::string>{"None"});
    EXPECT_EQ(portsCombo->get_active_text(), "None");

    // A long list (TAVISK_SERIAL_PORTS may name thousands) is filled whole, the last chosen.
    port->ports.clear();
    for (int i = 0; i < 10000; ++i)
        port->ports.push_back("/dev/pts/" + std::to_string(i));
    resetButton->clicked();
    EXPECT_EQ(entries(portsCombo), port->ports);
    EXPECT_EQ(portsCombo->get_active_text(), "/dev/pts/9999");
}

TEST_F(ConnectionDialogTest, OffersTheNineRatesWith115200Active) {
    EXPECT_EQ(entries(ratesCombo), (std::vector<std::string>{"57600", "115200", "230400", "460800", "500000",
                                                             "576000", "921600", "1000000", "2000000"}));
    EXPECT_EQ(ratesCombo->get_active_text(), "115200");
    EXPECT_EQ(dialog->get_title(), "Connection");
}

TEST_F(ConnectionDialogTest, ConnectWithNoPortLogsBothLinesAndLeavesTheLinkClosed) {
    open();
    LogCapture log;
    connectButton->clicked();
    EXPECT_EQ(log.count(noPortLine, BaseLogger::ERROR), 1u);
    EXPECT_EQ(log.count(failedLine, BaseLogger::ERROR), 1u);
    EXPECT_TRUE(port->opens.empty());
    EXPECT_TRUE(dialog->get_visible());
    EXPECT_FALSE(widgets->mainWindow->get_sensitive());
}

// The line's owner while another job has the line: it refuses every request (and would say so
// with a line of its own).
struct BusyLineOwner : LinkControl {
    explicit BusyLineOwner(UsbCommunication& link) : link(link) {}
    std::vector<std::string> listPorts() override { return link.listPorts(); }
    LinkStatus connectPort(const std::string& name, UsbTypes::Baudrate) override {
        asked.push_back(name);
        return LINK_OPEN_FAILED;
    }
    LinkStatus disconnect() override {
        ++disconnects;
        return LINK_CLOSE_FAILED;
    }
    bool isConnected() override { return link.isConnected(); }
    bool busy() override { return true; }

    UsbCommunication& link;
    std::vector<std::string> asked;
    int disconnects = 0;
};

TEST_F(ConnectionDialogTest, ConnectWhileAJobHasTheLineLeavesTheWordsToTheRefusal) {
    port->ports = {"/dev/ttyUSB0"};
    BusyLineOwner owner(*link);
    dialog->setUsbConnetctionPtr(owner);
    dialog->setOwner(widgets->mainWindow);
    dialog->show();
    LogCapture log;
    connectButton->clicked();
    EXPECT_EQ(owner.asked, std::vector<std::string>{"/dev/ttyUSB0"})
        << "the owner of the line is asked, and refuses";
    EXPECT_EQ(owner.disconnects, 0);
    EXPECT_EQ(log.count(failedLine), 0u);
    EXPECT_EQ(log.count(successLine), 0u);
    EXPECT_TRUE(port->opens.empty());
    EXPECT_TRUE(dialog->get_visible());
}

TEST_F(ConnectionDialogTest, ConnectOpensTheChosenPortAtTheChosenRateAndHides) {
    port->ports = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    open();
    portsCombo->set_active_text("/dev/ttyUSB0");
    ratesCombo->set_active_text("921600");
    LogCapture log;
    connectButton->clicked();
    EXPECT_EQ(port->opens, std::vector<std::string>{"/dev/ttyUSB0"});
    EXPECT_EQ(port->configuredRates, std::vector<UsbTypes::Baudrate>{UsbTypes::BAUD_921600});
    EXPECT_EQ(link->getPortName(), "/dev/ttyUSB0");
    EXPECT_EQ(log.count(successLine, BaseLogger::INFO), 1u);
    EXPECT_FALSE(dialog->get_visible());
    EXPECT_TRUE(widgets->mainWindow->get_sensitive());
    EXPECT_EQ(dialog->connect(), 0) << "already open through the dialog";
    EXPECT_EQ(port->opens.size(), 1u);
}

TEST_F(ConnectionDialogTest, SecondConnectReopensWithTheNewSelection) {
    port->ports = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    open();
    connectButton->clicked();
    open();
    portsCombo->set_active_text("/dev/ttyUSB0");
    ratesCombo->set_active_text("57600");
    connectButton->clicked();
    EXPECT_EQ(port->closes, 1);
    EXPECT_EQ(port->opens, (std::vector<std::string>{"/dev/ttyUSB1", "/dev/ttyUSB0"}));
    EXPECT_EQ(port->configuredRates.back(), UsbTypes::BAUD_57600);
    EXPECT_FALSE(dialog->get_visible());
}

TEST_F(ConnectionDialogTest, FailedOpenKeepsTheDialogOpenAndNotConnected) {
    port->ports = {"/dev/ttyUSB0"};
    port->openResult = LINK_OPEN_FAILED;
    open();
    LogCapture log;
    connectButton->clicked();
    EXPECT_EQ(log.count(failedLine, BaseLogger::ERROR), 1u);
    EXPECT_EQ(log.count(successLine), 0u);
    EXPECT_TRUE(dialog->get_visible());
    EXPECT_EQ(dialog->disconnect(), 0) << "nothing of the dialog's is open";
    EXPECT_EQ(port->closes, 0);
}

// A link that dropped by itself (a failed write closes the port) is not the dialog's open link.
TEST_F(ConnectionDialogTest, LinkDroppedAfterFailedWriteIsNotTakenForConnected) {
    port->ports = {"/dev/ttyUSB0"};
    open();
    connectButton->clicked();
    port->writeFails = true;
    const std::uint8_t frame[] = {0x7E, 0x00, 0x01, 0x00};
    ASSERT_NE(link->write(frame, sizeof frame), LINK_OK);
    ASSERT_FALSE(link->isConnected());

    EXPECT_EQ(dialog->disconnect(), 0) << "the port is already closed";
    port->writeFails = false;
    open();
    LogCapture log;
    connectButton->clicked();
    EXPECT_EQ(port->opens.size(), 2u) << "Connect opens the port again";
    EXPECT_TRUE(link->isConnected());
    EXPECT_EQ(log.count(successLine, BaseLogger::INFO), 1u);
}

// A second Connect whose close fails: the port counts as closed, so Connect opens it again
// with the new selection, and reports success only when that open works.
class FailedCloseOnReconnect : public ConnectionDialogTest,
                               public ::testing::WithParamInterface<LinkStatus> {};

TEST_P(FailedCloseOnReconnect, SuccessIsNeverReportedWithoutAnOpenPort) {
    const bool reopens = GetParam() == LINK_OK;
    port->ports = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    open();
    connectButton->clicked();
    port->closeResult = LINK_CLOSE_FAILED;
    port->openResult = GetParam();
    open();
    portsCombo->set_active_text("/dev/ttyUSB0");
    LogCapture log;
    connectButton->clicked();
    EXPECT_EQ(log.count("ConnectionDialog: Closing the open port failed", BaseLogger::ERROR), 1u);
    EXPECT_EQ(port->opens, (std::vector<std::string>{"/dev/ttyUSB1", "/dev/ttyUSB0"}));
    EXPECT_EQ(link->isConnected(), reopens);
    EXPECT_EQ(log.count(successLine, BaseLogger::INFO), reopens ? 1u : 0u);
    EXPECT_EQ(log.count(failedLine, BaseLogger::ERROR), reopens ? 0u : 1u);
    EXPECT_EQ(dialog->get_visible(), !reopens);
}

INSTANTIATE_TEST_SUITE_P(ReopenResult, FailedCloseOnReconnect, ::testing::Values(LINK_OK, LINK_OPEN_FAILED));

TEST_F(ConnectionDialogTest, DisconnectClosesOnlyWhatTheDialogOpenedAndReportsFailure) {
    EXPECT_EQ(dialog->disconnect(), 1) << "no link handed over yet";
    EXPECT_EQ(dialog->connect(), 1);
    port->ports = {"/dev/ttyUSB0"};
    open();
    EXPECT_EQ(dialog->disconnect(), 0) << "never connected: nothing to close";
    EXPECT_EQ(port->closes, 0);

    connectButton->clicked();
    port->closeResult = LINK_CLOSE_FAILED;
    EXPECT_EQ(dialog->disconnect(), 1);
    port->closeResult = LINK_OK;

    open();
    connectButton->clicked();
    EXPECT_EQ(dialog->disconnect(), 0);
    EXPECT_FALSE(link->isConnected());
}

TEST_F(ConnectionDialogTest, CloseHidesWithoutTouchingTheLink) {
    port->ports = {"/dev/ttyUSB0"};
    open();
    closeButton->clicked();
    EXPECT_FALSE(dialog->get_visible());
    EXPECT_TRUE(widgets->mainWindow->get_sensitive());
    EXPECT_TRUE(port->opens.empty());
}

// Closing through the window frame must not destroy the dialog: it is opened again later.
TEST_F(ConnectionDialogTest, WindowFrameCloseHidesAndTheDialogStaysUsable) {
    port->ports = {"/dev/ttyUSB0"};
    open();
    tavisk::test::runUntil([&] { return dialog->get_mapped(); });
    dialog->close();
    EXPECT_TRUE(tavisk::test::runUntil([&] { return !dialog->get_visible(); }));
    EXPECT_TRUE(widgets->mainWindow->get_sensitive());
    open();
    connectButton->clicked();
    EXPECT_EQ(port->opens.size(), 1u);
    EXPECT_FALSE(dialog->get_visible());
}

// A definition without the port combo still gives a dialog whose other parts work.
TEST(ConnectionDialogDefinition, MissingChildIsLeftAlone) {
    std::string definition = Glib::file_get_contents(TAVISK_UI_FILE);
    definition = std::regex_replace(definition, std::regex("id=\"PortsListComboTextBox\""), "id=\"Renamed\"");
    auto builder = Gtk::Builder::create_from_string(definition);
    TaviskBiaconWidgets::ConnectionDialog* dialog = nullptr;
    builder->get_widget_derived("ConnectionDialog", dialog);
    ASSERT_NE(dialog, nullptr);
    auto owned = std::make_unique<FakeSerialPort>();
    owned->ports = {"/dev/ttyUSB0"};
    UsbCommunication link(std::move(owned));
    dialog->setUsbConnetctionPtr(link);
    LogCapture log;
    EXPECT_EQ(dialog->connect(), 1);
    EXPECT_EQ(log.count(noPortLine), 1u);
    auto connect = Glib::RefPtr<Gtk::Button>::cast_dynamic(builder->get_object("DialogConnectButton"));
    EXPECT_EQ(connect->get_label(), "Подключить");
    delete dialog;
    Gtk::Window* window = nullptr;
    builder->get_widget("MainWindow", window);
    delete window;
}

} // namespace
