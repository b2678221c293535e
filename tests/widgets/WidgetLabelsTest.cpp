#include "tests/support/LogCapture.h"
#include "tests/widgets/BuiltWidgets.h"
#include "tests/widgets/WidgetTestSupport.h"

#include <gtest/gtest.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/filefilter.h>
#include <gtkmm/label.h>
#include <gtkmm/menuitem.h>

#include <memory>
#include <string>

namespace {

using tavisk::test::BuiltWidgets;

// Reads a text that a widget put on one of its children.
using TextGetter = std::string (*)(BuiltWidgets&);

template <typename T> Glib::RefPtr<T> child(BuiltWidgets& widgets, const char* id) {
    return Glib::RefPtr<T>::cast_dynamic(widgets.builder->get_object(id));
}

template <const char* Id> std::string labelText(BuiltWidgets& w) {
    return child<Gtk::Label>(w, Id)->get_label();
}
template <const char* Id> std::string buttonText(BuiltWidgets& w) {
    return child<Gtk::Button>(w, Id)->get_label();
}
template <const char* Id> std::string menuItemText(BuiltWidgets& w) {
    return child<Gtk::MenuItem>(w, Id)->get_label();
}
template <int Response> std::string responseButtonText(BuiltWidgets& w) {
    auto* button = dynamic_cast<Gtk::Button*>(w.openFileDialog->get_widget_for_response(Response));
    return button ? button->get_label() : "<no button>";
}

struct LabelCase {
    const char* widget;
    const char* child;
    TextGetter text;
    const char* russian;
    const char* english;
};

std::ostream& operator<<(std::ostream& out, const LabelCase& c) {
    return out << c.widget << "/" << c.child;
}

constexpr char ConnectionMenuItem[] = "ConnectionMenuItem";
constexpr char ConnectImageMenuItem[] = "ConnectImageMenuItem";
constexpr char DisconnectImageMenuItem[] = "DisconnectImageMenuItem";
constexpr char QuitImageMenuItem[] = "QuitImageMenuItem";
constexpr char FirmwareMethodLable[] = "FirmwareMethodLable";
constexpr char UploadButton[] = "UploadButton";
constexpr char FirmwareSourceModeSwitchLabel[] = "FirmwareSourceModeSwitchLabel";
constexpr char SelectFirmwareBoxEsp32Label[] = "SelectFirmwareBoxEsp32Label";
constexpr char SelectFirmwareBoxStm32Label[] = "SelectFirmwareBoxStm32Label";
constexpr char SelectFirmwareEsp32Button[] = "SelectFirmwareEsp32Button";
constexpr char SelectFirmwareStm32Button[] = "SelectFirmwareStm32Button";
constexpr char SelectFirmwareLabel[] = "SelectFirmwareLabel";
constexpr char TypeConnectionLable[] = "TypeConnectionLable";
constexpr char CurrentTypeConnectionLable[] = "CurrentTypeConnectionLable";
constexpr char PortLabel[] = "PortLabel";
constexpr char BaudrateLabel[] = "BaudrateLabel";
constexpr char ConnectionLabel[] = "ConnectionLabel";
constexpr char ProtocolLabel[] = "ProtocolLabel";
constexpr char ConnectionPortPage[] = "ConnectionPortPage";
constexpr char DialogConnectButton[] = "DialogConnectButton";
constexpr char DialogCloseButton[] = "DialogCloseButton";
constexpr char DeviceListLable[] = "DeviceListLable";
constexpr char SearchDeviceButton[] = "SearchDeviceButton";

const LabelCase labelCases[] = {
    {"ConnectionDialog", "ConnectionLabel", labelText<ConnectionLabel>, "Подключение", "Connection"},
    {"ConnectionDialog", "ProtocolLabel", labelText<ProtocolLabel>, "Протокол", "Protocol"},
    {"ConnectionDialog", "TypeConnectionLable", labelText<TypeConnectionLable>, "Тип", "Type"},
    {"ConnectionDialog", "CurrentTypeConnectionLable", labelText<CurrentTypeConnectionLable>,
     "Последовательный", "Serial"},
    {"ConnectionDialog", "PortLabel", labelText<PortLabel>, "Порт", "Port"},
    {"ConnectionDialog", "BaudrateLabel", labelText<BaudrateLabel>, "Скорость в бодах", "Baudrate"},
    {"ConnectionDialog", "DialogConnectButton", buttonText<DialogConnectButton>, "Подключить", "Connect"},
    {"ConnectionDialog", "DialogCloseButton", buttonText<DialogCloseButton>, "Закрыть", "Close"},
    {"ConnectionDialog", "ConnectionPortPage", labelText<ConnectionPortPage>, "COM", "COM"},
    {"DeviceListBox", "DeviceListLable", labelText<DeviceListLable>, "Список устройств", "Device list"},
    {"DeviceListBox", "SearchDeviceButton", buttonText<SearchDeviceButton>, "Поиск устройств",
     "Search devices"},
    {"MenuBar", "ConnectionMenuItem", menuItemText<ConnectionMenuItem>, "Подключение", "Connection"},
    {"MenuBar", "ConnectImageMenuItem", menuItemText<ConnectImageMenuItem>, "Подключиться", "Connect"},
    {"MenuBar", "DisconnectImageMenuItem", menuItemText<DisconnectImageMenuItem>, "Отключиться",
     "Disconnect"},
    {"MenuBar", "QuitImageMenuItem", menuItemText<QuitImageMenuItem>, "Выход", "Quit"},
    {"FirmwareMethodBox", "FirmwareMethodLable", labelText<FirmwareMethodLable>, "Устройство для прошивки",
     "Device for flashing"},
    {"FirmwareMethodBox", "UploadButton", buttonText<UploadButton>, "Загрузить", "Upload"},
    {"SelectFirmwareBox", "FirmwareSourceModeSwitchLabel", labelText<FirmwareSourceModeSwitchLabel>,
     "Использовать предустановленную прошивку", "Use preinstalled firmware"},
    {"SelectFirmwareBox", "SelectFirmwareBoxEsp32Label", labelText<SelectFirmwareBoxEsp32Label>,
     "Путь для прошивки ESP32", "Firmware path for ESP32"},
    {"SelectFirmwareBox", "SelectFirmwareBoxStm32Label", labelText<SelectFirmwareBoxStm32Label>,
     "Путь для прошивки STM32", "Firmware path for STM32"},
    {"SelectFirmwareBox", "SelectFirmwareEsp32Button", buttonText<SelectFirmwareEsp32Button>, "Поиск",
     "Search"},
    {"SelectFirmwareBox", "SelectFirmwareStm32Button", buttonText<SelectFirmwareStm32Button>, "Поиск",
     "Search"},
    {"SelectFirmwareBox", "SelectFirmwareLabel", labelText<SelectFirmwareLabel>, "Загрузка прошивки",
     "Upload firmware"},
    {"OpenFileDialog", "Open button", responseButtonText<Gtk::RESPONSE_OK>, "Открыть", "Open"},
    {"OpenFileDialog", "Cancel button", responseButtonText<Gtk::RESPONSE_CANCEL>, "Отмена", "Cancel"},
};

class WidgetLabels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(WidgetLabels, RussianFirstThenEachSwitchFlips) {
    const LabelCase& c = GetParam();
    BuiltWidgets widgets;
    EXPECT_EQ(c.text(widgets), c.russian) << "after construction";
    widgets.relabelAll();
    EXPECT_EQ(c.text(widgets), c.english) << "after one switch";
    widgets.relabelAll();
    EXPECT_EQ(c.text(widgets), c.russian) << "after two switches";
}

INSTANTIATE_TEST_SUITE_P(AllWidgets, WidgetLabels, ::testing::ValuesIn(labelCases));

std::vector<std::string> comboEntries(const Glib::RefPtr<Gtk::ComboBoxText>& combo) {
    std::vector<std::string> entries;
    auto model = combo->get_model();
    for (const auto& row : model->children()) {
        Glib::ustring text;
        row.get_value(0, text);
        entries.push_back(text);
    }
    return entries;
}

// Texts that exist in one language only stay as they were put, whatever the language.
TEST(OneLanguageTexts, NeverChangeWithTheLanguage) {
    BuiltWidgets widgets;
    widgets.openFileDialog->init({"Binar", "*.bin", "Hex", "*.hex", "All", "*.*"});
    auto snapshot = [&] {
        std::vector<std::string> texts;
        for (const char* id : {"FirmwareMethodComboBoxText", "TypeConnectionComboBoxText",
                               "ProtocolTypeComboBoxText", "BaudratesListComboTextBox"})
            for (const std::string& entry : comboEntries(child<Gtk::ComboBoxText>(widgets, id)))
                texts.push_back(entry);
        texts.push_back(widgets.connectionDialog->get_title());
        for (const auto& filter : widgets.openFileDialog->list_filters())
            texts.push_back(filter->get_name());
        return texts;
    };
    const std::vector<std::string> expected = {"STM32",
                                               "ESP32",
                                               "TCP",
                                               "Serial",
                                               "Payload",
                                               "57600",
                                               "115200",
                                               "230400",
                                               "460800",
                                               "500000",
                                               "576000",
                                               "921600",
                                               "1000000",
                                               "2000000",
                                               "Connection",
                                               "Binar Files (*.bin)",
                                               "Hex Files (*.hex)",
                                               "All Files (*.*)"};
    EXPECT_EQ(snapshot(), expected);
    widgets.relabelAll();
    EXPECT_EQ(snapshot(), expected);
    widgets.relabelAll();
    EXPECT_EQ(snapshot(), expected);
}

TEST(WidgetFramework, BuildingAndRelabellingGiveNoGtkWarning) {
    tavisk::test::GLibWarningCapture warnings;
    {
        BuiltWidgets widgets;
        widgets.relabelAll();
        widgets.relabelAll();
    }
    EXPECT_TRUE(warnings.messages().empty()) << warnings.messages().front();
}

// Four widgets announce their construction; all but the connection dialog log relabelling.
TEST(WidgetFramework, BuildingLogsTheFrameworkLines) {
    tavisk::test::LogCapture log;
    BuiltWidgets widgets;
    const char* const constructing[] = {
        "FirmwareMethodBox: ", "MenuBar: ", "SelectFirmwareBox: ", "DeviceListBox: "};
    for (const char* prefix : constructing) {
        EXPECT_EQ(log.count(std::string(prefix) + "Constructor", BaseLogger::DEBUG), 1u) << prefix;
        EXPECT_EQ(log.count(std::string(prefix) + "Definition default values", BaseLogger::DEBUG), 1u)
            << prefix;
    }
    for (const char* prefix :
         {"FirmwareMethodBox: ", "MenuBar: ", "SelectFirmwareBox: ", "DeviceListBox: ", "OpenFileDialog: "})
        EXPECT_EQ(log.count(std::string(prefix) + "Redefinition labeles", BaseLogger::DEBUG), 1u) << prefix;
    EXPECT_EQ(log.count("MenuBar: Redefinition labeles ", BaseLogger::DEBUG), 1u)
        << "with its trailing blank";
    EXPECT_EQ(log.count("OpenFileDialog: Constructor"), 0u);
    EXPECT_EQ(log.count("ConnectionDialog: "), 0u);
}

} // namespace
