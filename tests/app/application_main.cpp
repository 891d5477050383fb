// The top-level handler needs the program's own application object, so these tests bring
// their own main instead of the shared one.

#include "app/application.h"

#include "support/errors.h"

#include <QEvent>
#include <QStringList>
#include <functional>
#include <gtest/gtest.h>
#include <new>
#include <stdexcept>

namespace {

// Throws from its event handler whatever the test hands it.
class TThrower : public QObject {
public:
    std::function<void()> Throw;

protected:
    bool event(QEvent*) override {
        Throw();
        return true;
    }
};

class TopLevelHandlerTest : public testing::Test {
protected:
    void SetUp() override {
        Previous = SetExceptionMessageFunction([this](const QString& text) { Shown << text; });
    }
    void TearDown() override { SetExceptionMessageFunction(std::move(Previous)); }

    QStringList Shown;
    TExceptionMessageFunction Previous;
};

struct EscapeCase {
    const char* name;
    std::function<void()> raise;
    const char* message;
};

const EscapeCase Escapes[] = {
    {"Own", [] { throw Exception(QStringLiteral("Can't play format")); }, "Can't play format"},
    {"Range", [] { throw ERangeError(); }, "Range check error"},
    {"Memory", [] { throw std::bad_alloc(); }, "Out of memory"},
    {"Standard", [] { throw std::runtime_error("disk on fire"); }, "disk on fire"},
    {"Other", [] { throw 42; }, "Unknown error"},
};

TEST_F(TopLevelHandlerTest, ExceptionLeavingAnEventHandlerIsShownAndTheProgramGoesOn) {
    TThrower thrower;
    for (const EscapeCase& c : Escapes) {
        Shown.clear();
        thrower.Throw = c.raise;
        QEvent event(QEvent::User);
        EXPECT_FALSE(QCoreApplication::sendEvent(&thrower, &event)) << c.name;
        EXPECT_EQ(Shown, QStringList{QString::fromUtf8(c.message)}) << c.name;
    }
}

TEST_F(TopLevelHandlerTest, ExceptionLeavingAHandlerRunIsShown) {
    for (const EscapeCase& c : Escapes) {
        Shown.clear();
        RunHandler(c.raise);
        EXPECT_EQ(Shown, QStringList{QString::fromUtf8(c.message)}) << c.name;
    }
    bool ran = false;
    Shown.clear();
    RunHandler([&ran] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(Shown.isEmpty());
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
