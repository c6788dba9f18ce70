#pragma once

#include <QWidget>

namespace vantor::app {

// A solid-filled circle. The colour is a 24-bit value with red in the low byte
// (255 is red, 65280 green), as the lamps of the top strip are set.
class Lamp : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(quint32 fillColor READ fillColor WRITE setFillColor)

public:
    static constexpr quint32 Red = 255;
    static constexpr quint32 Green = 65280;

    explicit Lamp(QWidget *parent = nullptr);

    quint32 fillColor() const { return m_fill; }
    void setFillColor(quint32 bgr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    quint32 m_fill = Red;
};

} // namespace vantor::app
