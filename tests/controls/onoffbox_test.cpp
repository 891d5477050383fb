#include <gtest/gtest.h>

#include "controls/colors.h"
#include "controls/onoffbox.h"
#include "tests/controls/controltest.h"

namespace {

// Lets the tables below print through the shared printers.
using ::PrintTo;

struct TPeakBox {
    QWidget Window;
    TOnOffBox* Box;
    int MouseDowns = 0;

    // A peak box as the level meter column has it.
    TPeakBox() : Box(new TOnOffBox(&Window)) {
        Box->SetOnString("ok");
        Box->SetOffString("hi");
        Box->SetOnColor(clLime);
        Box->resize(15, 26);
        Box->OnMouseDown = [this](QObject*, Qt::MouseButton) { ++MouseDowns; };
    }
};

TEST(OnOffBox, NewBoxIsALime26By26OnBox) {
    TOnOffBox box;
    EXPECT_EQ(box.size(), QSize(26, 26));
    EXPECT_EQ(box.Color(), clLime);
    EXPECT_EQ(box.Caption(), "On");
    EXPECT_TRUE(box.BoxOn());
    EXPECT_TRUE(box.UserChangeable());
    EXPECT_EQ(box.BevelOuter(), TPanelBevel::bvLowered);
    EXPECT_EQ(box.BevelInner(), TPanelBevel::bvNone);
    EXPECT_EQ(box.Alignment(), TAlignment::taCenter);
}

struct TClickCase {
    const char* Name;
    Qt::MouseButton Button;
    bool UserChangeable;
    bool BoxOn;
};

class OnOffBoxClick : public testing::TestWithParam<TClickCase> {};

TEST_P(OnOffBoxClick, OnlyALeftClickOnAChangeableBoxToggles) {
    const TClickCase& c = GetParam();
    TPeakBox f;
    f.Box->SetUserChangeable(c.UserChangeable);
    Press(f.Box, c.Button);
    EXPECT_EQ(f.MouseDowns, 1);
    EXPECT_EQ(f.Box->BoxOn(), c.BoxOn);
    EXPECT_EQ(f.Box->Caption(), c.BoxOn ? "ok" : "hi");
    EXPECT_EQ(f.Box->Color(), c.BoxOn ? clLime : clRed);
}

INSTANTIATE_TEST_SUITE_P(Cases, OnOffBoxClick,
                         testing::Values(TClickCase{"LeftToggles", Qt::LeftButton, true, false},
                                         TClickCase{"RightDoesNot", Qt::RightButton, true, true},
                                         TClickCase{"NotChangeable", Qt::LeftButton, false, true}),
                         [](const testing::TestParamInfo<TClickCase>& info) {
                             return std::string(info.param.Name);
                         });

TEST(OnOffBox, StringsShowOnlyInTheirState) {
    TPeakBox f;
    f.Box->SetOffString("over");
    EXPECT_EQ(f.Box->Caption(), "ok");
    f.Box->SetBoxOn(false);
    EXPECT_EQ(f.Box->Caption(), "over");
    f.Box->SetOnString("fine");
    EXPECT_EQ(f.Box->Caption(), "over");
    f.Box->SetBoxOn(true);
    EXPECT_EQ(f.Box->Caption(), "fine");
}

TEST(OnOffBox, DisabledBoxTurnsSilverAtItsNextStateAndKeepsItsCaption) {
    TPeakBox f;
    ShowAndSettle(f.Window);
    f.Box->setEnabled(false);
    EXPECT_EQ(f.Box->Color(), clLime);
    f.Box->SetBoxOn(false);
    EXPECT_EQ(f.Box->Color(), clSilver);
    EXPECT_EQ(f.Box->Caption(), "ok");
    EXPECT_EQ(f.Box->grab().toImage().pixelColor(3, 3), clSilver);
    f.Box->setEnabled(true);
    EXPECT_EQ(f.Box->Color(), clSilver);
    f.Box->SetBoxOn(false);
    EXPECT_EQ(f.Box->Color(), clRed);
    EXPECT_EQ(f.Box->Caption(), "hi");
}

TEST(OnOffBox, ColourChangesShowAtOnce) {
    TPeakBox f;
    ShowAndSettle(f.Window);
    f.Box->SetOnColor(clGreen);
    EXPECT_EQ(f.Box->Color(), clGreen);
    EXPECT_EQ(f.Box->grab().toImage().pixelColor(3, 3), clGreen);
    f.Box->SetOffColor(clMaroon);
    f.Box->SetBoxOn(false);
    EXPECT_EQ(f.Box->grab().toImage().pixelColor(3, 3), clMaroon);
}

} // namespace
