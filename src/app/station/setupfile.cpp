#include "app/station/setupfile.h"

#include "app/station/regularfile.h"
#include "playout/triggerslots.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryFile>

#include <cctype>
#include <mutex>

namespace vantor::app {

namespace {

// "CTS ON" -> "cts_on"
QString slotKey(int slot)
{
    return playout::TriggerSlots::conditionName(slot).toLower().replace(QLatin1Char(' '), QLatin1Char('_'));
}

// A value as QSettings reads it back: plain when it is a simple word, else in double quotes
// with backslash escapes, a control character as \xHH. QSettings takes every hex digit after
// \x as part of the escape, so a hex digit right after one is kept apart by closing the quotes
// and opening them again ("\x01""ab"): the value reads back as it was, at most four times
// its length.
QByteArray iniValue(const QString &value)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9.]+$"));
    if (plain.match(value).hasMatch())
        return value.toUtf8();
    QString out = QStringLiteral("\"");
    bool afterHex = false;
    for (const QChar c : value) {
        if (afterHex && c.unicode() < 0x80 && std::isxdigit(c.unicode()))
            out += QStringLiteral("\"\"");
        afterHex = false;
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\') + c;
        } else if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
            afterHex = true;
        } else {
            out += c;
        }
    }
    out += QLatin1Char('"');
    // QSettings turns a leading '@' into a type marker unless it is doubled.
    if (value.startsWith(QLatin1Char('@')))
        out.insert(1, QLatin1Char('@'));
    return out.toUtf8();
}

QByteArray iniBool(bool value)
{
    return value ? "true" : "false";
}

// Reads keys, noting each that is missing or has a value it cannot take.
class Reader
{
public:
    Reader(QSettings &settings, QStringList &problems)
        : m_s(settings)
        , m_problems(problems)
    {
    }

    void text(const QString &key, QString &out, const std::function<bool(const QString &)> &valid = {})
    {
        if (!m_s.contains(key)) {
            m_missing << key;
            return;
        }
        const QVariant v = m_s.value(key);
        // An unquoted value with commas comes back as a list.
        const QString value =
            v.typeId() == QMetaType::QStringList ? v.toStringList().join(QLatin1Char(',')) : v.toString();
        if (valid && !valid(value)) {
            m_problems << QStringLiteral("%1 has an invalid value").arg(key);
            return;
        }
        out = value;
    }

    // A key that older files lack: missing, it keeps its default.
    void optional(const QString &key, QString &out, const std::function<bool(const QString &)> &valid)
    {
        if (m_s.contains(key))
            text(key, out, valid);
    }

    void flag(const QString &key, bool &out)
    {
        QString value;
        text(key, value, [](const QString &v) {
            return v.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0
                || v.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0;
        });
        if (!value.isEmpty())
            out = value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
    }

    // Notes the keys that were missing.
    void finish()
    {
        if (!m_missing.isEmpty())
            m_problems << QStringLiteral("missing %1").arg(m_missing.join(QLatin1String(", ")));
    }

private:
    QSettings &m_s;
    QStringList &m_problems;
    QStringList m_missing;
};

bool nonEmpty(const QString &v)
{
    return !v.isEmpty();
}

std::function<bool(const QString &)> numberIn(int low, int high, bool emptyToo = false)
{
    return [=](const QString &v) {
        bool ok = false;
        const int n = v.toInt(&ok);
        return (emptyToo && v.isEmpty()) || (ok && n >= low && n <= high);
    };
}

// A slot's channel, layer and action; each key that is missing keeps its default.
void readCommand(Reader &read, const QString &key, playout::SlotCommand &command)
{
    using playout::SlotAddress;
    QString channel, layer, action;
    read.optional(key + QStringLiteral("_channel"), channel, numberIn(1, SlotAddress::MaxChannel));
    read.optional(key + QStringLiteral("_layer"), layer, numberIn(0, SlotAddress::MaxLayer, true));
    read.optional(key + QStringLiteral("_action"), action,
                  [](const QString &v) { return playout::SlotCommand::actionFromKey(v).has_value(); });
    if (!channel.isEmpty())
        command.address.channel = channel.toInt();
    if (!layer.isEmpty())
        command.address.layer = layer.toInt();
    if (!action.isEmpty())
        command.action = *playout::SlotCommand::actionFromKey(action);
}

} // namespace

