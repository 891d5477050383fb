#pragma once

#include <QApplication>

// Widgets need an application object; the benchmarks make one, headless, on first use.
inline void EnsureApplication() {
    static int argc = 1;
    static char name[] = "lagvane_bench";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance())
        return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication application(argc, argv);
}
