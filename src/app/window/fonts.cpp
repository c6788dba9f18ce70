#include "app/window/fonts.h"

#include <QFontDatabase>

namespace vantor::app {

namespace {
QFont firstPresent(const QStringList &families, qreal points)
{
    const QStringList present = QFontDatabase::families();
    QFont font;
    for (const QString &family : families) {
        if (present.contains(family, Qt::CaseInsensitive)) {
            font.setFamily(family);
            break;
        }
    }
    font.setPointSizeF(points);
    return font;
}
} // namespace

void Fonts::load()
{
    static bool loaded = false;
    if (loaded)
        return;
    loaded = true;
    for (const QString &file : bundledFontFiles())
        QFontDatabase::addApplicationFont(file);
}

QFont Fonts::tahoma()
{
    return firstPresent({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")},
                        8.25);
}

QFont Fonts::narrow()
{
    return firstPresent({QStringLiteral("Arial Narrow"), QStringLiteral("Liberation Sans Narrow"),
                         QStringLiteral("DejaVu Sans Condensed")},
                        8.25);
}

} // namespace vantor::app