QString SetupFile::regularTarget(const QString &path)
{
    return regularfile::saveTarget(path);
}

struct SetupFile::Shared
{
    QString path; // set once before the thread starts

    std::mutex mutex;
    std::optional<QByteArray> pending; // guarded by mutex: the newest set-up not yet taken
    quint64 pendingGeneration = 0;     // guarded by mutex
    SetupFile *receiver = nullptr;     // guarded by mutex; null once the file object is gone

    template <class F>
    void tell(F signal)
    {
        std::lock_guard lock(mutex);
        if (receiver)
            QMetaObject::invokeMethod(
                receiver, [r = receiver, signal] { signal(r); }, Qt::QueuedConnection);
    }

    // The thread's job.
    void write()
    {
        QByteArray bytes;
        quint64 generation = 0;
        {
            std::lock_guard lock(mutex);
            if (!pending)
                return;
            bytes = *std::exchange(pending, std::nullopt);
            generation = pendingGeneration;
        }
        // Through a symbolic link the file saved is the link's target, renamed into place in
        // the target's folder, and that folder is the one synced.
        const QString target = regularTarget(path);
        if (target.isEmpty()) {
            tell([](SetupFile *r) { Q_EMIT r->failed(QStringLiteral("not a regular file")); });
            return;
        }
        const QString directory = QFileInfo(target).absolutePath();
        QDir().mkpath(directory);
        QSaveFile file(target);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
            tell([why = file.errorString()](SetupFile *r) { Q_EMIT r->failed(why); });
            return;
        }
        // The rename is kept only once the directory is on disk too.
        regularfile::syncFolder(directory);
        tell([generation](SetupFile *r) { Q_EMIT r->saved(generation); });
    }
};

SetupFile::SetupFile(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_shared(std::make_shared<Shared>())
    , m_thread([shared = m_shared] { shared->write(); })
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->path = path;
    m_shared->receiver = this;
}

SetupFile::~SetupFile()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->receiver = nullptr;
}

QByteArray SetupFile::format(const Setup &s)
{
    QByteArray out = "; VANTOR Listener set-up, written by the program at each change (see README.md).\n"
                     "; Edit it only while the program is not running.\n";
    out += "\n[port]\nnumber=" + iniValue(s.portNumber) + "\nspeed=" + iniValue(s.speed)
        + "\nparity=" + iniValue(s.parity) + "\ndata_bits=" + iniValue(s.dataBits)
        + "\nstop_bits=" + iniValue(s.stopBits) + "\nopen=" + iniBool(s.portOpen) + "\n";
    out += "\n[triggers]\n";
    for (int i = 0; i < Setup::Slots; ++i) {
        const QByteArray key = slotKey(i).toLatin1();
        out += key + "=" + iniBool(s.armed[size_t(i)]) + "\n" + key + "_movie=" + iniValue(s.movies[size_t(i)]) + "\n";
        const playout::SlotCommand &c = s.commands[size_t(i)];
        out += key + "_channel=" + QByteArray::number(c.address.channel) + "\n" + key
            + "_layer=" + (c.address.hasLayer() ? QByteArray::number(c.address.layer) : QByteArray("\"\"")) + "\n" + key
            + "_action=" + playout::SlotCommand::actionKey(c.action).toLatin1() + "\n";
    }
    out += "\n[caspar]\naddress=" + iniValue(s.server) + "\nconnected=" + iniBool(s.connected) + "\n";
    if (!s.backup.isEmpty())
        out += "backup_address=" + iniValue(s.backup) + "\n";
    if (!s.confirm.isEmpty())
        out += "confirm=" + iniValue(s.confirm) + "\n";
    out += "\n[window]\ncollapsed=" + iniBool(s.collapsed) + "\n";
    return out;
}

