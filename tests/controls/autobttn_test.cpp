#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "controls/autobttn.h"
#include "tests/controls/controltest.h"

namespace {

// Lets the tables below print through the shared printers.
using ::PrintTo;

struct TAutoButtonFixture {
    TVirtualClock Clock;
    QWidget Window;
    TAutoButton* Button;
    int Clicks = 0;

    TAutoButtonFixture() : Button(new TAutoButton(&Window)) {
        Button->setGeometry(10, 10, 40, 20);
        Button->SetRepeatTimerFactory(Clock.Factory());
        QObject::connect(Button, &TAutoButton::clicked, [this] { ++Clicks; });
        Window.show();
    }
};

struct THoldCase {
    const char* Name;
    bool DoRepeat;
    bool ControlRepeat;
    bool CtrlHeld;
    Qt::MouseButton Button;
    long HoldMs;
    bool ReleaseOver;
    int ExpectedClicks;
};

class AutoButtonHold : public testing::TestWithParam<THoldCase> {};

TEST_P(AutoButtonHold, ClicksOnceOnReleaseAndRepeatsWhileHeld) {
    const THoldCase& c = GetParam();
    TAutoButtonFixture f;
    f.Button->SetDoRepeat(c.DoRepeat);
    f.Button->SetControlRepeat(c.ControlRepeat);
    Press(f.Button, c.Button, c.CtrlHeld ? Qt::ControlModifier : Qt::NoModifier);
    EXPECT_TRUE(f.Button->Held());
    f.Clock.Advance(c.HoldMs);
    if (!c.ReleaseOver)
        MoveTo(f.Button, false);
    Release(f.Button, c.ReleaseOver, c.Button);
    EXPECT_FALSE(f.Button->Held());
    EXPECT_EQ(f.Clicks, c.ExpectedClicks);
    // Nothing clicks after the release.
    f.Clock.Advance(2000);
    EXPECT_EQ(f.Clicks, c.ExpectedClicks);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AutoButtonHold,
    testing::Values(
        THoldCase{"ShortPress", true, false, false, Qt::LeftButton, 399, true, 1},
        // Ticks at 400, 500, ..., 1000 ms, then the release click.
        THoldCase{"HeldOneSecond", true, false, false, Qt::LeftButton, 1000, true, 8},
        THoldCase{"ReleasedOffTheButton", true, false, false, Qt::LeftButton, 1000, false, 7},
        THoldCase{"CtrlRepeats", false, true, true, Qt::LeftButton, 1000, true, 8},
        THoldCase{"NoCtrlClicksOnce", false, true, false, Qt::LeftButton, 1000, true, 1},
        THoldCase{"NoRepeat", false, false, true, Qt::LeftButton, 1000, true, 1},
        THoldCase{"RightButtonNeverShowsPressed", true, false, false, Qt::RightButton, 1000, true,
                  0}),
    [](const testing::TestParamInfo<THoldCase>& info) { return std::string(info.param.Name); });

TEST(AutoButton, TicksClickNothingWhilePointerIsOffTheButton) {
    TAutoButtonFixture f;
    f.Button->SetDoRepeat(true);
    Press(f.Button);
    f.Clock.Advance(450); // tick at 400
    MoveTo(f.Button, false);
    EXPECT_FALSE(f.Button->isDown());
    f.Clock.Advance(300); // ticks at 500, 600, 700 click nothing
    EXPECT_EQ(f.Clicks, 1);
    MoveTo(f.Button, true);
    f.Clock.Advance(100); // tick at 800
    Release(f.Button);
    EXPECT_EQ(f.Clicks, 3);
}

TEST(AutoButton, RightButtonStartsAndReleaseStopsTheTimer) {
    TAutoButtonFixture f;
    f.Button->SetDoRepeat(true);
    Press(f.Button, Qt::RightButton);
    ASSERT_NE(f.Button->RepeatTimer(), nullptr);
    EXPECT_TRUE(f.Button->RepeatTimer()->Enabled());
    Release(f.Button, true, Qt::RightButton);
    EXPECT_FALSE(f.Button->RepeatTimer()->Enabled());
    EXPECT_EQ(f.Clicks, 0);
}

TEST(AutoButton, EachPressStartsWithTheInitialDelay) {
    TAutoButtonFixture f;
    f.Button->SetDoRepeat(true);
    f.Button->SetInitialDelay(300);
    f.Button->SetRepeatDelay(50);
    EXPECT_EQ(f.Button->RepeatTimer(), nullptr);
    for (int press = 0; press < 2; ++press) {
        f.Clicks = 0;
        Press(f.Button);
        f.Clock.Advance(299);
        EXPECT_EQ(f.Clicks, 0);
        f.Clock.Advance(1); // 300
        EXPECT_EQ(f.Clicks, 1);
        f.Clock.Advance(100); // 350, 400
        EXPECT_EQ(f.Clicks, 3);
        Release(f.Button);
        EXPECT_EQ(f.Clicks, 4);
    }
}

TEST(AutoButton, MouseUpFollowsEveryReleaseWithTheButtonAsSender) {
    TAutoButtonFixture f;
    QObject* sender = nullptr;
    int ups = 0;
    f.Button->OnMouseUp = [&](QObject* s) {
        sender = s;
        ++ups;
    };
    Press(f.Button);
    Release(f.Button);
    Press(f.Button, Qt::RightButton);
    Release(f.Button, false, Qt::RightButton);
    EXPECT_EQ(ups, 2);
    EXPECT_EQ(sender, f.Button);
}

TEST(AutoButton, FailingRepeatClickStopsTheTimerAndPassesTheErrorOn) {
    TAutoButtonFixture f;
    f.Button->SetDoRepeat(true);
    QObject::connect(f.Button, &TAutoButton::clicked, [] { throw std::runtime_error("handler"); });
    Press(f.Button);
    EXPECT_THROW(f.Clock.Advance(400), std::runtime_error);
    EXPECT_FALSE(f.Button->RepeatTimer()->Enabled());
}

// The program's own timer on the real clock keeps the rhythm: after the first automatic click
// (400 ms), one every 100 ms. A busy machine may delay any one click but not move the later
// ones, so most come within a few milliseconds; a coarse timer puts them up to 5 % off.
TEST(AutoButton, TheProgramsTimerKeepsTheRhythm) {
    QWidget window;
    auto* button = new TAutoButton(&window);
    button->SetDoRepeat(true);
    window.show();
    constexpr int repeats = 8;
    QElapsedTimer clock;
    std::vector<qint64> clicks;
    QEventLoop loop;
    QObject::connect(button, &TAutoButton::clicked, &loop, [&] {
        clicks.push_back(clock.elapsed());
        if (clicks.size() == repeats + 1)
            loop.quit();
    });
    // Ends the wait should the clicks stop coming.
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    clock.start();
    Press(button);
    loop.exec();
    ASSERT_EQ(clicks.size(), repeats + 1u);
    Release(button);
    EXPECT_GE(clicks[0], button->InitialDelay() - 1);
    std::vector<qint64> offBeat;
    for (int k = 1; k <= repeats; ++k)
        offBeat.push_back(std::abs(clicks[k] - clicks[0] - k * button->RepeatDelay()));
    std::nth_element(offBeat.begin(), offBeat.begin() + repeats / 2, offBeat.end());
    EXPECT_LE(offBeat[repeats / 2], 3);
}

} // namespace
