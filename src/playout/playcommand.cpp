#include "playcommand.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

namespace vantor::playout {

namespace {

constexpr std::array<std::string_view, 4> Verbs{"PLAY ", "LOADBG ", "STOP ", "CLEAR "};
// The longest verb and address: "LOADBG 99-9999 ".
constexpr qsizetype MaxHead = 16;

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

char *appendNumber(char *out, int n)
{
    return std::to_chars(out, out + 8, n).ptr;
}

} // namespace

bool PlayCommand::isSendable(QStringView movie)
{
    return movie.isValidUtf16() && std::none_of(movie.begin(), movie.end(), isControl);
}

bool PlayCommand::build(QStringView movie)
{
    return buildLine(Verb::Play, SlotAddress{}, true, movie);
}

bool PlayCommand::build(Verb verb, SlotAddress at, QStringView movie)
{
    if (verb == Verb::LoadBackground && movie.isEmpty()) {
        m_bytes.resize(0);
        return false;
    }
    const bool withMovie = (verb == Verb::Play || verb == Verb::LoadBackground) && !movie.isEmpty();
    return buildLine(verb, at, withMovie, movie);
}

bool PlayCommand::buildLine(Verb verb, SlotAddress at, bool withMovie, QStringView movie)
{
    m_bytes.resize(0); // keeps the capacity
    if (!at.isValid() || (withMovie && !isSendable(movie)))
        return false;
    if (!withMovie)
        movie = {};
    const bool quoted = std::any_of(movie.begin(), movie.end(), needsQuotes);

    // Room for the worst case: every UTF-16 unit escaped, or taking three bytes in UTF-8.
    m_bytes.resize(MaxHead + 5 + 3 * movie.size());
    char *out = append(m_bytes.data(), Verbs.at(size_t(verb)));
    out = appendNumber(out, at.channel);
    if (at.hasLayer()) {
        *out++ = '-';
        out = appendNumber(out, at.layer);
    }
    if (withMovie) {
        *out++ = ' ';
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
    }
    out = append(out, "\r\n");
    m_bytes.truncate(out - m_bytes.constData());
    return true;
}

} // namespace vantor::playout
