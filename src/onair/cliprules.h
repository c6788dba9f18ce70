#pragma once

#include "onairstate.h"

#include <QString>
#include <QStringView>

namespace vantor::onair {

// A clip as the playout server names it, and whether what the server reports names it.
//
// The server's rules for clip names:
// - A clip is looked up in the server's media folder without regard to case ("Intro.MOV" is
//   "intro.mov"); `/` separates sub-folders ("news/intro").
// - The extension may be left out ("intro" plays "intro.mov"), so a name without one matches
//   a reported name with any extension, and the other way round.
// - 2.0.7 and 2.1 report the file's path relative to the media folder, with its extension
//   ("news/intro.mov").
// - 2.2 and later report the name as given in PLAY (by whichever client sent it, so it may be
//   spelt otherwise than ours) and the file's full path ("D:/media/news/intro.mov"; a server on
//   Windows may write backslashes): the clip matches the path's end at a folder boundary.
// The clip is the name the server read from the PLAY line: the movie without the command
// line's quoting and escapes (fromParameter undoes them for a parameter as written).
class ClipName
{
public:
    explicit ClipName(const QString &clip);

    const QString &text() const { return m_text; }
    // The side's reported name or path names this clip: on 2.0.7 the path is relative to the
    // media folder (a name), on 2.2+ it is full (its end must match).
    bool isNamedBy(const Playing &playing, Layout layout) const;
    bool matchesName(QStringView reported) const;
    bool matchesPath(QStringView reported) const;

    // One parameter of a command line as the server reads it: double quotes group; a backslash
    // before a double quote or a backslash stands for that character, \n for a line feed, and
    // any other backslash pair drops (so an unquoted C:\media\clip is the clip "C:edialip").
    static QString fromParameter(QStringView parameter);

private:
    QString m_text;   // as given
    QString m_folded; // case-folded, with / separators
    QString m_stem;   // m_folded without its extension (m_folded when it has none)
};

} // namespace vantor::onair
