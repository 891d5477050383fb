#include "support/conversions.h"
#include "support/errors.h"

#include "tests/germanlocale.h"

#include <gtest/gtest.h>

// Runs under LC_ALL=de_DE.UTF-8 (see CMakeLists.txt): the separator comes from the system locale.
namespace {

class DecimalCommaTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(HasGermanLocale());
        ASSERT_EQ(SystemNumberFormat.DecimalChar(), QLatin1Char(','));
    }
};

TEST_F(DecimalCommaTest, ScanRealUsesTheUsersSeparator) {
    const struct {
        const char* text;
        double value;
        int32_t end;
    } cases[] = {
        {"3,5", 3.5, 4},   {"3.5", 3, 2},         {",5", 0.5, 3},
        {"1,2,3", 1.2, 4}, {"-2,5e-1", -0.25, 8}, {"x,-5", 0.5, 5},
    };
    for (const auto& c : cases) {
        int32_t position = 1;
        double value = 0;
        EXPECT_TRUE(ScanReal(QString::fromLatin1(c.text), position, value)) << c.text;
        EXPECT_DOUBLE_EQ(value, c.value) << c.text;
        EXPECT_EQ(position, c.end) << c.text;
    }
}

TEST_F(DecimalCommaTest, TheConversionErrorShowsTheWorkTextWithItsComma) {
    try {
        TextToReal(QStringLiteral("1,5E"));
        ADD_FAILURE() << "no conversion error";
    } catch (const EConvertError& error) {
        EXPECT_EQ(error.Message(), QStringLiteral("'1,5E' is not a valid floating point value"));
    }
}

TEST_F(DecimalCommaTest, HoursToTextWritesTheLocalSeparatorOnlyWithoutDegrees) {
    const long double hours = 7.25L / 3600;
    EXPECT_EQ(HoursToText(false, false, 2, hours), QStringLiteral("0:00:07,25"));
    EXPECT_EQ(HoursToText(true, false, 2, hours), QString::fromUtf8("0°00'07.25\""));
}

} // namespace
