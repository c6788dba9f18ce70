#include "qtfilechooser.h"

#include <QFileDialog>
#include <QFileInfo>

namespace vantor::playout {

QtFileChooser::QtFileChooser(QWidget *parent)
    : m_parent(parent)
{
}

std::optional<QString> QtFileChooser::chooseMovie(const QString &title, const QStringList &filters)
{
    const QString path =
        QFileDialog::getOpenFileName(m_parent, title, m_lastDirectory, filters.join(QLatin1String(";;")));
    if (path.isEmpty())
        return std::nullopt;
    m_lastDirectory = QFileInfo(path).absolutePath();
    return path;
}

} // namespace vantor::playout
