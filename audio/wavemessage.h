#pragma once

#include <QString>
#include <functional>

// The audio layer's information messages ("No Wave Device Available", ...). By default the
// message board's box, which never blocks; a test installs its own to read them.
using TWaveMessageFunction = std::function<void(const QString& text)>;

// Installs the function and returns the previous one; an empty function restores the box.
TWaveMessageFunction SetWaveMessageFunction(TWaveMessageFunction function);
void ShowWaveMessage(const QString& text);
