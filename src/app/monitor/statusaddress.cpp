#include "app/monitor/statusaddress.h"

#include <QHostAddress>

namespace vantor::app {

std::optional<StatusAddress> StatusAddress::parse(const QString &text, QString *error)
{
    StatusAddress result;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    const QString host = colon < 0 ? QString() : text.left(colon);
    if (colon >= 0) {
        QHostAddress address;
        // Four numbers: a shortened form such as 10.1 is too easily a typing mistake.
        if (host.count(QLatin1Char('.')) != 3 || !address.setAddress(host)
            || address.protocol() != QAbstractSocket::IPv4Protocol) {
            *error = QStringLiteral("takes an IPv4 address, such as 127.0.0.1:9101");
            return std::nullopt;
        }
        result.address = address.toString();
    }
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        *error = QStringLiteral("takes a port number from 1 to 65535");
        return std::nullopt;
    }
    result.port = quint16(port);
    return result;
}

} // namespace vantor::app
