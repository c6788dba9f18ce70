#pragma once

#include <QString>

namespace vantor::playout {

// The name under which a chosen file is stored in a slot and sent to the server.
//
// The server looks clips up by name in its own media folder, so a local directory means
// nothing to it: the name is the file's base name with its extension ("intro.mov").
// When the station's media folder is known (mediaFolder not empty) a file under it keeps its
// sub-folders, separated by forward slashes ("news/intro.mov"); a file elsewhere is stored
// by its base name.
QString movieName(const QString &chosenPath, const QString &mediaFolder);

} // namespace vantor::playout
