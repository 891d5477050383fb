#include <gtest/gtest.h>

#include <QLineEdit>
#include <memory>

#include "controls/colors.h"
#include "controls/spinbuttons.h"
#include "tests/controls/controltest.h"

namespace {

// Lets the tables below print through the shared printers.
using ::PrintTo;

struct TTriangleCase {
    int Width, Height;
    bool Up;
    QPolygon Expected;
};

void PrintTo(const TTriangleCase& c, std::ostream* out) {
    *out << c.Width << "x" << c.Height << (c.Up ? " up" : " down");
}

class ArrowTriangle : public testing::TestWithParam<TTriangleCase> {};

TEST_P(ArrowTriangle, SitsCentredInTheButton) {
    const TTriangleCase& c = GetParam();
    EXPECT_EQ(TArrowButton::ArrowTriangle(c.Width, c.Height, c.Up), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ArrowTriangle,
    testing::Values(TTriangleCase{15, 10, false, QPolygon({{4, 3}, {10, 3}, {7, 6}})},
                    TTriangleCase{15, 10, true, QPolygon({{4, 5}, {10, 5}, {7, 2}})},
                    TTriangleCase{17, 23, false, QPolygon({{5, 10}, {11, 10}, {8, 13}})},
                    TTriangleCase{17, 23, true, QPolygon({{5, 12}, {11, 12}, {8, 9}})}));

QColor PixelOf(QWidget* widget, QPoint point) {
    return widget->grab().toImage().pixelColor(point);
}

TEST(ArrowButton, TriangleIsBlackWhenEnabledAndGreyWhenDisabled) {
    QWidget window;
    auto* arrow = new TArrowButton(&window);
    arrow->setGeometry(0, 0, 15, 10);
    window.show();
    for (const bool up : {false, true}) {
        arrow->SetUpArrow(up);
        // The middle of the triangle's widest row.
        const QPoint inside(7, 4);
        arrow->setEnabled(true);
        EXPECT_EQ(PixelOf(arrow, inside), clBlack) << "up " << up;
        arrow->setEnabled(false);
        EXPECT_EQ(PixelOf(arrow, inside), clGray) << "up " << up;
    }
}

// The mark inverts every other pixel along the edges of the rectangle 3 pixels in from the
// button's own (moved one right and down while it is down), and touches no other pixel.
TEST(ArrowButton, FocusMarkIsDrawnOnlyWhenAsked) {
    QWidget window;
    auto* arrow = new TArrowButton(&window);
    arrow->setGeometry(0, 0, 30, 30);
    window.show();
    for (const bool down : {false, true}) {
        arrow->setDown(down);
        arrow->SetShowFocusMark(false);
        const QImage plain = arrow->grab().toImage();
        arrow->SetShowFocusMark(true);
        const QImage marked = arrow->grab().toImage();
        const QRect mark = QRect(3, 3, 24, 24).translated(down, down);
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 30; ++x) {
                const bool edge =
                    mark.contains(x, y) && !mark.adjusted(1, 1, -1, -1).contains(x, y);
                const QRgb before = plain.pixel(x, y);
                const QRgb expected = edge && (x + y) % 2 == 0 ? ~before : before;
                ASSERT_EQ(marked.pixel(x, y) & 0xFFFFFF, expected & 0xFFFFFF)
                    << x << "," << y << (down ? " down" : "");
            }
        }
    }
}

struct TFitCase {
    int Width, Height;
    QRect Control, Up, Down;
};

void PrintTo(const TFitCase& c, std::ostream* out) {
    *out << c.Width << "x" << c.Height;
}

class UpDownFit : public testing::TestWithParam<TFitCase> {};

TEST_P(UpDownFit, ArrowsShareOneRowAndKeepTheirWidth) {
    const TFitCase& c = GetParam();
    QWidget window;
    auto* upDown = new TUpDownButton(&window);
    upDown->SetBounds(0, 0, c.Width, c.Height);
    EXPECT_EQ(upDown->geometry(), c.Control);
    EXPECT_EQ(upDown->UpButton()->geometry(), c.Up);
    EXPECT_EQ(upDown->DownButton()->geometry(), c.Down);
    // The same once shown, through the resize event.
    window.show();
    upDown->resize(c.Width, c.Height);
    EXPECT_EQ(upDown->geometry(), c.Control);
    EXPECT_EQ(upDown->DownButton()->geometry(), c.Down);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, UpDownFit,
    testing::Values(TFitCase{10, 21, {0, 0, 15, 21}, {0, 0, 15, 10}, {0, 9, 15, 12}},
                    TFitCase{17, 23, {0, 0, 17, 23}, {0, 0, 17, 11}, {0, 10, 17, 13}},
                    TFitCase{20, 30, {0, 0, 20, 30}, {0, 0, 20, 15}, {0, 14, 20, 16}}));

