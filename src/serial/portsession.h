#pragma once

#include "serial/service/serialportservice.h"

#include "errortrap/errortrap.h"

#include <QString>

#include <functional>

class QComboBox;
class QPushButton;

namespace vantor::serial {

// The port session: the port number in cboComm, the open/close toggle cmdCOMStatus
// (its caption is the session's state), the lamp and the discovery button.
class PortSession : public QObject
{
    Q_OBJECT

public:
    static inline const QString OpenCaption = QStringLiteral("Open COM Port");
    static inline const QString CloseCaption = QStringLiteral("Close COM Port");

    struct Controls
    {
        QComboBox *cboComm = nullptr;
        QPushButton *cmdCOMStatus = nullptr;
        QPushButton *cmdGetComPorts = nullptr;
        // The four settings lists, applied as "speed,parity,data bits,stop bits" when the port opens.
        QComboBox *cboBaubRate = nullptr;
        QComboBox *cboParity = nullptr;
        QComboBox *cboDataBits = nullptr;
        QComboBox *cboStopBits = nullptr;
        std::function<void(quint32)> setLamp;
        std::function<void(const QString &)> setStatus1;
    };

    PortSession(ErrorTrap &trap, SerialPortService &port, Controls controls, QObject *parent = nullptr);

    void cboComm_Change();
    void cboComm_Click();
    void cmdCOMStatus_Click();

    bool isOpen() const;

private:
    void showClosed();
    void portLost(qint32 number, const QString &description);
    QString settingsFromLists() const;

    ErrorTrap &m_trap;
    SerialPortService &m_port;
    Controls m_c;
};

QString errorLine(const RuntimeError &error);

} // namespace vantor::serial
