#pragma once

#include "filechooser.h"

class QWidget;

namespace vantor::playout {

// The file dialog of the window. One chooser serves all six slots and opens where the
// previous choice was made.
class QtFileChooser : public FileChooser
{
public:
    explicit QtFileChooser(QWidget *parent = nullptr);
    // The window the dialog belongs to (it opens centred over it).
    void setParent(QWidget *parent) { m_parent = parent; }

    std::optional<QString> chooseMovie(const QString &title, const QStringList &filters) override;

private:
    QWidget *m_parent;
    QString m_lastDirectory;
};

} // namespace vantor::playout
