#include "portmap.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <limits>
#include <tuple>

namespace vantor::serial {

namespace {

const QString NetworkScheme = QStringLiteral("rfc2217://");

// Sort key of a device: its group (ttyS, ttyUSB, ttyACM, ttyAMA, others), then its name
// without the trailing number, then that number.
std::tuple<int, QString, qlonglong, QString> orderKey(const QString &path)
{
    static const QRegularExpression numbered(QStringLiteral("^(.*?)(\\d+)$"));
    static const QStringList groups{QStringLiteral("ttyS"), QStringLiteral("ttyUSB"), QStringLiteral("ttyACM"),
                                    QStringLiteral("ttyAMA")};
    const QString name = QFileInfo(path).fileName();
    QString stem = name;
    qlonglong number = -1;
    if (const auto m = numbered.match(name); m.hasMatch()) {
        stem = m.captured(1);
        number = m.captured(2).toLongLong();
    }
    const qsizetype group = groups.indexOf(stem);
    return {group < 0 ? int(groups.size()) : int(group), stem, number, path};
}

// The same device under two names (a /dev/serial/by-id link and its ttyUSB node) is one device.
QString canonical(const QString &path)
{
    if (PortMap::isNetworkTarget(path))
        return path;
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}

} // namespace

PortMap::PortMap(Enumeration enumerate)
    : m_enumerate(std::move(enumerate))
{
}

bool PortMap::isNetworkTarget(const QString &target)
{
    return target.startsWith(NetworkScheme, Qt::CaseInsensitive);
}

std::optional<PortMap::Pin> PortMap::parsePin(const QString &text, QString *error)
{
    auto fail = [&](const QString &why) -> std::optional<Pin> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    if (eq < 0)
        return fail(QStringLiteral("expected N=DEVICE, got \"%1\"").arg(text));
    bool ok = false;
    const int number = text.left(eq).trimmed().toInt(&ok);
    if (!ok || number < 1 || number > std::numeric_limits<qint16>::max())
        return fail(QStringLiteral("port number must be 1 to 32767: \"%1\"").arg(text.left(eq)));
    QString target = text.mid(eq + 1).trimmed();
    if (target.isEmpty())
        return fail(QStringLiteral("no device given for port %1").arg(number));
    if (isNetworkTarget(target)) {
        const QUrl url(target);
        if (!url.isValid() || url.host().isEmpty() || url.port() <= 0)
            return fail(QStringLiteral("expected rfc2217://HOST:PORT, got \"%1\"").arg(target));
    } else {
        target = localDevicePath(target);
    }
    return Pin{qint16(number), target};
}

void PortMap::pin(const Pin &pin)
{
    m_pinned[pin.number] = pin.target;
    m_entries[pin.number] = pin.target;
}

void PortMap::refresh()
{
    QStringList devices = m_enumerate ? m_enumerate() : QStringList();
    std::sort(devices.begin(), devices.end(),
              [](const QString &a, const QString &b) { return orderKey(a) < orderKey(b); });
    qint16 number = 1;
    for (const QString &device : std::as_const(devices)) {
        if (const qint16 fixed = systemNumber(device); fixed > 0) {
            if (!m_entries.count(fixed)) // a pinned number keeps its pin
                m_entries[fixed] = device;
            continue;
        }
        if (isNumberedDevice(device))
            continue;
        number = nextFreeNumber(number);
        if (number <= 0)
            return; // every number is taken
        m_entries[number] = device;
    }
}

qint16 PortMap::nextFreeNumber(qint16 from) const
{
    for (int n = from; n <= std::numeric_limits<qint16>::max(); ++n) {
        if (!m_entries.count(qint16(n)))
            return qint16(n);
    }
    return 0;
}

bool PortMap::isNumberedDevice(const QString &device) const
{
    const QString wanted = canonical(device);
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [&](const auto &entry) { return canonical(entry.second) == wanted; });
}

QString PortMap::target(qint16 number) const
{
    const auto it = m_entries.find(number);
    return it == m_entries.end() ? systemDevice(number) : it->second;
}

QStringList PortMap::listing() const
{
    QStringList lines;
    for (const auto &[number, target] : m_entries) {
        QString line = QStringLiteral("%1  %2").arg(number, 3).arg(target);
        if (isPinned(number))
            line += QStringLiteral("  (pinned)");
        lines << line;
    }
    return lines;
}

} // namespace vantor::serial
