#pragma once

#include <QString>

#include <optional>

namespace vantor::app {

// Where the status endpoint listens (--status).
struct StatusAddress
{
    QString address = QStringLiteral("127.0.0.1");
    quint16 port = 0;

    // "ADDRESS:PORT" with an IPv4 address, or "PORT" alone for 127.0.0.1; PORT is 1 to 65535.
    // Nothing for anything else, with the reason in *error.
    static std::optional<StatusAddress> parse(const QString &text, QString *error);
};

} // namespace vantor::app
