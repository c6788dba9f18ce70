#include "playcommand.h"

#include <algorithm>
#include <string_view>

namespace vantor::playout {

namespace {

constexpr char Verb[] = "PLAY 1 ";

bool isControl(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f);
}

bool needsQuotes(QChar c)
{
    return c == u' ' || c == u'"' || c == u'\\';
}

bool needsEscape(QChar c)
{
    return c == u'"' || c == u'\\';
}

char *append(char *out, std::string_view bytes)
{
    return std::copy(bytes.begin(), bytes.end(), out);
}

} // namespace

bool PlayCommand::isSendable(QStringView movie)
{
    return movie.isValidUtf16() && std::none_of(movie.begin(), movie.end(), isControl);
}

bool PlayCommand::build(QStringView movie)
{
    m_bytes.resize(0); // keeps the capacity
    if (!isSendable(movie))
        return false;
    const bool quoted = std::any_of(movie.begin(), movie.end(), needsQuotes);

    // Room for the worst case: every UTF-16 unit escaped, or taking three bytes in UTF-8.
    m_bytes.resize(qsizetype(sizeof Verb) + 4 + 3 * movie.size());
    char *out = append(m_bytes.data(), Verb);
    if (quoted)
        *out++ = '"';
    // Escapes split the text only at ASCII characters, never inside a surrogate pair.
    qsizetype from = 0;
    for (qsizetype i = 0; quoted && i < movie.size(); ++i) {
        if (!needsEscape(movie[i]))
            continue;
        out = m_utf8.appendToBuffer(out, movie.sliced(from, i - from));
        *out++ = '\\';
        *out++ = char(movie[i].unicode());
        from = i + 1;
    }
    out = m_utf8.appendToBuffer(out, movie.sliced(from));
    if (quoted)
        *out++ = '"';
    out = append(out, "\r\n");
    m_bytes.truncate(out - m_bytes.constData());
    return true;
}

} // namespace vantor::playout
