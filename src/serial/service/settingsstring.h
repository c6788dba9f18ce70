#pragma once

#include <QString>

#include <optional>

namespace vantor::serial {

// The settings string "speed,parity,data bits,stop bits", for instance "9600,n,8,1".
struct SettingsString
{
    int speed = 9600;
    char parity = 'N';                      // E, M, N, O or S
    int dataBits = 8;                       // 4 to 8
    QString stopBits = QStringLiteral("1"); // "1", "1.5" or "2"

    static std::optional<SettingsString> parse(const QString &text);
    QString toString() const;
};

} // namespace vantor::serial
