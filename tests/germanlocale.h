#pragma once

// The decimal-comma tests run under de_DE.UTF-8, which ctest builds into the build tree (see
// tests/CMakeLists.txt). A machine without it leaves the C library in "C" while Qt still reads
// the name from the environment: such a test would prove nothing, so it fails instead.

#include <clocale>
#include <cstring>
#include <gtest/gtest.h>

inline testing::AssertionResult HasGermanLocale() {
    if (std::strcmp(std::localeconv()->decimal_point, ",") == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "the C library has no de_DE.UTF-8: install the \"locales\" package and run the "
              "test through ctest, which builds the locale, or generate it with locale-gen";
}
