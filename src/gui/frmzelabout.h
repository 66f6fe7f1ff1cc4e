#pragma once
// The About box: labels only, no buttons, closed through its window frame.
#include <QWidget>

class QLabel;

class FrmZelAbout : public QWidget {
    Q_OBJECT
public:
    explicit FrmZelAbout(QWidget* parent = nullptr);
};
