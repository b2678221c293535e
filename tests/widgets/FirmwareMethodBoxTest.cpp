#include "tests/widgets/BuiltWidgets.h"
#include "tests/widgets/WidgetTestSupport.h"

#include <gtest/gtest.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>

namespace {

using tavisk::test::BuiltWidgets;
using tavisk::test::FakeHandlers;

class TargetChooser : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHandlers::instance().registerKeys({SELECT_STM32, SELECT_ESP32, UPLOAD_FIRMWARE});
        widgets = std::make_unique<BuiltWidgets>();
        combo = Glib::RefPtr<Gtk::ComboBoxText>::cast_dynamic(
            widgets->builder->get_object("FirmwareMethodComboBoxText"));
        upload = Glib::RefPtr<Gtk::Button>::cast_dynamic(widgets->builder->get_object("UploadButton"));
    }
    std::unique_ptr<BuiltWidgets> widgets;
    Glib::RefPtr<Gtk::ComboBoxText> combo;
    Glib::RefPtr<Gtk::Button> upload;
};

TEST_F(TargetChooser, BuildingFiresNoKeyAndShowsStm32) {
    EXPECT_TRUE(FakeHandlers::instance().fired().empty());
    EXPECT_EQ(combo->get_active_text(), "STM32");
}

TEST_F(TargetChooser, EachChangeFiresItsTargetKeyOnce) {
    struct Step {
        const char* choose;
        std::vector<HandlersFuncKeys> fired;
    };
    const Step steps[] = {
        {"ESP32", {SELECT_ESP32}},
        {"STM32", {SELECT_ESP32, SELECT_STM32}},
        {"STM32", {SELECT_ESP32, SELECT_STM32}}, // already active: the combo reports no change
        {"ESP32", {SELECT_ESP32, SELECT_STM32, SELECT_ESP32}},
    };
    for (const Step& step : steps) {
        combo->set_active_text(step.choose);
        EXPECT_EQ(FakeHandlers::instance().fired(), step.fired) << "after choosing " << step.choose;
    }
}

TEST_F(TargetChooser, EveryUploadPressFiresStartUpload) {
    upload->clicked();
    combo->set_active_text("ESP32");
    upload->clicked();
    EXPECT_EQ(FakeHandlers::instance().count(UPLOAD_FIRMWARE), 2u);
    EXPECT_EQ(FakeHandlers::instance().uploadStages(), (std::vector<LoadStage>{START_UPLOAD, START_UPLOAD}));
}

TEST_F(TargetChooser, ClearingTheChoiceFiresNothing) {
    combo->unset_active();
    EXPECT_TRUE(FakeHandlers::instance().fired().empty());
}

} // namespace
