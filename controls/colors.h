#pragma once

#include <QColor>

// The toolkit's named colours with their RGB values.
inline const QColor clBlack{0x00, 0x00, 0x00};
inline const QColor clMaroon{0x80, 0x00, 0x00};
inline const QColor clGreen{0x00, 0x80, 0x00};
inline const QColor clGray{0x80, 0x80, 0x80};
inline const QColor clSilver{0xC0, 0xC0, 0xC0};
inline const QColor clRed{0xFF, 0x00, 0x00};
inline const QColor clLime{0x00, 0xFF, 0x00};
inline const QColor clWhite{0xFF, 0xFF, 0xFF};
// The frame colour of windows; black on every usual desktop scheme.
inline const QColor clWindowFrame{0x00, 0x00, 0x00};
