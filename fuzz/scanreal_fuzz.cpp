#include "support/conversions.h"
#include "support/errors.h"

#include <cstdint>
#include <cstdlib>

// Typed numbers come from the operator: any text must scan without a crash, and the scanner
// must always move forward and stay within the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    try {
        TextToReal(text);
    } catch (const EConvertError&) {
    }
    int32_t position = 1;
    while (position <= text.size()) {
        const int32_t before = position;
        double value = 0;
        try {
            if (!ScanReal(text, position, value))
                break;
        } catch (const EConvertError&) {
            break;
        }
        if (position <= before || position > text.size() + 1)
            abort();
    }
    return 0;
}
