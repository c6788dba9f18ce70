#pragma once

#include <QAbstractListModel>
#include <QStringList>

#include <deque>

namespace vantor::app {

// The lines of one log, oldest first. Appending is O(1); beyond `capacity` lines the oldest
// are dropped, so a station that runs for months keeps its memory bounded.
class ActivityLog : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int DefaultCapacity = 100000;

    explicit ActivityLog(int capacity = DefaultCapacity, QObject *parent = nullptr);

    // "hh:mm:ss : message" in local 24-hour time.
    static QString line(const QString &message);

    void append(const QString &line);
    void clear();
    int count() const { return int(m_lines.size()); }
    const QString &at(int row) const { return m_lines[size_t(row)]; }
    QStringList lines() const;
    int capacity() const { return m_capacity; }
    // How many lines were dropped from the front since the log began: row r holds line
    // number dropped() + r of the log's whole life.
    qint64 dropped() const { return m_dropped; }

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    std::deque<QString> m_lines;
    int m_capacity;
    qint64 m_dropped = 0;
};

} // namespace vantor::app
