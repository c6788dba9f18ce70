#include "contactserver.h"

#include "serial/rfc2217/rfc2217protocol.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

using namespace vantor::serial::rfc2217;

namespace {

// The first MaxShown bytes, control bytes as <hex>, and how many more there were.
QString printable(const QByteArray &bytes)
{
    QString out;
    for (const char c : bytes.left(ContactServer::MaxShown)) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("<%1>").arg(b, 2, 16, QLatin1Char('0'));
    }
    if (bytes.size() > ContactServer::MaxShown)
        out += QStringLiteral(" ... (%1 bytes)").arg(bytes.size());
    return out;
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

QString parityName(int value)
{
    static const char *names[] = {"?", "none", "odd", "even", "mark", "space"};
    return QString::fromLatin1(value >= 1 && value <= 5 ? names[value] : names[0]);
}

QString stopName(int value)
{
    static const char *names[] = {"?", "1", "2", "1.5"};
    return QString::fromLatin1(value >= 1 && value <= 3 ? names[value] : names[0]);
}

QString flowName(int value)
{
    static const char *names[] = {"?", "none", "XON/XOFF", "hardware"};
    return QString::fromLatin1(value >= 1 && value <= 3 ? names[value] : names[0]);
}

} // namespace

ContactServer::ContactServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_notifyTimer(new QTimer(this))
{
    m_notifyTimer->setSingleShot(true);
    connect(m_notifyTimer, &QTimer::timeout, this, &ContactServer::notifyModemState);
    connect(m_server, &QTcpServer::newConnection, this, &ContactServer::accept);
}

ContactServer::~ContactServer() = default;

bool ContactServer::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port);
}

quint16 ContactServer::port() const
{
    return m_server->serverPort();
}

QString ContactServer::errorString() const
{
    return m_server->errorString();
}

std::uint8_t ContactServer::modemState() const
{
    std::uint8_t state = 0;
    if (m_contacts[index(Input::Cts)] && m_state.rts)
        state |= modem::Cts;
    if (m_contacts[index(Input::Dsr)] && m_state.rts)
        state |= modem::Dsr;
    if (m_contacts[index(Input::Cd)])
        state |= modem::Cd;
    if (m_contacts[index(Input::Ring)])
        state |= modem::Ring;
    return state;
}

void ContactServer::log(const QString &line)
{
    Q_EMIT logged(line);
}

void ContactServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_client) {
            log(QStringLiteral("Refused a second client from %1").arg(socket->peerAddress().toString()));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_client = socket;
        m_parser = std::make_unique<TelnetParser>();
        m_parser->setNvtCarriageReturn(true);
        m_clientWill.reset();
        m_serverWill.reset();
        m_deltas = 0;
        m_state = PortState{};
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket->setReadBufferSize(16 * 1024);
        connect(socket, &QTcpSocket::readyRead, this, &ContactServer::readClient);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (m_client == socket) {
                m_client = nullptr;
                m_notifyTimer->stop();
                log(QStringLiteral("Client disconnected"));
                Q_EMIT clientChanged(false);
            }
            socket->deleteLater();
        });
        log(QStringLiteral("Client connected from %1:%2")
                .arg(socket->peerAddress().toString())
                .arg(socket->peerPort()));
        Q_EMIT clientChanged(true);
    }
}

void ContactServer::dropClient()
{
    if (!m_client)
        return;
    log(QStringLiteral("Dropping the client"));
    m_client->abort(); // emits disconnected
}

void ContactServer::send(const Bytes &bytes)
{
    if (m_client && !m_behaviour.silent && !bytes.empty()) {
        m_client->write(bytes.data(), qint64(bytes.size()));
        m_client->flush();
    }
}

void ContactServer::reply(std::uint8_t command, const Bytes &value)
{
    send(comPort(std::uint8_t(command + cpc::ServerOffset), value));
}

