#pragma once

// Included once by each fuzz target that drives widgets: they run under an offscreen
// application made before the first input.

#include <QApplication>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(*argc, *argv);
    return 0;
}
