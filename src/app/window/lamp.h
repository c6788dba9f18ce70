#pragma once

#include <QTime>
#include <QWidget>

namespace vantor::app {

// A solid-filled circle. The colour is a 24-bit value with red in the low byte
// (255 is red, 65280 green), as the lamps of the top strip are set.
//
// For those who cannot see the colour, the lamp says in words what it means now: its
// accessible description is the meaning ("open"), its tooltip the meaning and since when
// ("open since 14:02:11").
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

    // Which lamp this is ("COM port lamp") and what green and red mean ("open", "closed").
    void setMeaning(const QString &name, const QString &green, const QString &red);
    // What the colour means now; empty for a colour without a meaning.
    QString meaning() const;
    // When the lamp took its colour.
    QTime since() const { return m_since; }

Q_SIGNALS:
    void fillColorChanged(quint32 bgr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void describe();

    quint32 m_fill = Red;
    QTime m_since;
    QString m_green; // what green means
    QString m_red;   // what red means
};

} // namespace vantor::app
