#pragma once

#include <QRect>
#include <QtMath>

namespace vantor::app {

// Positions and sizes are laid out in twips, 1440 to the inch; the screen's logical DPI
// turns them into pixels (15 twips to the pixel at 96 DPI).
class Twips
{
public:
    explicit Twips(qreal logicalDpi = 96.0)
        : m_dpi(logicalDpi)
    {
    }

    int px(int twips) const { return qRound(twips * m_dpi / 1440.0); }
    QRect rect(int left, int top, int width, int height) const { return {px(left), px(top), px(width), px(height)}; }
    qreal dpi() const { return m_dpi; }

private:
    qreal m_dpi;
};

} // namespace vantor::app
