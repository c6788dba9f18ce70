#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace vantor::playout {

// Asks the operator for a movie file. Production shows the file dialog; tests script it.
class FileChooser
{
public:
    virtual ~FileChooser() = default;

    // Shows a modal chooser with the title and the filters ("Description (*.ext)", first one
    // selected); returns the chosen file's path, or nothing when the operator cancelled.
    virtual std::optional<QString> chooseMovie(const QString &title, const QStringList &filters) = 0;
};

} // namespace vantor::playout
