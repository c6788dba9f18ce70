#include "portprobe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

// The probe of local devices on Linux: device nodes, permissions, lock files, sysfs.

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

} // namespace vantor::serial
