#pragma once

#include "casparservers.h"

#include "errortrap/errortrap.h"

#include <QObject>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace vantor::playout {

// The "Caspar" page: the address box and the Connect/Disconnect toggle, with the server lamp
// and label of the top strip. The button's caption is the operator's request; the lamp shows
// whether the connection is really up (answering). With a backup server, Connect and
// Disconnect work on both; the backup has a lamp of its own and its History lines end in
// " (backup)".
class CasparLink : public QObject
{
    Q_OBJECT

public:
    static constexpr quint32 Red = 255;
    static constexpr quint32 Green = 65280;

    struct Controls
    {
        QLineEdit *txtCASPARIP = nullptr;
        QPushButton *cmdCASPAR = nullptr;
        QLabel *lblCASPAR = nullptr;
        std::function<void(quint32 colour)> setLamp;
        std::function<void(const QString &message)> setStatus;
        // With a backup server: its lamp and its address.
        std::function<void(quint32 colour)> setBackupLamp = {};
        QString backupHost = {};
    };

    CasparLink(Controls controls, ErrorTrap &trap, CasparServers servers, QObject *parent = nullptr);

    void cmdCASPAR_Click();
    // The backup server's address; empty without one.
    QString backupHost() const { return m_servers.backup() ? m_controls.backupHost : QString(); }

private:
    void showLamp();

    Controls m_controls;
    ErrorTrap &m_trap;
    CasparServers m_servers;
    CasparConnection &m_connection; // the main server
};

} // namespace vantor::playout