std::optional<quint16> SetupFile::confirmPort(const QString &value, quint16 defaultPort)
{
    if (value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return defaultPort;
    bool ok = false;
    const uint port = value.toUInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

SetupFile::Loaded SetupFile::load() const
{
    return parse(m_path);
}

SetupFile::Loaded SetupFile::parse(const QString &path)
{
    Loaded loaded;
    if (regularfile::missing(path))
        return loaded;
    loaded.found = true;
    // Read from one descriptor, checked to be a regular file, so that nothing swapped in
    // between a check and the reading can make the start wait for it.
    const std::optional<QByteArray> bytes = regularfile::read(path, MaxSize, loaded.regular);
    if (!loaded.regular) {
        loaded.problems << QStringLiteral("not a regular file");
        return loaded;
    }
    if (!bytes) {
        loaded.problems << QStringLiteral("cannot be read");
        return loaded;
    }
    if (bytes->size() > MaxSize) {
        loaded.problems << QStringLiteral("larger than %1 bytes").arg(MaxSize);
        return loaded;
    }
    // QSettings reads only files: it gets a private copy of what was read, or, where no copy
    // can be made, the path checked just now.
    QTemporaryFile copy;
    const bool copied = copy.open() && copy.write(*bytes) == bytes->size() && copy.flush();
    QSettings settings(copied ? copy.fileName() : path, QSettings::IniFormat);
    if (settings.status() == QSettings::AccessError) {
        loaded.problems << QStringLiteral("cannot be read");
        return loaded;
    }
    loaded.readable = true;
    if (settings.status() == QSettings::FormatError)
        loaded.problems << QStringLiteral("not in INI form");

    Setup &s = loaded.setup;
    Reader read(settings, loaded.problems);
    read.text(QStringLiteral("port/number"), s.portNumber, [](const QString &v) {
        bool ok = false;
        const int n = v.toInt(&ok);
        return ok && n >= 1 && n <= 32767;
    });
    read.text(QStringLiteral("port/speed"), s.speed, nonEmpty);
    read.text(QStringLiteral("port/parity"), s.parity, nonEmpty);
    read.text(QStringLiteral("port/data_bits"), s.dataBits, nonEmpty);
    read.text(QStringLiteral("port/stop_bits"), s.stopBits, nonEmpty);
    read.flag(QStringLiteral("port/open"), s.portOpen);
    for (int i = 0; i < Setup::Slots; ++i) {
        read.flag(QStringLiteral("triggers/") + slotKey(i), s.armed[size_t(i)]);
        read.text(QStringLiteral("triggers/") + slotKey(i) + QStringLiteral("_movie"), s.movies[size_t(i)]);
        readCommand(read, QStringLiteral("triggers/") + slotKey(i), s.commands[size_t(i)]);
    }
    read.text(QStringLiteral("caspar/address"), s.server);
    read.flag(QStringLiteral("caspar/connected"), s.connected);
    read.optional(QStringLiteral("caspar/backup_address"), s.backup, {});
    read.optional(QStringLiteral("caspar/confirm"), s.confirm, [](const QString &v) {
        return confirmPort(v, 1) || v.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0;
    });
    read.flag(QStringLiteral("window/collapsed"), s.collapsed);
    read.finish();
    return loaded;
}

void SetupFile::save(const Setup &setup)
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->pending = format(setup);
        ++m_shared->pendingGeneration;
    }
    m_thread.wake();
}

bool SetupFile::keepBadCopy() const
{
    const QString bad = m_path + QStringLiteral(".bad");
    if (regularTarget(bad).isEmpty())
        return false; // something else of that name is left alone
    bool regular = true;
    const std::optional<QByteArray> bytes = regularfile::read(m_path, MaxSize, regular);
    if (!regular)
        return false;
    // A file that is too large or cannot be read is moved aside instead of copied.
    if (!bytes || bytes->size() > MaxSize) {
        QFile::remove(bad);
        return QFile::rename(m_path, bad);
    }
    QSaveFile copy(bad);
    return copy.open(QIODevice::WriteOnly) && copy.write(*bytes) == bytes->size() && copy.commit();
}

} // namespace vantor::app
