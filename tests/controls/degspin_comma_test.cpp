// The time entry with "," as the user's decimal separator. The system locale is read once, when
// the application starts, so this executable sets it before main runs.

#include <gtest/gtest.h>

#include <cstdlib>

#include "controls/degspin.h"
#include "controls/spinbuttons.h"
#include "tests/controls/controltest.h"
#include "tests/germanlocale.h"

namespace {

[[maybe_unused]] const int CommaLocale = setenv("LC_ALL", "de_DE.UTF-8", 1);

class DegreeSpinComma : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(HasGermanLocale()); }
};

constexpr int64_t TicksPerSecond = 100000;

TEST_F(DegreeSpinComma, SecondsUseTheSystemSeparator) {
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

TEST_F(DegreeSpinComma, KeyFilterPassesTheCommaAndRefusesThePoint) {
    TDegreeSpin spin;
    TEditEx* seconds = spin.SecondsEdit();
    seconds->setText("");
    TypeText(seconds, "1.2,5");
    EXPECT_EQ(seconds->text(), "12,5");
}

} // namespace
