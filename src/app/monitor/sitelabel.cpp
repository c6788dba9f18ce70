#include "app/monitor/sitelabel.h"

#include <QList>

#include <algorithm>

namespace vantor::app {

std::optional<QString> SiteLabel::parse(const QString &text, QString *error)
{
    static const QString Key = QStringLiteral("site=");
    if (!text.startsWith(Key)) {
        *error = QStringLiteral("takes site=NAME (site is the one label)");
        return std::nullopt;
    }
    const QString name = text.mid(Key.size());
    const QList<uint> characters = name.toUcs4();
    const bool printable = std::all_of(characters.begin(), characters.end(), [](uint c) {
        return c != 0xfffd && QChar::isPrint(char32_t(c)) && QChar::category(char32_t(c)) != QChar::Other_Format;
    });
    if (characters.isEmpty() || characters.size() > MaxCharacters || !printable || name.trimmed() != name) {
        *error = QStringLiteral("takes a site name of 1 to %1 printable characters, without spaces at either end")
                     .arg(MaxCharacters);
        return std::nullopt;
    }
    return name;
}

} // namespace vantor::app