void ContactServer::readClient()
{
    if (!m_client)
        return;
    const QByteArray bytes = m_client->readAll();
    std::vector<TelnetItem> items;
    m_parser->feed(std::string_view(bytes.constData(), std::size_t(bytes.size())), items);
    for (const TelnetItem &item : items) {
        switch (item.kind) {
        case TelnetItem::Kind::Data: {
            const QByteArray data(item.bytes.data(), qsizetype(item.bytes.size()));
            m_state.received += data;
            if (m_state.received.size() > MaxKept)
                m_state.received.remove(0, m_state.received.size() - MaxKept);
            log(QStringLiteral("Client sends: %1").arg(printable(data)));
            Q_EMIT dataReceived(data);
            break;
        }
        case TelnetItem::Kind::Negotiation: negotiate(item.verb, item.option); break;
        case TelnetItem::Kind::Subnegotiation:
            if (item.option == option::ComPort && m_state.comPort)
                comPortCommand(item.bytes);
            break;
        case TelnetItem::Kind::Command: break;
        }
    }
    Q_EMIT stateChanged();
}

void ContactServer::negotiate(std::uint8_t verb, std::uint8_t opt)
{
    using namespace telnet;
    const bool supported = opt == option::Binary || opt == option::SuppressGoAhead;
    switch (verb) {
    case WILL:
        if (opt == option::ComPort && !m_behaviour.refuseComPort) {
            if (!m_clientWill[opt]) {
                m_clientWill.set(opt);
                m_state.comPort = true;
                log(QStringLiteral("Com Port option agreed"));
                send(negotiation(DO, opt));
            }
        } else if (supported) {
            if (!m_clientWill[opt]) {
                m_clientWill.set(opt);
                send(negotiation(DO, opt));
            }
        } else {
            if (opt == option::ComPort)
                log(QStringLiteral("Com Port option refused"));
            send(negotiation(DONT, opt));
        }
        break;
    case DO:
        if (opt == option::TimingMark) {
            send(negotiation(WILL, opt)); // answered every time: the client's keep-alive
        } else if (supported) {
            if (!m_serverWill[opt]) {
                m_serverWill.set(opt);
                send(negotiation(WILL, opt));
            }
        } else {
            send(negotiation(WONT, opt));
        }
        break;
    case WONT:
        if (m_clientWill[opt]) {
            m_clientWill.reset(opt);
            send(negotiation(DONT, opt));
        }
        break;
    case DONT:
        if (m_serverWill[opt]) {
            m_serverWill.reset(opt);
            send(negotiation(WONT, opt));
        }
        break;
    }
    m_parser->setNvtCarriageReturn(!m_clientWill[option::Binary]);
}

void ContactServer::comPortCommand(const Bytes &payload)
{
    if (payload.empty())
        return;
    const auto command = static_cast<std::uint8_t>(payload[0]);
    const Bytes value = payload.substr(1);
    const int byte = value.empty() ? 0 : static_cast<std::uint8_t>(value[0]);
    const auto one = [](int v) { return Bytes(1, static_cast<char>(v)); };

    switch (command) {
    case cpc::Signature:
        if (value.empty())
            reply(command, "VANTOR GPI simulator");
        else
            log(QStringLiteral("Client is %1").arg(printable(QByteArray::fromStdString(value))));
        break;
    case cpc::SetBaudRate:
        if (value.size() < 4)
            break;
        if (const std::uint32_t baud = readBigEndian32(value)) {
            m_state.baudRate = baud;
            log(QStringLiteral("Speed %1").arg(baud));
        }
        reply(command, bigEndian32(m_state.baudRate));
        break;
    case cpc::SetDataSize:
        if (byte) {
            m_state.dataSize = byte;
            log(QStringLiteral("Data bits %1").arg(byte));
        }
        reply(command, one(m_state.dataSize));
        break;
    case cpc::SetParity:
        if (byte) {
            m_state.parity = byte;
            log(QStringLiteral("Parity %1").arg(parityName(byte)));
        }
        reply(command, one(m_state.parity));
        break;
    case cpc::SetStopSize:
        if (byte) {
            m_state.stopSize = byte;
            log(QStringLiteral("Stop bits %1").arg(stopName(byte)));
        }
        reply(command, one(m_state.stopSize));
        break;
    case cpc::SetControl: {
        using namespace cpc::control;
        const std::uint8_t before = modemState();
        if (byte >= NoFlowControl && byte <= Hardware) {
            m_state.flowControl = byte;
            log(QStringLiteral("Flow control %1").arg(flowName(byte)));
            reply(command, one(byte));
        } else if (byte == DtrOn || byte == DtrOff || byte == 7) {
            if (byte != 7) {
                m_state.dtr = byte == DtrOn;
                log(QStringLiteral("DTR %1").arg(onOff(m_state.dtr)));
            }
            reply(command, one(m_state.dtr ? DtrOn : DtrOff));
        } else if (byte == RtsOn || byte == RtsOff || byte == 10) {
            if (byte != 10) {
                m_state.rts = byte == RtsOn;
                log(QStringLiteral("RTS %1").arg(onOff(m_state.rts)));
            }
            reply(command, one(m_state.rts ? RtsOn : RtsOff));
        } else if (byte == 0) {
            reply(command, one(m_state.flowControl ? m_state.flowControl : NoFlowControl));
        }
        levelsChanged(before);
        break;
    }
    case cpc::SetLineStateMask:
        m_state.lineMask = byte;
        log(QStringLiteral("Line-state mask 0x%1").arg(byte, 2, 16, QLatin1Char('0')));
        if (m_behaviour.acknowledgeMasks)
            reply(command, one(byte));
        break;
    case cpc::SetModemStateMask:
        m_state.modemMask = byte;
        log(QStringLiteral("Modem-state mask 0x%1").arg(byte, 2, 16, QLatin1Char('0')));
        if (m_behaviour.acknowledgeMasks)
            reply(command, one(byte));
        // The present levels, so that the client starts from them.
        m_deltas = 0;
        reply(cpc::NotifyModemState, one(modemState() & byte));
        break;
    case cpc::PurgeData: reply(command, one(byte)); break;
    default: break;
    }
}

