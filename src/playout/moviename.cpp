#include "moviename.h"

#include <QDir>
#include <QFileInfo>

namespace vantor::playout {

namespace {

QString absoluteClean(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

QString movieName(const QString &chosenPath, const QString &mediaFolder)
{
    const QString file = absoluteClean(chosenPath);
    if (!mediaFolder.isEmpty()) {
        const QString relative = QDir(absoluteClean(mediaFolder)).relativeFilePath(file);
        const bool under = !relative.isEmpty() && relative != QLatin1String(".") && relative != QLatin1String("..")
            && !relative.startsWith(QLatin1String("../")) && !QDir::isAbsolutePath(relative);
        if (under)
            return QDir::fromNativeSeparators(relative);
    }
    return QFileInfo(file).fileName();
}

} // namespace vantor::playout
