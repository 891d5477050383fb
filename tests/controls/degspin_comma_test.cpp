// The time entry with "," as the user's decimal separator. The system locale is read once, when
// the application starts, so this executable sets it before main runs.

#include <gtest/gtest.h>

#include <cstdlib>

#include "controls/degspin.h"
#include "controls/spinbuttons.h"
#include "tests/controls/controltest.h"

namespace {

const bool CommaLocale = [] {
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    return true;
}();

constexpr int64_t TicksPerSecond = 100000;

TEST(DegreeSpinComma, SecondsUseTheSystemSeparator) {
    ASSERT_TRUE(CommaLocale);
    ASSERT_EQ(QLocale::system().decimalPoint(), ",");
    TDegreeSpin spin;
    spin.SetDigits(2);
    spin.SetDegrees(5.5 / 3600);
    EXPECT_EQ(spin.SecondsEdit()->text(), "5,50");
    spin.SecondsEdit()->setText("30,5");
    EXPECT_EQ(spin.Ticks(), 3050000);
    // A point is no separator here: the entry is ignored.
    spin.SecondsEdit()->setText("12.5");
    EXPECT_EQ(spin.Ticks(), 3050000);
    spin.SetDegrees(0);
    spin.SetSeconds(0.25);
    EXPECT_EQ(spin.SecondsEdit()->text(), "0,25");
    EXPECT_EQ(spin.Ticks(), TicksPerSecond / 4);
    EXPECT_EQ(spin.Seconds(), 0.25);
}

TEST(DegreeSpinComma, KeyFilterPassesTheCommaAndRefusesThePoint) {
    TDegreeSpin spin;
    TEditEx* seconds = spin.SecondsEdit();
    seconds->setText("");
    TypeText(seconds, "1.2,5");
    EXPECT_EQ(seconds->text(), "12,5");
}

} // namespace
