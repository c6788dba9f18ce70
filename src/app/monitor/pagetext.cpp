#include "app/monitor/pagetext.h"

#include <QList>
#include <QString>

namespace vantor::app {

namespace {
bool hidden(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069)
        || c == 0x200e || c == 0x200f || c == 0x061c;
}
} // namespace

std::string pageText(QStringView text, std::size_t maxBytes)
{
    constexpr std::string_view Ellipsis = "\u2026";
    // Every UTF-16 unit is a byte at least: what lies beyond maxBytes of them is cut anyway.
    // toUcs4 makes a lone surrogate (a pair cut here too) U+FFFD.
    QString shown;
    for (char32_t c : text.left(qsizetype(maxBytes) + 1).toUcs4())
        shown += QChar::fromUcs4(hidden(c) ? char32_t(0xfffd) : c);
    const QByteArray utf8 = shown.toUtf8();
    if (std::size_t(utf8.size()) <= maxBytes)
        return utf8.toStdString();
    qsizetype cut = qsizetype(maxBytes - Ellipsis.size());
    while (cut > 0 && (utf8[cut] & 0xc0) == 0x80) // utf8[cut], the first byte left out, begins a character
        --cut;
    return utf8.left(cut).toStdString() + std::string(Ellipsis);
}

} // namespace vantor::app
