#include "app/window/activitylog.h"

#include <QTime>

namespace vantor::app {

namespace {
// What a line costs beyond its characters: the string's header and the allocator's, and the
// line's slot in the deque.
constexpr qsizetype LineOverhead = 64;
} // namespace

ActivityLog::ActivityLog(int capacity, qsizetype byteCapacity, QObject *parent)
    : QAbstractListModel(parent)
    , m_capacity(qMax(1, capacity))
    , m_byteCapacity(qMax(qsizetype(1), byteCapacity))
{
}

QString ActivityLog::line(const QString &message)
{
    const QString stamp = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    QString out;
    out.reserve(stamp.size() + 3 + message.size());
    out.append(stamp).append(QLatin1String(" : ")).append(message);
    return out;
}

QString ActivityLog::cut(const QString &text, qsizetype length)
{
    if (text.size() <= length)
        return text;
    qsizetype keep = length;
    if (text.at(keep - 1).isHighSurrogate()) // never split a character in two
        --keep;
    return text.first(keep) + QStringLiteral(" …[%1 more characters cut]").arg(text.size() - keep);
}

qsizetype ActivityLog::cost(const QString &line)
{
    return qsizetype(sizeof(QChar)) * (line.capacity() + 1) + LineOverhead;
}

void ActivityLog::append(const QString &line)
{
    QString kept = cut(line);
    if (kept.capacity() > kept.size() + 16)
        kept.squeeze();
    const qsizetype added = cost(kept);

    // Make room for the new line under both bounds. Each line leaves once, so a line costs
    // the same on average however full the log is.
    size_t drop = 0;
    qsizetype freed = 0;
    while (drop < m_lines.size()
           && (m_lines.size() - drop >= size_t(m_capacity) || m_bytes - freed + added > m_byteCapacity)) {
        freed += cost(m_lines[drop]);
        ++drop;
    }
    if (drop > 0) {
        beginRemoveRows({}, 0, int(drop) - 1);
        m_lines.erase(m_lines.begin(), m_lines.begin() + qptrdiff(drop));
        m_bytes -= freed;
        m_dropped += qint64(drop);
        endRemoveRows();
    }

    const int row = count();
    beginInsertRows({}, row, row);
    m_lines.push_back(std::move(kept));
    m_bytes += added;
    endInsertRows();
}

void ActivityLog::clear()
{
    if (m_lines.empty())
        return;
    beginResetModel();
    m_dropped += qint64(m_lines.size());
    m_lines.clear();
    m_bytes = 0;
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
