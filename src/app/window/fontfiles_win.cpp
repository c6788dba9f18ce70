#include "app/window/fonts.h"

#include <QCoreApplication>
#include <QDir>

namespace vantor::app {

// Windows has Tahoma, but rarely Arial Narrow: the installer puts the faces the Linux package
// asks for beside the program, so that the window looks the same everywhere.
QStringList Fonts::bundledFontFiles()
{
    const QDir fonts(QCoreApplication::applicationDirPath() + QStringLiteral("/fonts"));
    QStringList files;
    for (const QString &file : fonts.entryList({QStringLiteral("*.ttf")}, QDir::Files))
        files << fonts.filePath(file);
    return files;
}

} // namespace vantor::app
