#include "control/ProgressText.h"

#include <gtest/gtest.h>

TEST(ProgressText, PercentUntilTheLoadHasFinished) {
    struct Case {
        unsigned percent;
        bool finished;
        std::string text;
    };
    const Case cases[] = {
        {0, false, "0%"},
        {57, false, "57%"},
        {99, true, "99%"},
        // An ESP32 flash reports 100 before the flasher is done with it.
        {100, false, "100%"},
        {100, true, ProgressText::kSuccess},
        {150, true, ProgressText::kSuccess},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressText::label(c.percent, c.finished), c.text) << c.percent << " " << c.finished;
    EXPECT_STREQ(ProgressText::kSuccess, "Устройство прошито успешно");
}
