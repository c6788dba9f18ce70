#pragma once

#include "serial/rfc2217/rfc2217codec.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>

class QTcpServer;
class QTcpSocket;
class QTimer;

// A network serial port with contacts on its inputs, served by Telnet Com Port Control
// (RFC 2217) to one client at a time. Contacts on CTS and DSR are fed from RTS, as a contact
// between pins 7 and 8 (or 7 and 6) is: the line reads ON while the contact is closed and
// the client holds RTS on. CD and RI read the contact directly.
//
// Like a device server that looks at its modem lines from time to time, changes are
// reported NotifyDelay after the first one; changes that come and go within that time
// reach the client as a change bit with an unchanged level.
class ContactServer : public QObject
{
    Q_OBJECT

public:
    enum class Input { Cts, Dsr, Cd, Ring };
    static constexpr int InputCount = 4;

    // How this server departs from a well-behaved one (for trying clients).
    struct Behaviour
    {
        bool acknowledgeMasks = true; // answer SET-MODEMSTATE-MASK and SET-LINESTATE-MASK
        bool refuseComPort = false;   // DONT COM-PORT-OPTION
        bool silent = false;          // read everything, answer nothing
        int notifyDelayMs = 0;
    };

    // What the client has set.
    struct PortState
    {
        std::uint32_t baudRate = 0;
        int dataSize = 0;
        int parity = 0;   // 1 none, 2 odd, 3 even, 4 mark, 5 space
        int stopSize = 0; // 1 one, 2 two, 3 one and a half
        int flowControl = 0;
        bool dtr = false;
        bool rts = false;
        int modemMask = -1; // -1: not set
        int lineMask = -1;
        bool comPort = false;
        QByteArray received; // the newest MaxKept data bytes from the client
    };

    // What is kept of the client's data, and shown of one read in the log.
    static constexpr qsizetype MaxKept = 4096;
    static constexpr qsizetype MaxShown = 64;

    explicit ContactServer(QObject *parent = nullptr);
    ~ContactServer() override;

    bool listen(const QHostAddress &address, quint16 port = 0);
    quint16 port() const;
    QString errorString() const;

    Behaviour behaviour() const { return m_behaviour; }
    void setBehaviour(const Behaviour &behaviour) { m_behaviour = behaviour; }
    const PortState &state() const { return m_state; }
    bool hasClient() const { return m_client != nullptr; }
    bool contact(Input input) const { return m_contacts[index(input)]; }
    // The modem state as the client would read it: levels only.
    std::uint8_t modemState() const;

public Q_SLOTS:
    void setContact(ContactServer::Input input, bool closed);
    // Inverts the contact for widthMs, then puts it back; 0 does both at once.
    void pulse(ContactServer::Input input, int widthMs);
    void sendData(const QByteArray &bytes);
    void sendLineState(std::uint8_t bits);
    void dropClient();

Q_SIGNALS:
    void logged(const QString &line);
    void clientChanged(bool connected);
    void dataReceived(const QByteArray &bytes);
    void stateChanged();

private:
    static int index(Input input) { return static_cast<int>(input); }
    void accept();
    void readClient();
    void negotiate(std::uint8_t verb, std::uint8_t option);
    void comPortCommand(const vantor::serial::rfc2217::Bytes &payload);
    void reply(std::uint8_t command, const vantor::serial::rfc2217::Bytes &value);
    void send(const vantor::serial::rfc2217::Bytes &bytes);
    void levelsChanged(std::uint8_t before);
    void notifyModemState();
    void log(const QString &line);

    QTcpServer *m_server;
    QPointer<QTcpSocket> m_client;
    QTimer *m_notifyTimer;
    std::unique_ptr<vantor::serial::rfc2217::TelnetParser> m_parser;
    Behaviour m_behaviour;
    PortState m_state;
    std::array<bool, InputCount> m_contacts{};
    std::uint8_t m_deltas = 0;
    std::bitset<256> m_clientWill; // options the client uses, as agreed
    std::bitset<256> m_serverWill; // options this server uses, as agreed
};
