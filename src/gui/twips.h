#pragma once
// Layout numbers are written in twips, as in the panel's layout tables, and
// converted here only: 15 twips to a pixel at 96 dpi (Qt's high-DPI scaling
// does the rest).
#include <QRect>
#include <QWidget>
#include <cmath>

namespace zel {

constexpr int TwipsPerPixel = 15;

constexpr int px(double twips) {
    return int(std::lround(twips / TwipsPerPixel));
}

inline QRect twipsRect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

inline void placeTwips(QWidget* w, int left, int top, int width, int height) {
    w->setGeometry(twipsRect(left, top, width, height));
}

// Qt's QFont(family, int) would drop the fraction of 8.25 pt.
QFont panelFont(const char* family, double pointSize, bool bold = false);

} // namespace zel
