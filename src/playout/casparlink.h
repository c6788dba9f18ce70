#pragma once

#include "errortrap/errortrap.h"

#include <QObject>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace vantor::playout {

class CasparConnection;

// The "Caspar" page: the address box and the Connect/Disconnect toggle, with the server lamp
// and label of the top strip. The button's caption is the operator's request; the lamp shows
// whether the connection is really up.
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
    };

    CasparLink(Controls controls, ErrorTrap &trap, CasparConnection &connection, QObject *parent = nullptr);

    void cmdCASPAR_Click();

private:
    void showLamp();

    Controls m_controls;
    ErrorTrap &m_trap;
    CasparConnection &m_connection;
};

} // namespace vantor::playout
