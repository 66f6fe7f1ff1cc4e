#pragma once
// The panel's colours, shared by the layout and the indicator procedures.
#include <QColor>

namespace zel::colour {

constexpr QColor Window(208, 208, 208);
// Lit.
constexpr QColor Green(0, 255, 0);
constexpr QColor Yellow(255, 255, 0);
constexpr QColor Red(255, 0, 0);
// Design (unlit) colours of the LEDs and bands.
constexpr QColor DimRed(192, 160, 160);
constexpr QColor DimYellow(208, 208, 144);
constexpr QColor DimGreen(160, 192, 160);
// The red LEDs go out a shade lighter than their design colour; the panel
// has always done so.
constexpr QColor RedOut(195, 160, 160);

} // namespace zel::colour
