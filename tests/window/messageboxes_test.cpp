#include "window/messageboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <gtest/gtest.h>

namespace {

// Messages raised in order, and what shows after each: the box's text and count, and how many
// different ones wait behind it. "close" stands for the operator pressing OK.
TEST(MessageBoxesTest, ShowsOneBoxAtATimeAndCountsRepeats) {
    const struct {
        const char* Raised;
        const char* Shown;
        int Count;
        size_t Waiting;
    } rows[] = {
        {"The input device stopped", "The input device stopped", 1, 0},
        {"The input device stopped", "The input device stopped", 2, 0},
        {"No Wave Device Available", "The input device stopped", 2, 1},
        {"The input device stopped", "The input device stopped", 3, 1},
        {"No Wave Device Available", "The input device stopped", 3, 1},
        {"close", "No Wave Device Available", 2, 0},
        {"close", nullptr, 0, 0},
        {"Out of memory", "Out of memory", 1, 0},
    };
    TMessageBoard board;
    TMessageBoxes boxes;
    board.SetShower(&boxes);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Raised);
        if (QByteArray(row.Raised) == "close") {
            ASSERT_NE(boxes.Box(), nullptr);
            boxes.Box()->button(QMessageBox::Ok)->click();
        } else {
            board.Raise(TMessageKind::Error, QStringLiteral("Lagvane"), row.Raised);
            EXPECT_EQ(board.Last().Text, QString::fromUtf8(row.Raised));
        }
        // Raise has returned with the box up: no event loop of its own ran, and none waits.
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        ASSERT_EQ(boxes.Box() != nullptr, row.Shown != nullptr);
        if (row.Shown) {
            EXPECT_TRUE(boxes.Box()->isVisible());
            EXPECT_EQ(boxes.Box()->text(), QString::fromUtf8(row.Shown));
            EXPECT_EQ(boxes.Box()->informativeText().startsWith(
                          QStringLiteral("%1 times, the last at ").arg(row.Count)),
                      row.Count > 1);
        }
        EXPECT_EQ(boxes.ShownCount(), row.Count);
        EXPECT_EQ(boxes.Waiting(), row.Waiting);
    }
}

TEST(MessageBoxesTest, APresenterTakesTheMessageInPlaceOfTheBoxAndItIsStillKept) {
    TMessageBoard board;
    TMessageBoxes boxes;
    board.SetShower(&boxes);
    QStringList presented;
    board.Raise(TMessageKind::Information, QStringLiteral("Information"),
                QStringLiteral("No Wave Device Available"),
                [&](const QString& text) { presented << text; });
    EXPECT_EQ(presented, QStringList{QStringLiteral("No Wave Device Available")});
    EXPECT_EQ(boxes.Box(), nullptr);
    EXPECT_EQ(board.Last().Text, QStringLiteral("No Wave Device Available"));
    EXPECT_TRUE(board.Last().Time.isValid());
}

} // namespace