TEST(UpDownButton, NewOneIs17By23WithTheUpArrowMarked) {
    TUpDownButton upDown;
    EXPECT_EQ(upDown.size(), QSize(17, 23));
    EXPECT_TRUE(upDown.UpButton()->UpArrow());
    EXPECT_FALSE(upDown.DownButton()->UpArrow());
    EXPECT_EQ(upDown.MarkedButton(), upDown.UpButton());
    EXPECT_FALSE(upDown.TabStop());
}

TEST(UpDownButton, LoadingDefersTheFitToItsEnd) {
    QWidget window;
    auto* upDown = new TUpDownButton(&window);
    upDown->BeginLoading();
    upDown->SetBounds(0, 0, 10, 21);
    EXPECT_EQ(upDown->width(), 10);
    EXPECT_EQ(upDown->UpButton()->geometry(), QRect(0, 0, 17, 11));
    upDown->EndLoading();
    EXPECT_EQ(upDown->width(), 15);
    EXPECT_EQ(upDown->DownButton()->geometry(), QRect(0, 9, 15, 12));
}

struct TUpDownFixture {
    TVirtualClock Clock;
    QWidget Window;
    TUpDownButton* UpDown;
    QLineEdit* Edit;
    int Ups = 0;
    int Downs = 0;
    QObject* Sender = nullptr;

    TUpDownFixture() : UpDown(new TUpDownButton(&Window)), Edit(new QLineEdit(&Window)) {
        UpDown->SetBounds(100, 0, 17, 23);
        Edit->setGeometry(0, 0, 90, 23);
        for (TArrowButton* arrow : {UpDown->UpButton(), UpDown->DownButton()})
            arrow->SetRepeatTimerFactory(Clock.Factory());
        UpDown->OnUpClick = [this](QObject* s) {
            ++Ups;
            Sender = s;
        };
        UpDown->OnDownClick = [this](QObject* s) {
            ++Downs;
            Sender = s;
        };
        Window.show();
        Window.activateWindow();
        QApplication::setActiveWindow(&Window);
    }
};

TEST(UpDownButton, HeldDownArrowRepeatsWithTheUpDownAsSender) {
    TUpDownFixture f;
    Press(f.UpDown->DownButton());
    EXPECT_TRUE(f.UpDown->Pressed());
    f.Clock.Advance(600); // 400, 500, 600
    EXPECT_EQ(f.Downs, 3);
    Release(f.UpDown->DownButton());
    EXPECT_FALSE(f.UpDown->Pressed());
    EXPECT_EQ(f.Downs, 4);
    EXPECT_EQ(f.Ups, 0);
    EXPECT_EQ(f.Sender, f.UpDown);
    Press(f.UpDown->UpButton());
    Release(f.UpDown->UpButton());
    EXPECT_EQ(f.Ups, 1);
}

struct TKeyCase {
    const char* Name;
    bool TabStop;
    std::vector<int> Keys;
    int Ups, Downs;
    bool DownMarked;
};

class UpDownKeys : public testing::TestWithParam<TKeyCase> {};

TEST_P(UpDownKeys, SpaceClicksTheMarkedArrow) {
    const TKeyCase& c = GetParam();
    TUpDownFixture f;
    f.UpDown->SetTabStop(c.TabStop);
    for (int key : c.Keys)
        TypeKey(f.UpDown, key);
    EXPECT_EQ(f.Ups, c.Ups);
    EXPECT_EQ(f.Downs, c.Downs);
    EXPECT_EQ(f.UpDown->MarkedButton(),
              c.DownMarked ? f.UpDown->DownButton() : f.UpDown->UpButton());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpDownKeys,
    testing::Values(
        TKeyCase{"SpaceClicksUp", true, {Qt::Key_Space}, 1, 0, false},
        TKeyCase{"DownMarksDown", true, {Qt::Key_Down, Qt::Key_Space}, 0, 2, true},
        TKeyCase{"UpMarksUpAgain", true, {Qt::Key_Down, Qt::Key_Up, Qt::Key_Space}, 2, 1, false},
        // Without a tab stop the mark never moves.
        TKeyCase{"NoTabStopKeepsMark", false, {Qt::Key_Down, Qt::Key_Space}, 1, 1, false},
        TKeyCase{"OtherKeysDoNothing", true, {Qt::Key_Left, Qt::Key_A}, 0, 0, false}),
    [](const testing::TestParamInfo<TKeyCase>& info) { return std::string(info.param.Name); });

