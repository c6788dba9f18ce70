#include "ttybackend.h"

#include "errortrap/runtimeerror.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantor::serial {

namespace {

// errno with the system's text and the device: "Permission denied: /dev/ttyUSB0".
[[noreturn]] void failWith(int err, const QString &path, const QString &text = {})
{
    const QString what = text.isEmpty() ? QString::fromLocal8Bit(std::strerror(err)) : text;
    throw RuntimeError(err, (what + QStringLiteral(": ") + path).toStdString());
}

int errnoOf(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError: return ENOENT;
    case QSerialPort::PermissionError: return EACCES;
    case QSerialPort::OpenError: return EBUSY;
    case QSerialPort::UnsupportedOperationError: return EINVAL;
    case QSerialPort::TimeoutError: return ETIMEDOUT;
    default: return EIO;
    }
}

qint16 codeOf(LineWatcher::Signal s)
{
    switch (s) {
    case LineWatcher::Signal::Cts: return comm::Cts;
    case LineWatcher::Signal::Dsr: return comm::Dsr;
    case LineWatcher::Signal::Cd: return comm::Cd;
    case LineWatcher::Signal::Ri: return comm::Ring;
    case LineWatcher::Signal::Break: return comm::Break;
    case LineWatcher::Signal::Frame: return comm::Frame;
    case LineWatcher::Signal::Parity: return comm::RxParity;
    case LineWatcher::Signal::Overrun: return comm::Overrun;
    case LineWatcher::Signal::BufferOverrun: return comm::RxOver;
    }
    return 0;
}

bool isUsbAdapter(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    if (name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM")))
        return true;
    const QString device = QFileInfo(QStringLiteral("/sys/class/tty/%1/device").arg(name)).canonicalFilePath();
    return device.contains(QLatin1String("/usb"));
}

} // namespace

TtyBackend::TtyBackend(QObject *parent)
    : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &TtyBackend::readAvailable);
    connect(&m_port, &QSerialPort::errorOccurred, this, &TtyBackend::portError);
}

TtyBackend::~TtyBackend()
{
    close();
}

void TtyBackend::open(const QString &target, const SettingsString &settings, PortSink &sink)
{
    if (m_port.isOpen())
        throw RuntimeError(errors::PortAlreadyOpen);
    // The node itself, so that every name of one device takes the same lock file.
    const QString path = QFileInfo(target).canonicalFilePath();
    if (path.isEmpty())
        failWith(ENOENT, target);
    m_path = path;
    m_sink = &sink;
    m_lost = false;
    try {
        openPort(path);
        configure(settings);
        assertControlLines();
        if (isUsbAdapter(path))
            requestLowLatency();
        if (QFileInfo(path).fileName().startsWith(QLatin1String("ttyACM")))
            sink.notice(QStringLiteral("Warning: %1 is a USB modem-class adapter; it cannot report CTS, "
                                       "so contacts on CTS (pins 7 and 8) will not fire. Use DSR "
                                       "(pins 7 and 6) or another adapter.")
                            .arg(path));
        startWatching();
    } catch (...) {
        close();
        throw;
    }
}

void TtyBackend::openPort(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st = {};
    if (::stat(native.constData(), &st) != 0)
        failWith(errno, path);
    if (!S_ISCHR(st.st_mode))
        failWith(ENOTTY, path, QStringLiteral("Not a serial device"));
    if (::faccessat(AT_FDCWD, native.constData(), R_OK | W_OK, AT_EACCESS) != 0)
        failWith(errno, path);

    m_port.setPortName(path);
    // Qt's buffer between reads: what the device sends while the window is busy waits in the
    // driver beyond this.
    m_port.setReadBufferSize(16 * 1024);
    if (m_port.open(QIODevice::ReadWrite))
        return;
    const QSerialPort::SerialPortError error = m_port.error();
    const QString reason = m_port.errorString();
    m_port.clearError();
    if (error == QSerialPort::PermissionError) {
        // Access was checked above: what is refused is the lock or the exclusive open.
        if (reason.contains(QLatin1String("creating lock file")))
            failWith(EACCES, path, QStringLiteral("No writable lock directory for"));
        throw RuntimeError(errors::PortAlreadyOpen, ("Port in use by another program: " + path).toStdString());
    }
    failWith(errnoOf(error), path, reason);
}

void TtyBackend::configure(const SettingsString &s)
{
    auto refuse = [&](const QString &what) {
        throw RuntimeError(errors::InvalidPropertyValue,
                           QStringLiteral("Invalid property value: %1 on %2").arg(what, m_path).toStdString());
    };
    if (!m_port.setBaudRate(s.speed))
        refuse(QStringLiteral("speed %1").arg(s.speed));

    if (s.dataBits < 5 || s.dataBits > 8)
        refuse(QStringLiteral("%1 data bits").arg(s.dataBits));
    if (!m_port.setDataBits(QSerialPort::DataBits(s.dataBits)))
        refuse(QStringLiteral("%1 data bits").arg(s.dataBits));

    QSerialPort::Parity parity = QSerialPort::NoParity;
    switch (s.parity) {
    case 'E': parity = QSerialPort::EvenParity; break;
    case 'O': parity = QSerialPort::OddParity; break;
    case 'M': parity = QSerialPort::MarkParity; break;
    case 'S': parity = QSerialPort::SpaceParity; break;
    default: break;
    }
    if (!m_port.setParity(parity))
        refuse(QStringLiteral("parity %1").arg(QLatin1Char(s.parity)));

    // The UART sends 1.5 stop bits when asked for two with 5-bit characters; with longer
    // characters 1.5 stop bits do not exist.
    QSerialPort::StopBits stop = QSerialPort::OneStop;
    if (s.stopBits == QLatin1String("2")) {
        stop = QSerialPort::TwoStop;
    } else if (s.stopBits == QLatin1String("1.5")) {
        if (s.dataBits != 5)
            refuse(QStringLiteral("1.5 stop bits with %1 data bits").arg(s.dataBits));
        stop = QSerialPort::TwoStop;
    }
    if (!m_port.setStopBits(stop))
        refuse(QStringLiteral("%1 stop bits").arg(s.stopBits));
    if (!m_port.setFlowControl(QSerialPort::NoFlowControl))
        refuse(QStringLiteral("flow control off"));
    m_port.clearError();
}

