#pragma once

#include <QFont>

namespace vantor::app {

// The window's faces: Tahoma for most controls, Arial Narrow for the status captions.
// Where a face is missing, the closest one Debian ships stands in (Wine's Tahoma,
// Liberation Sans Narrow).
struct Fonts
{
    static void load(); // registers Wine's Tahoma, which lies outside fontconfig's paths
    static QFont tahoma();
    static QFont narrow();
};

} // namespace vantor::app
