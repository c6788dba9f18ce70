#pragma once

#include <QFont>
#include <QStringList>

namespace vantor::app {

// The window's faces: Tahoma for most controls, Arial Narrow for the status captions.
// Where a face is missing, the closest one Debian ships stands in (Wine's Tahoma,
// Liberation Sans Narrow).
struct Fonts
{
    static void load(); // registers the font files of bundledFontFiles()
    static QFont tahoma();
    static QFont narrow();

    // The font files the program registers itself, one file per system beside fonts.cpp: on
    // Linux Wine's Tahoma, which lies outside fontconfig's paths; on Windows the faces the
    // installer puts in the program's fonts folder (Wine's Tahoma, Liberation Sans Narrow).
    static QStringList bundledFontFiles();
};

} // namespace vantor::app
