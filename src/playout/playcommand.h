#pragma once

#include "slotcommand.h"

#include <QByteArray>
#include <QStringEncoder>
#include <QStringView>

namespace vantor::playout {

// The bytes of one command line to the server, in UTF-8, which is what the server reads.
// Every line the program sends for a slot is built here:
//
//   PLAY 1 <movie>           the classic line, exactly (build(movie))
//   PLAY c[-l] <movie>       play on a channel and layer
//   PLAY c[-l]               play what was loaded in the background
//   LOADBG c[-l] <movie>     load in the background
//   STOP c[-l], CLEAR c[-l]
//
// The server splits parameters on spaces and reads double quotes and backslashes inside
// quotes as grouping and escapes. A movie with a space, a double quote or a backslash
// therefore goes out as one quoted parameter with \" and \\ escaped; any other movie goes
// out exactly as it is. A movie holding a control character (CR and LF would start a second
// command) or a broken UTF-16 surrogate is refused, as is an address out of range.
//
// The buffer is kept between commands, so building one does not allocate once it has
// grown to the longest line seen.
class PlayCommand
{
public:
    enum class Verb { Play, LoadBackground, Stop, Clear };

    // Builds "PLAY 1 " + movie + CR LF; false (and no bytes) when the movie cannot be sent.
    bool build(QStringView movie);
    // Builds the verb's line for `at`. Play takes the movie when there is one (a bare PLAY
    // without); LoadBackground needs one; Stop and Clear take none. False (and no bytes) when
    // the line cannot be sent.
    bool build(Verb verb, SlotAddress at, QStringView movie = {});

    const QByteArray &bytes() const { return m_bytes; }
    // The line without its CR LF, for records.
    QString text() const { return QString::fromUtf8(m_bytes.chopped(m_bytes.isEmpty() ? 0 : 2)); }

    // Whether the movie text can be sent at all.
    static bool isSendable(QStringView movie);

private:
    bool buildLine(Verb verb, SlotAddress at, bool withMovie, QStringView movie);

    QByteArray m_bytes;
    QStringEncoder m_utf8{QStringEncoder::Utf8};
};

} // namespace vantor::playout
