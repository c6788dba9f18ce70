#pragma once

#include "backupcheck.h"
#include "casparservers.h"

#include "errortrap/errortrap.h"

#include <QObject>
#include <QTimer>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace vantor::playout {

// The "Caspar" page: the address box and the Connect/Disconnect toggle, with the server lamp
// and label of the top strip. The button's caption is the operator's request; the lamp shows
// whether the connection is really up (answering). With a backup server, Connect and
// Disconnect work on both; the backup has a lamp of its own and its History lines end in
// " (backup)". The backup is connected only once its address is known not to be the main
// server's (BackupCheck): one that is gets a "***" line and is not used; one whose address
// cannot be told in time is checked again every BackupRetryMs.
class CasparLink : public QObject
{
    Q_OBJECT

public:
    static constexpr quint32 Red = 255;
    static constexpr quint32 Green = 65280;
    static constexpr int BackupRetryMs = 5000;

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
    void checkBackup();

    Controls m_controls;
    ErrorTrap &m_trap;
    CasparServers m_servers;
    CasparConnection &m_connection; // the main server
    // All on the window thread.
    QString m_mainHost;               // the main server's address as the operator gave it at Connect
    BackupCheck m_backupCheck;        // whether the backup is the main server
    QTimer m_backupRetry;             // the next check after one that could not tell
    bool m_backupUnknownSaid = false; // one History line per Connect for a check that could not tell
};

} // namespace vantor::playout
