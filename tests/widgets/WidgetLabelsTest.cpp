#include "BuiltWidgets.h"
#include "WidgetTestSupport.h"

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

const LabelCase labelCases[] = {
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
        std::vector<std::string> texts =
            comboEntries(child<Gtk::ComboBoxText>(widgets, "FirmwareMethodComboBoxText"));
        for (const auto& filter : widgets.openFileDialog->list_filters())
            texts.push_back(filter->get_name());
        return texts;
    };
    const std::vector<std::string> expected = {"STM32", "ESP32", "Binar Files (*.bin)", "Hex Files (*.hex)",
                                               "All Files (*.*)"};
    EXPECT_EQ(snapshot(), expected);
    widgets.relabelAll();
    EXPECT_EQ(snapshot(), expected);
    widgets.relabelAll();
    EXPECT_EQ(snapshot(), expected);
}

} // namespace