void ContactServer::setContact(Input input, bool closed)
{
    const std::uint8_t before = modemState();
    m_contacts[index(input)] = closed;
    levelsChanged(before);
    Q_EMIT stateChanged();
}

void ContactServer::pulse(Input input, int widthMs)
{
    const bool rest = contact(input);
    setContact(input, !rest);
    if (widthMs <= 0)
        setContact(input, rest);
    else
        QTimer::singleShot(widthMs, this, [this, input, rest] { setContact(input, rest); });
}

void ContactServer::levelsChanged(std::uint8_t before)
{
    const std::uint8_t now = modemState();
    const std::uint8_t changed = before ^ now;
    if (changed & modem::Cts)
        m_deltas |= modem::DeltaCts;
    if (changed & modem::Dsr)
        m_deltas |= modem::DeltaDsr;
    if (changed & modem::Cd)
        m_deltas |= modem::DeltaCd;
    if ((before & modem::Ring) && !(now & modem::Ring))
        m_deltas |= modem::TrailingEdgeRing;
    if (!changed || !m_client || m_state.modemMask < 0)
        return;
    if (((changed | m_deltas) & m_state.modemMask) && !m_notifyTimer->isActive())
        m_notifyTimer->start(m_behaviour.notifyDelayMs);
}

void ContactServer::notifyModemState()
{
    if (!m_client || m_state.modemMask < 0)
        return;
    const std::uint8_t state = (modemState() | m_deltas) & std::uint8_t(m_state.modemMask);
    m_deltas = 0;
    reply(cpc::NotifyModemState, Bytes(1, static_cast<char>(state)));
    log(QStringLiteral("Modem state sent: CTS %1, DSR %2, CD %3, RI %4 (change bits 0x%5)")
            .arg(onOff(state & modem::Cts), onOff(state & modem::Dsr), onOff(state & modem::Cd),
                 onOff(state & modem::Ring))
            .arg(state & 0x0f, 1, 16));
}

void ContactServer::sendData(const QByteArray &bytes)
{
    const bool binary = m_serverWill[option::Binary];
    send(escapeData(std::string_view(bytes.constData(), std::size_t(bytes.size())), binary));
}

void ContactServer::sendLineState(std::uint8_t bits)
{
    if (m_state.lineMask >= 0)
        reply(cpc::NotifyLineState, Bytes(1, static_cast<char>(bits & m_state.lineMask)));
}
