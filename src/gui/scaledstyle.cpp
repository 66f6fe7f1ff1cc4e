#include "gui/scaledstyle.h"

#include <QApplication>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOptionSlider>

namespace zel {

ScaledStyle::ScaledStyle(QObject* owner)
    : QProxyStyle(QStyleFactory::create(QApplication::style()->name())) {
    setParent(owner);
}

QRect ScaledStyle::unscaled(const QRect& r) const {
    return QRect(r.topLeft(),
                 QSize(qMax(1, qRound(r.width() / m_scale)), qMax(1, qRound(r.height() / m_scale))));
}

void ScaledStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                     QPainter* painter, const QWidget* widget) const {
    const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (!scaled(control) || !slider) return QProxyStyle::drawComplexControl(control, option, painter, widget);
    QStyleOptionSlider small = *slider;
    small.rect = unscaled(option->rect);
    painter->save();
    painter->translate(option->rect.topLeft());
    painter->scale(m_scale, m_scale);
    painter->translate(-option->rect.topLeft());
    ++m_inside;
    QProxyStyle::drawComplexControl(control, &small, painter, widget);
    --m_inside;
    painter->restore();
}

QRect ScaledStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                                  const QWidget* widget) const {
    const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (!scaled(control) || !slider) return QProxyStyle::subControlRect(control, option, part, widget);
    QStyleOptionSlider small = *slider;
    small.rect = unscaled(option->rect);
    ++m_inside;
    const QRect r = QProxyStyle::subControlRect(control, &small, part, widget);
    --m_inside;
    const QPoint o = option->rect.topLeft();
    const auto grow = [&](int v, int origin) { return origin + qRound((v - origin) * m_scale); };
    return QRect(QPoint(grow(r.left(), o.x()), grow(r.top(), o.y())),
                 QPoint(grow(r.right() + 1, o.x()) - 1, grow(r.bottom() + 1, o.y()) - 1));
}

QStyle::SubControl ScaledStyle::hitTestComplexControl(ComplexControl control,
                                                      const QStyleOptionComplex* option, const QPoint& pos,
                                                      const QWidget* widget) const {
    const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (!scaled(control) || !slider) return QProxyStyle::hitTestComplexControl(control, option, pos, widget);
    QStyleOptionSlider small = *slider;
    small.rect = unscaled(option->rect);
    const QPoint o = option->rect.topLeft();
    const QPoint at(o.x() + int((pos.x() - o.x()) / m_scale), o.y() + int((pos.y() - o.y()) / m_scale));
    ++m_inside;
    const SubControl hit = QProxyStyle::hitTestComplexControl(control, &small, at, widget);
    --m_inside;
    return hit;
}

} // namespace zel
