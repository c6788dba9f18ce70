#include "settingsstring.h"

#include <QStringList>

namespace vantor::serial {

std::optional<SettingsString> SettingsString::parse(const QString &text)
{
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return std::nullopt;
    SettingsString s;
    bool ok = false;
    s.speed = fields[0].trimmed().toInt(&ok);
    if (!ok || s.speed <= 0)
        return std::nullopt;
    const QString parity = fields[1].trimmed().toUpper();
    if (parity.size() != 1 || !QStringLiteral("EMNOS").contains(parity))
        return std::nullopt;
    s.parity = parity.at(0).toLatin1();
    s.dataBits = fields[2].trimmed().toInt(&ok);
    if (!ok || s.dataBits < 4 || s.dataBits > 8)
        return std::nullopt;
    s.stopBits = fields[3].trimmed();
    if (s.stopBits != QLatin1String("1") && s.stopBits != QLatin1String("1.5") && s.stopBits != QLatin1String("2"))
        return std::nullopt;
    return s;
}

QString SettingsString::toString() const
{
    return QStringLiteral("%1,%2,%3,%4").arg(speed).arg(QLatin1Char(parity)).arg(dataBits).arg(stopBits);
}

} // namespace vantor::serial
