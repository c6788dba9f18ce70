#include "cliprules.h"

namespace vantor::onair {

namespace {

QString folded(QStringView text)
{
    QString out = text.toString().toCaseFolded();
    out.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return out;
}

// Without the extension: what follows the last dot of the last path element.
QStringView stemOf(QStringView name)
{
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > slash + 1 ? name.left(dot) : name;
}

QString fromUtf8(const std::string &s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

} // namespace

ClipName::ClipName(const QString &clip)
    : m_text(clip)
    , m_folded(folded(clip))
    , m_stem(stemOf(m_folded).toString())
{
    while (m_folded.startsWith(QLatin1Char('/')))
        m_folded.remove(0, 1), m_stem.remove(0, 1);
}

bool ClipName::matchesName(QStringView reported) const
{
    QString name = folded(reported);
    while (name.startsWith(QLatin1Char('/')))
        name.remove(0, 1);
    if (m_folded.isEmpty() || name.isEmpty())
        return false;
    // Either side may leave the extension out.
    return name == m_folded || stemOf(name) == m_folded || name == m_stem;
}

bool ClipName::matchesPath(QStringView reported) const
{
    const QString path = folded(reported);
    if (m_folded.isEmpty() || path.isEmpty())
        return false;
    const auto endsAtFolder = [&path](QStringView tail, QStringView whole) {
        return whole == tail || (whole.endsWith(tail) && whole.at(whole.size() - tail.size() - 1) == QLatin1Char('/'));
    };
    return endsAtFolder(m_folded, path) || endsAtFolder(m_folded, stemOf(path));
}

bool ClipName::isNamedBy(const Playing &playing, Layout layout) const
{
    if (layout == Layout::Classic)
        return matchesName(fromUtf8(playing.path));
    return matchesName(fromUtf8(playing.name)) || matchesPath(fromUtf8(playing.path));
}

QString ClipName::fromParameter(QStringView parameter)
{
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < parameter.size(); ++i) {
        const QChar c = parameter.at(i);
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (c == QLatin1Char('\\') && i + 1 < parameter.size()) {
            const QChar next = parameter.at(++i);
            if (next == QLatin1Char('"') || next == QLatin1Char('\\'))
                out += next;
            else if (next == QLatin1Char('n'))
                out += QLatin1Char('\n');
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace vantor::onair
