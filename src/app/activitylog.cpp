#include "activitylog.h"

#include <QTime>

namespace vantor::app {

ActivityLog::ActivityLog(int capacity, QObject *parent)
    : QAbstractListModel(parent)
    , m_capacity(qMax(1, capacity))
{
}

QString ActivityLog::line(const QString &message)
{
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QStringLiteral(" : ") + message;
}

void ActivityLog::append(const QString &line)
{
    if (count() >= m_capacity) {
        beginRemoveRows({}, 0, 0);
        m_lines.pop_front();
        ++m_dropped;
        endRemoveRows();
    }
    const int row = count();
    beginInsertRows({}, row, row);
    m_lines.push_back(line);
    endInsertRows();
}

void ActivityLog::clear()
{
    if (m_lines.empty())
        return;
    beginResetModel();
    m_dropped += qint64(m_lines.size());
    m_lines.clear();
    endResetModel();
}

QStringList ActivityLog::lines() const
{
    return QStringList(m_lines.begin(), m_lines.end());
}

int ActivityLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant ActivityLog::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= count())
        return {};
    return at(index.row());
}

} // namespace vantor::app
