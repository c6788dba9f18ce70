#include "portprobe.h"

#include "portmap.h"
#include "serial/rfc2217/rfc2217backend.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <QtEndian>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantor::serial {

namespace {

// The lock file's name for a device, as Qt's serial port forms it: the path without "/dev/",
// slashes turned into underscores.
QString lockFileName(const QString &devicePath)
{
    QString name = devicePath.startsWith(QLatin1String("/dev/")) ? devicePath.mid(5) : devicePath;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

// Lock files hold the pid as text: "1234\n..." (Qt) or ten right-aligned digits (UUCP).
qint64 pidInLockFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray first = file.readLine(64).trimmed();
    bool ok = false;
    const qint64 pid = first.toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

bool processAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// The 8250 driver keeps a node for every UART slot; a slot without a chip reports type 0.
bool slotWithoutChip(const QString &devicePath)
{
    QFile type(QStringLiteral("/sys/class/tty/%1/type").arg(QFileInfo(devicePath).fileName()));
    if (!type.open(QIODevice::ReadOnly))
        return false;
    return type.readAll().trimmed() == "0";
}

} // namespace

QStringList SystemPortProbe::defaultLockDirectories()
{
    return {QStringLiteral("/var/lock"),
            QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"),
            QStringLiteral("/var/spool/uucp"),
            QStringLiteral("/tmp"),
            QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"),
            QStringLiteral("/run/lock"),
            QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
}

SystemPortProbe::SystemPortProbe(QStringList lockDirectories, std::chrono::milliseconds connectTimeout,
                                 std::shared_ptr<HostResolver> resolver)
    : m_lockDirectories(std::move(lockDirectories))
    , m_connectTimeout(connectTimeout)
    , m_resolver(resolver ? std::move(resolver) : std::make_shared<SystemHostResolver>())
{
}

SystemPortProbe::~SystemPortProbe() = default;

SystemPortProbe::Verdict SystemPortProbe::check(const QString &target) const
{
    if (target.isEmpty())
        return Verdict::Missing;
    return PortMap::isNetworkTarget(target) ? checkNetwork(target) : checkDevice(target);
}

QString SystemPortProbe::describe(Verdict verdict, const QString &path)
{
    switch (verdict) {
    case Verdict::Available: return QStringLiteral("can be opened");
    case Verdict::Missing: return QStringLiteral("missing");
    case Verdict::NotADevice: return QStringLiteral("not a device");
    case Verdict::NoPermission: {
        struct stat st = {};
        const struct group *owner =
            ::stat(QFile::encodeName(path).constData(), &st) == 0 ? ::getgrgid(st.st_gid) : nullptr;
        return owner ? QStringLiteral("no permission (group %1)").arg(QString::fromLocal8Bit(owner->gr_name))
                     : QStringLiteral("no permission");
    }
    case Verdict::NoChip: return QStringLiteral("no UART fitted");
    case Verdict::InUse: return QStringLiteral("in use");
    case Verdict::Unreachable: return QStringLiteral("unreachable");
    }
    return {};
}

SystemPortProbe::Verdict SystemPortProbe::checkDevice(const QString &path) const
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st = {};
    if (::stat(native.constData(), &st) != 0)
        return Verdict::Missing;
    if (!S_ISCHR(st.st_mode))
        return Verdict::NotADevice;
    if (::faccessat(AT_FDCWD, native.constData(), R_OK | W_OK, AT_EACCESS) != 0)
        return Verdict::NoPermission;
    if (slotWithoutChip(QFileInfo(path).canonicalFilePath()))
        return Verdict::NoChip;
    if (lockHolder(path) != 0)
        return Verdict::InUse;
    return Verdict::Available;
}

qint64 SystemPortProbe::lockHolder(const QString &devicePath) const
{
    // A program may have locked the device under the name it was given or under its node.
    QStringList names{lockFileName(devicePath)};
    const QString node = QFileInfo(devicePath).canonicalFilePath();
    if (!node.isEmpty() && node != devicePath)
        names << lockFileName(node);
    for (const QString &dir : m_lockDirectories) {
        for (const QString &name : std::as_const(names)) {
            const qint64 pid = pidInLockFile(QDir(dir).filePath(name));
            if (pid != 0 && processAlive(pid))
                return pid;
        }
    }
    return 0;
}

bool SystemPortProbe::available(const QString &target) const
{
    if (PortMap::isNetworkTarget(target))
        return Rfc2217Backend::parseTarget(target).has_value();
    return check(target) == Verdict::Available;
}

SystemPortProbe::Verdict SystemPortProbe::checkNetwork(const QString &target) const
{
    const auto endpoint = Rfc2217Backend::parseTarget(target);
    if (!endpoint)
        return Verdict::Missing;
    QElapsedTimer clock;
    clock.start();
    const int timeoutMs = int(m_connectTimeout.count());
    const auto addresses = Rfc2217Backend::addressesOf(*endpoint, timeoutMs, *m_resolver);
    if (!addresses)
        return Verdict::Unreachable;
    if (connectedFromHere(*addresses, endpoint->port))
        return Verdict::InUse;
    return Rfc2217Backend::reachable(*addresses, endpoint->port, timeoutMs - int(clock.elapsed()))
        ? Verdict::Available
        : Verdict::Unreachable;
}

// A line of /proc/net/tcp: "sl local_address rem_address st ...", an address as the hex digits
// of its 32-bit words in this machine's byte order (one word for IPv4, four for IPv6), then ':'
// and the port in hex; state 01 is ESTABLISHED.
bool SystemPortProbe::connectedFromHere(const QList<QHostAddress> &addresses, quint16 port)
{
    constexpr qint64 MaxTableBytes = 16 << 20; // a machine with very many connections is read this far
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.read(MaxTableBytes).split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines[i].simplified().split(' ');
            if (fields.size() < 4 || fields[3] != "01")
                continue;
            const QList<QByteArray> remote = fields[2].split(':');
            if (remote.size() != 2 || remote[1].toUInt(nullptr, 16) != port || remote[0].size() % 8 != 0)
                continue;
            QByteArray bytes;
            for (qsizetype at = 0; at < remote[0].size(); at += 8) {
                const quint32 word = remote[0].mid(at, 8).toUInt(nullptr, 16);
                bytes.append(reinterpret_cast<const char *>(&word), sizeof word);
            }
            QHostAddress peer;
            if (bytes.size() == 4)
                peer.setAddress(qFromBigEndian<quint32>(bytes.constData()));
            else if (bytes.size() == 16)
                peer.setAddress(reinterpret_cast<const quint8 *>(bytes.constData()));
            for (const QHostAddress &address : addresses) {
                if (peer.isEqual(address, QHostAddress::TolerantConversion))
                    return true;
            }
        }
    }
    return false;
}

} // namespace vantor::serial
