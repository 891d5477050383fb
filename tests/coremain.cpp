#include <QCoreApplication>
#include <gtest/gtest.h>

// Tests of what runs without a window get Qt Core's application object only: a widget or a
// platform plugin they reached for would fail them.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
