#pragma once

#include <QByteArray>
#include <QStringEncoder>
#include <QStringView>

namespace vantor::playout {

// The bytes of one play command: "PLAY 1 " + movie + CR LF, in UTF-8, which is what the
// server reads.
//
// The server splits parameters on spaces and reads double quotes and backslashes inside
// quotes as grouping and escapes. A movie with a space, a double quote or a backslash
// therefore goes out as one quoted parameter with \" and \\ escaped; any other movie goes
// out exactly as it is. A movie holding a control character (CR and LF would start a second
// command) or a broken UTF-16 surrogate is refused.
//
// The buffer is kept between commands, so building one does not allocate once it has
// grown to the longest line seen.
class PlayCommand
{
public:
    // Builds the line for `movie`; false (and no bytes) when the movie cannot be sent.
    bool build(QStringView movie);

    const QByteArray &bytes() const { return m_bytes; }

    // Whether the movie text can be sent at all.
    static bool isSendable(QStringView movie);

private:
    QByteArray m_bytes;
    QStringEncoder m_utf8{QStringEncoder::Utf8};
};

} // namespace vantor::playout
