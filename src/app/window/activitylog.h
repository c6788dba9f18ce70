#pragma once

#include <QAbstractListModel>
#include <QStringList>

#include <deque>

namespace vantor::app {

// The lines of one log, oldest first. Bounded twice, so that neither a station that runs for
// months nor a peer that sends without end can make it grow: beyond `capacity` lines or
// `byteCapacity` bytes of text the oldest lines are dropped. Every line goes through append(),
// which cuts one longer than MaxLineLength characters and says how much it cut. Appending
// costs the same at any log size.
class ActivityLog : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int DefaultCapacity = 100000;
    static constexpr qsizetype DefaultByteCapacity = 24 * 1024 * 1024;
    static constexpr qsizetype MaxLineLength = 4096;

    explicit ActivityLog(int capacity = DefaultCapacity, qsizetype byteCapacity = DefaultByteCapacity,
                         QObject *parent = nullptr);

    // "hh:mm:ss : message" in local 24-hour time.
    static QString line(const QString &message);
    // The line as the log keeps it: a line of more than MaxLineLength characters keeps its
    // first MaxLineLength and ends with " …[N more characters cut]".
    static QString cut(const QString &line) { return cut(line, MaxLineLength); }
    // The same cut at `length` characters (the log files' fields).
    static QString cut(const QString &text, qsizetype length);

    void append(const QString &line);
    void clear();
    int count() const { return int(m_lines.size()); }
    const QString &at(int row) const { return m_lines[size_t(row)]; }
    QStringList lines() const;
    int capacity() const { return m_capacity; }
    qsizetype byteCapacity() const { return m_byteCapacity; }
    // What the lines held now cost in memory, as counted against byteCapacity.
    qsizetype bytes() const { return m_bytes; }
    // How many lines were dropped from the front since the log began: row r holds line
    // number dropped() + r of the log's whole life.
    qint64 dropped() const { return m_dropped; }

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    static qsizetype cost(const QString &line);

    // All members live on the thread that owns the log (the window thread).
    std::deque<QString> m_lines;
    int m_capacity;
    qsizetype m_byteCapacity;
    qsizetype m_bytes = 0; // sum of cost() over m_lines
    qint64 m_dropped = 0;
};

} // namespace vantor::app
