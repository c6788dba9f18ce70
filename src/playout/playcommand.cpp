#include "playcommand.h"

namespace vantor::playout {

namespace {

constexpr char Verb[] = "PLAY 1 ";

bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

bool needsQuotes(QChar c)
{
    return c == u' ' || c == u'"' || c == u'\\';
}

// Calls visit(code point) for each character; false on a broken surrogate pair.
template <class Visit>
bool forEachCodePoint(QStringView text, Visit &&visit)
{
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u)) {
            if (i + 1 >= n || !QChar::isLowSurrogate(text[i + 1].unicode()))
                return false;
            visit(QChar::surrogateToUcs4(u, text[++i].unicode()));
        } else if (QChar::isLowSurrogate(u)) {
            return false;
        } else {
            visit(char32_t(u));
        }
    }
    return true;
}

void appendUtf8(QByteArray &out, char32_t c)
{
    if (c < 0x80) {
        out.append(char(c));
    } else if (c < 0x800) {
        out.append(char(0xc0 | (c >> 6)));
        out.append(char(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
        out.append(char(0xe0 | (c >> 12)));
        out.append(char(0x80 | ((c >> 6) & 0x3f)));
        out.append(char(0x80 | (c & 0x3f)));
    } else {
        out.append(char(0xf0 | (c >> 18)));
        out.append(char(0x80 | ((c >> 12) & 0x3f)));
        out.append(char(0x80 | ((c >> 6) & 0x3f)));
        out.append(char(0x80 | (c & 0x3f)));
    }
}

} // namespace

bool PlayCommand::isSendable(QStringView movie)
{
    bool clean = true;
    const bool wellFormed = forEachCodePoint(movie, [&](char32_t c) { clean = clean && !isControl(c); });
    return wellFormed && clean;
}

bool PlayCommand::build(QStringView movie)
{
    m_bytes.resize(0); // keeps the capacity
    if (!isSendable(movie))
        return false;

    bool quoted = false;
    for (QChar c : movie)
        quoted = quoted || needsQuotes(c);

    // 4 bytes per UTF-16 unit is more than any character takes, escapes included.
    m_bytes.reserve(qsizetype(sizeof Verb) + 4 + 4 * movie.size());
    m_bytes.append(Verb, sizeof Verb - 1);
    if (quoted)
        m_bytes.append('"');
    forEachCodePoint(movie, [&](char32_t c) {
        if (quoted && (c == U'"' || c == U'\\'))
            m_bytes.append('\\');
        appendUtf8(m_bytes, c);
    });
    if (quoted)
        m_bytes.append('"');
    m_bytes.append("\r\n", 2);
    return true;
}

} // namespace vantor::playout
