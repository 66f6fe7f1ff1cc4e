#pragma once
// The panel's painted pieces: LEDs, bands, rounded boxes and bar segments
// (Indicator), lines (PanelLine), the status labels with their background
// (ColorLabel) and the clickable speaker pictures (ClickableImage). Setters
// return early when nothing changes, so per-packet updates cost nothing for
// indicators that keep their state.
#include <QColor>
#include <QLabel>
#include <QPixmap>
#include <QWidget>

class Indicator : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor fillColor READ fillColor WRITE setFillColor)
    Q_PROPERTY(bool lit READ isLit WRITE setLit NOTIFY litChanged)
public:
    enum class Shape { Rectangle, Circle, RoundedRectangle };
    Indicator(Shape shape, const QColor& fill, QWidget* parent);

    QColor fillColor() const { return m_fill; }
    void setFillColor(const QColor& c);
    // A transparent fill paints only the border (the rounded boxes).
    void setTransparentFill(bool on);
    void setBorderWidth(int pixels);
    Shape shape() const { return m_shape; }
    // A dark indicator paints nothing, so what lies beneath shows as if it
    // were hidden; switching it is only a repaint, without the show and hide
    // machinery (the bar's segments switch many times a second).
    bool isLit() const { return m_lit; }
    void setLit(bool on) { setLit(on, Repaint::Own); }
    // Repaint::ByCaller leaves the repaint to the caller, which gathers many
    // switched indicators into one request on their parent.
    enum class Repaint { Own, ByCaller };
    void setLit(bool on, Repaint repaint);

signals:
    void litChanged(bool lit);

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;

private:
    // Asks for a repaint of the whole indicator with a region kept from its
    // last resize: Qt keeps a shared copy of it, where a rectangle would cost
    // a new region with each request.
    void repaintWhole();
    void drawShape(QPainter& p) const;

    QRegion m_area;
    Shape m_shape;
    QColor m_fill;
    bool m_transparent = false;
    bool m_lit = true;
    int m_border = 0;
    // The drawn shape, kept: antialiased outlines are costly, and the bar
    // repaints the boxes beneath it with nearly every packet.
    QPixmap m_drawn;
};

// A straight line from (x1,y1) to (x2,y2) in its parent's coordinates; the
// widget covers the line's bounding box.
class PanelLine : public QWidget {
    Q_OBJECT
public:
    PanelLine(int x1Twips, int y1Twips, int x2Twips, int y2Twips, QWidget* parent);

protected:
    void paintEvent(QPaintEvent*) override;
};

class ColorLabel : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QColor backColor READ backColor WRITE setBackColor)
public:
    ColorLabel(const QString& text, const QColor& back, QWidget* parent);
    QColor backColor() const { return m_back; }
    void setBackColor(const QColor& c);

private:
    QColor m_back;
};

class ClickableImage : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
};
