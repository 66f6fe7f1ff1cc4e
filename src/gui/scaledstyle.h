#pragma once
// Draws and hit-tests a widget's complex controls as the application's style
// would at 1/scale of its size, magnified by `scale`. The panel's zoom gives
// a control a larger rectangle, but a style keeps parts such as a scroll
// bar's arrows at its own fixed size; through this style they grow with the
// rest of the panel. At scale 1 it is the application's style unchanged.
#include <QProxyStyle>

namespace zel {

class ScaledStyle : public QProxyStyle {
public:
    // Owned by `owner`; a fresh instance of the application's style underneath.
    explicit ScaledStyle(QObject* owner);

    void setScale(double scale) { m_scale = scale; }
    double scale() const { return m_scale; }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget = nullptr) const override;
    SubControl hitTestComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                     const QPoint& pos, const QWidget* widget = nullptr) const override;

private:
    bool scaled(ComplexControl control) const {
        return m_scale != 1.0 && control == CC_ScrollBar && m_inside == 0;
    }
    // The option with its rectangle at 1/scale, about the same top-left corner.
    QRect unscaled(const QRect& r) const;

    double m_scale = 1.0;
    // The style underneath calls back through this one (its proxy) while it
    // draws the small option: those calls must pass straight through.
    mutable int m_inside = 0;
};

} // namespace zel
