#pragma once

#include <QLabel>

namespace vantor::app {

// A label that reports clicks and double-clicks. A disabled label reports nothing.
class ClickableLabel : public QLabel
{
    Q_OBJECT

public:
    using QLabel::QLabel;

Q_SIGNALS:
    void clicked();
    void doubleClicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
};

// The collapse/expand toggle. Its caption is its state, "5" (expanded) or "6" (collapsed);
// it is drawn as an up- or down-pointing triangle whatever fonts the machine has.
class TriangleToggle : public ClickableLabel
{
    Q_OBJECT

public:
    explicit TriangleToggle(const QString &text, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace vantor::app
