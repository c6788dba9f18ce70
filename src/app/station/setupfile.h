#pragma once

#include "app/station/writerthread.h"

#include "playout/slotcommand.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <optional>

namespace vantor::app {

// What the operator set up in the window, as the restore file keeps it.
struct Setup
{
    static constexpr int Slots = 6;

    QString portNumber = QStringLiteral("1");
    QString speed = QStringLiteral("9600");
    QString parity = QStringLiteral("N");
    QString dataBits = QStringLiteral("8");
    QString stopBits = QStringLiteral("1");
    bool portOpen = false;
    std::array<bool, Slots> armed{};
    std::array<QString, Slots> movies; // kept for unarmed slots as well, as the window keeps them
    std::array<playout::SlotCommand, Slots> commands{};
    QString server = QStringLiteral("127.0.0.1");
    bool connected = false;
    QString backup;  // the backup server's address; empty without one
    QString confirm; // on-air confirmation: "true", "false" or a UDP port; empty when the file has none
    bool collapsed = false;

    bool operator==(const Setup &) const = default;
};

// The restore file: an INI file that people can read and edit.
//
//   [port]       number, speed, parity, data_bits, stop_bits, open
//   [triggers]   cts_on, cts_on_movie, cts_on_channel, cts_on_layer, cts_on_action, cts_off, ...
//                (channel 1 to 99; layer empty for none or 0 to 9999; action play, preloaded,
//                stop or clear; files without the last three keys play on channel 1)
//   [caspar]     address, connected, backup_address (only with a backup server), confirm
//                (only where the operator set it: true, false or a UDP port)
//   [window]     collapsed
//
// Saving replaces the file as a whole (a new file, synced, renamed over the old one in the
// folder of the file itself, the target of a link) on a thread of its own, so that a power cut leaves the old set-up or the new one and the window
// never waits for the disk. Anything but a regular file at the path (a link to one counts as
// one) is neither read, nor copied, nor replaced. A save that comes while another is written replaces the one
// still waiting: the newest set-up holds every change.
class SetupFile : public QObject
{
    Q_OBJECT

public:
    struct Loaded
    {
        bool found = false;    // something is at the path
        bool regular = true;   // it is a regular file, or a link to one
        bool readable = false; // it is a file that could be read (in part, perhaps)
        Setup setup;           // what could be read; the defaults for the rest
        QStringList problems;  // what could not be read; empty for a sound file
    };

    // A larger file is no set-up.
    static constexpr qint64 MaxSize = 64 * 1024;

    explicit SetupFile(const QString &path, QObject *parent = nullptr);
    // Writes a save still waiting, waiting for the disk at most WriterThread::DefaultStopLimit.
    ~SetupFile() override;

    QString path() const { return m_path; }

    // Reads the file now, on the calling thread.
    Loaded load() const;
    static Loaded parse(const QString &path);
    static QByteArray format(const Setup &setup);
    // The UDP port a `confirm` value asks for ("true": defaultPort); none for "false", for none
    // at all, or for a value that is neither.
    static std::optional<quint16> confirmPort(const QString &value, quint16 defaultPort);

    // Queues the set-up to be written; saved() or failed() tells how it went.
    void save(const Setup &setup);
    // Keeps the file as it is as path + ".bad", replacing an older one. False on failure, and
    // for anything but a regular file at either path: that is never copied nor replaced.
    bool keepBadCopy() const;
    // The regular file that a save of `path` replaces: the path itself, or the target of the
    // symbolic link it is. Empty when something else than a regular file is there.
    static QString regularTarget(const QString &path);

Q_SIGNALS:
    // The save numbered `generation` (counted from 1 for each save()) is on disk.
    void saved(quint64 generation);
    void failed(const QString &reason);

private:
    struct Shared;
    QString m_path;
    std::shared_ptr<Shared> m_shared;
    WriterThread m_thread; // last member: stops first
};

} // namespace vantor::app