// RTS feeds the contacts; DTR is raised as well for boxes powered from it. A pseudo-terminal
// has neither line, so failures are not errors here.
void TtyBackend::assertControlLines()
{
    m_port.setDataTerminalReady(true);
    m_port.setRequestToSend(true);
    m_port.clearError();
}

// USB serial adapters gather received bytes for up to 16 ms by default; low-latency mode
// hands them over at once. Drivers that do not know the flag refuse quietly.
void TtyBackend::requestLowLatency()
{
    const int fd = int(m_port.handle());
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY))
        return;
    info.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &info);
}

void TtyBackend::startWatching()
{
    PortSink *sink = m_sink;
    m_watcher = std::make_unique<LineWatcher>(int(m_port.handle()), [sink](const LineWatcher::Change &c) {
        sink->event(CommEvent{codeOf(c.what), c.level, {}, c.when});
    });
    m_watcher->setThreadStart(m_watcherThreadStart);
    m_watcher->setSetbackSink([sink, path = m_path](LineWatcher::Setback setback, int error) {
        const QString what = QString::fromLocal8Bit(std::strerror(error));
        if (setback == LineWatcher::Setback::Ended) {
            sink->lost(error, QStringLiteral("%1, the line watch ended: %2").arg(what, path));
        } else if (error != 0) {
            sink->notice(QStringLiteral("***Err %1. %2: waiting for line changes failed on %3; polling them every 2 ms")
                             .arg(error)
                             .arg(what, path));
        } else {
            sink->notice(QStringLiteral("Warning: %1 signals line changes that are not there; polling them every 2 ms")
                             .arg(path));
        }
    });
    switch (m_watcher->start()) {
    case LineWatcher::Method::Interrupt: break;
    case LineWatcher::Method::Polling:
        sink->notice(QStringLiteral("Warning: %1 cannot signal line changes; polling them every 2 ms").arg(m_path));
        break;
    case LineWatcher::Method::Unsupported: sink->notice(noModemLinesNotice(m_path)); break;
    }
}

void TtyBackend::close()
{
    if (m_watcher) {
        m_watcher->stop(); // before the descriptor goes
        m_watcher.reset();
    }
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
    m_sink = nullptr;
}

bool TtyBackend::cts() const
{
    return m_watcher && m_watcher->level(LineWatcher::Signal::Cts);
}

bool TtyBackend::dsr() const
{
    return m_watcher && m_watcher->level(LineWatcher::Signal::Dsr);
}

LineWatcher::Method TtyBackend::watchMethod() const
{
    return m_watcher ? m_watcher->method() : LineWatcher::Method::Unsupported;
}

void TtyBackend::write(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        throw RuntimeError(errors::DeviceNotOpen);
    if (m_port.write(bytes) != bytes.size()) {
        const QSerialPort::SerialPortError error = m_port.error();
        const QString reason = m_port.errorString();
        m_port.clearError();
        failWith(errnoOf(error), m_path, reason);
    }
    // Out now rather than at the next turn of the event loop; what the device cannot take
    // yet stays queued and goes when it can.
    m_port.flush();
}

void TtyBackend::readAvailable()
{
    const QByteArray bytes = m_port.readAll();
    if (bytes.isEmpty())
        return;
    // Framing, parity and overrun errors and breaks arrive with data and move their counters
    // without waking the line watcher: have it look now rather than at the next line change.
    if (m_watcher)
        m_watcher->lookSoon();
    if (m_sink)
        m_sink->event(CommEvent{comm::Receive, false, bytes, Clock::now()});
}

// Qt reports a failed read as a read error (a hung-up tty reads end-of-file, and Qt keeps
// reading it) or as a resource error (EIO, EAGAIN: Qt stops reading). The device is gone when
// the tty says it was hung up; otherwise reading goes on.
void TtyBackend::portError(QSerialPort::SerialPortError error)
{
    if ((error != QSerialPort::ReadError && error != QSerialPort::ResourceError) || !m_port.isOpen() || m_lost
        || !m_sink)
        return;
    m_port.clearError();
    if (!hungUp()) {
        if (error == QSerialPort::ResourceError)
            readAvailable(); // reading again turns Qt's read notification back on
        return;
    }
    m_lost = true;
    if (m_watcher)
        m_watcher->stop();
    m_sink->lost(EIO, QStringLiteral("Input/output error, the device is gone: %1").arg(m_path));
    // A hung-up tty stays readable: stop reading it now rather than when the service closes.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_lost && m_port.isOpen())
                m_port.close();
        },
        Qt::QueuedConnection);
}

bool TtyBackend::hungUp() const
{
    pollfd p{int(m_port.handle()), POLLIN, 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace vantor::serial
