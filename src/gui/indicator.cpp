#include "gui/indicator.h"

#include "gui/twips.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

// No indicator claims to be opaque (Qt::WA_OpaquePaintEvent): Qt leaves out
// of a repaint requested on the panel whatever an opaque child covers, so
// the bar's segments, repainted through the panel, would never be repainted
// above the bands beneath them.
Indicator::Indicator(Shape shape, const QColor& fill, QWidget* parent)
    : QWidget(parent)
    , m_shape(shape)
    , m_fill(fill) {}

void Indicator::setFillColor(const QColor& c) {
    if (c == m_fill) return;
    m_fill = c;
    m_drawn = QPixmap();
    repaintWhole();
}

void Indicator::setLit(bool on, Repaint repaint) {
    if (on == m_lit) return;
    m_lit = on;
    if (repaint == Repaint::Own) repaintWhole();
    emit litChanged(on);
}

void Indicator::repaintWhole() {
    update(m_area);
}

void Indicator::resizeEvent(QResizeEvent*) {
    m_area = QRegion(rect());
    m_drawn = QPixmap();
}

void Indicator::setTransparentFill(bool on) {
    m_transparent = on;
    m_drawn = QPixmap();
    setAttribute(Qt::WA_TransparentForMouseEvents, on);
    update();
}

void Indicator::setBorderWidth(int pixels) {
    m_border = pixels;
    m_drawn = QPixmap();
    update();
}

void Indicator::paintEvent(QPaintEvent* e) {
    if (!m_lit) return;
    QPainter p(this);
    if (m_shape == Shape::Rectangle && m_border == 0 && !m_transparent) {
        p.fillRect(rect(), m_fill);
        return;
    }
    const qreal ratio = devicePixelRatioF();
    if (m_drawn.isNull()) {
        m_drawn = QPixmap(size() * ratio);
        m_drawn.setDevicePixelRatio(ratio);
        m_drawn.fill(Qt::transparent);
        QPainter shape(&m_drawn);
        drawShape(shape);
    }
    const QRect r = e->rect();
    p.drawPixmap(r, m_drawn, QRectF(QPointF(r.topLeft()) * ratio, QSizeF(r.size()) * ratio));
}

void Indicator::drawShape(QPainter& p) const {
    p.setRenderHint(QPainter::Antialiasing);
    if (m_border > 0)
        p.setPen(QPen(Qt::black, m_border));
    else if (m_shape == Shape::Circle)
        p.setPen(QPen(Qt::black, 1));
    else
        p.setPen(Qt::NoPen);
    p.setBrush(m_transparent ? QBrush(Qt::NoBrush) : QBrush(m_fill));
    const qreal inset = p.pen().style() == Qt::NoPen ? 0 : p.pen().widthF() / 2.0;
    const QRectF r = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    switch (m_shape) {
    case Shape::Rectangle:
        p.drawRect(r);
        break;
    case Shape::Circle: {
        // A circle in the middle of its box, as wide as the smaller side.
        const qreal d = qMin(r.width(), r.height());
        p.drawEllipse(QRectF(r.center().x() - d / 2, r.center().y() - d / 2, d, d));
        break;
    }
    case Shape::RoundedRectangle:
        p.drawRoundedRect(r, 8, 8);
        break;
    }
}

PanelLine::PanelLine(int x1, int y1, int x2, int y2, QWidget* parent)
    : QWidget(parent) {
    const int l = zel::px(qMin(x1, x2)), t = zel::px(qMin(y1, y2));
    const int r = zel::px(qMax(x1, x2)), b = zel::px(qMax(y1, y2));
    setGeometry(l, t, qMax(1, r - l + 1), qMax(1, b - t + 1));
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void PanelLine::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
}

ColorLabel::ColorLabel(const QString& text, const QColor& back, QWidget* parent)
    : QLabel(text, parent)
    , m_back(back) {
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, back);
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);
}

void ColorLabel::setBackColor(const QColor& c) {
    if (c == m_back) return;
    m_back = c;
    QPalette pal = palette();
    pal.setColor(QPalette::Window, c);
    setPalette(pal);
}

void ClickableImage::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) emit clicked();
    QLabel::mouseReleaseEvent(e);
}