TEST(UpDownButton, PressWithoutTabStopMovesNeitherFocusNorMarkButFocusControlTakesIt) {
    TUpDownFixture f;
    f.UpDown->SetFocusControl(f.Edit);
    f.UpDown->setFocus();
    Press(f.UpDown->DownButton());
    Release(f.UpDown->DownButton());
    EXPECT_EQ(f.UpDown->MarkedButton(), f.UpDown->UpButton());
    EXPECT_TRUE(f.Edit->hasFocus());
}

TEST(UpDownButton, PressWithTabStopMarksTheArrowAndTakesTheFocus) {
    TUpDownFixture f;
    f.UpDown->SetTabStop(true);
    f.Edit->setFocus();
    ASSERT_TRUE(f.Edit->hasFocus());
    Press(f.UpDown->DownButton());
    EXPECT_TRUE(f.UpDown->hasFocus());
    EXPECT_EQ(f.UpDown->MarkedButton(), f.UpDown->DownButton());
    EXPECT_TRUE(f.UpDown->DownButton()->ShowFocusMark());
    EXPECT_FALSE(f.UpDown->UpButton()->ShowFocusMark());
    Release(f.UpDown->DownButton());
    // Losing the focus takes the mark away.
    f.Edit->setFocus();
    EXPECT_FALSE(f.UpDown->DownButton()->ShowFocusMark());
}

TEST(UpDownButton, FocusControlIsForgottenWhenItGoes) {
    TUpDownFixture f;
    f.UpDown->SetFocusControl(f.Edit);
    delete f.Edit;
    EXPECT_EQ(f.UpDown->FocusControl(), nullptr);
    Press(f.UpDown->UpButton());
    Release(f.UpDown->UpButton());
    EXPECT_EQ(f.Ups, 1);
}

TEST(UpDownButton, DisabledOneDrawsBothArrowsGrey) {
    TUpDownFixture f;
    f.UpDown->setEnabled(false);
    for (TArrowButton* arrow : {f.UpDown->UpButton(), f.UpDown->DownButton()}) {
        EXPECT_FALSE(arrow->isEnabled());
        const QPolygon triangle =
            TArrowButton::ArrowTriangle(arrow->width(), arrow->height(), arrow->UpArrow());
        EXPECT_EQ(PixelOf(arrow, triangle.boundingRect().center()), clGray);
    }
}

TEST(EditEx, AlignmentReachesTheText) {
    TEditEx edit;
    EXPECT_EQ(edit.alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
    edit.SetAlignment(TAlignment::taRightJustify);
    EXPECT_EQ(edit.alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    edit.SetAlignment(TAlignment::taCenter);
    EXPECT_EQ(edit.alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_EQ(edit.Alignment(), TAlignment::taCenter);
}

TEST(EditEx, KillFocusFollowsTheLossOfFocus) {
    QWidget window;
    auto* edit = new TEditEx(&window);
    auto* other = new QLineEdit(&window);
    other->move(0, 40);
    QObject* sender = nullptr;
    edit->OnKillFocus = [&](QObject* s) { sender = s; };
    window.show();
    window.activateWindow();
    QApplication::setActiveWindow(&window);
    edit->setFocus();
    EXPECT_EQ(sender, nullptr);
    other->setFocus();
    EXPECT_EQ(sender, edit);
}

TEST(EditEx, KeyPressFilterDiscardsOrReplacesCharacters) {
    TEditEx edit;
    edit.OnKeyPress = [](QObject*, QChar& key) {
        if (key == QLatin1Char('x'))
            key = QChar();
        else if (key == QLatin1Char('a'))
            key = QLatin1Char('b');
    };
    TypeText(&edit, QStringLiteral("1x2a"));
    EXPECT_EQ(edit.text(), QStringLiteral("12b"));
    // A refused Enter travels on to the window.
    edit.OnKeyPress = [](QObject*, QChar& key) { key = QChar(); };
    EXPECT_FALSE(TypeKey(&edit, Qt::Key_Return, QStringLiteral("\r")));
    EXPECT_TRUE(TypeKey(&edit, Qt::Key_Z, QStringLiteral("z")));
    // Delete edits whatever the filter refuses.
    edit.setCursorPosition(0);
    TypeKey(&edit, Qt::Key_Delete, QString(QChar(127)));
    EXPECT_EQ(edit.text(), QStringLiteral("2b"));
}

} // namespace
