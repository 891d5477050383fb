#include "support/nestedevents.h"

#include <QCoreApplication>

namespace {

// The main thread's alone.
int Depth = 0;

} // namespace

void ProcessNestedEvents() {
    ++Depth;
    struct TLeave {
        ~TLeave() { --Depth; }
    } leave;
    QCoreApplication::processEvents();
}

bool InsideNestedEvents() {
    return Depth > 0;
}
