#include "app/window/fonts.h"

#include <QDir>

namespace vantor::app {

QStringList Fonts::bundledFontFiles()
{
    const QDir wine(QStringLiteral("/usr/share/wine/fonts"));
    QStringList files;
    for (const QString &file : wine.entryList({QStringLiteral("tahoma*.ttf")}, QDir::Files))
        files << wine.filePath(file);
    return files;
}

} // namespace vantor::app
