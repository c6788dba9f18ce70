#include "app/window/logviewaccessible.h"

#include "app/window/activitylog.h"
#include "app/window/logview.h"

namespace vantor::app {

namespace {

// One line of the log, for as long as the line is in it.
class LogLineAccessible : public QAccessibleInterface
{
public:
    LogLineAccessible(LogViewAccessible *list, qint64 line)
        : m_list(list)
        , m_line(line)
    {
    }

    qint64 line() const { return m_line; }
    int row() const { return m_list->rowOf(m_line); }

    bool isValid() const override { return m_list->isValid() && row() >= 0; }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_list->window(); }
    QAccessibleInterface *parent() const override { return m_list; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    void setText(QAccessible::Text, const QString &) override {}

    QString text(QAccessible::Text t) const override
    {
        const int r = row();
        if (t != QAccessible::Name || r < 0)
            return {};
        const QAbstractItemModel &model = m_list->view()->log();
        return model.data(model.index(r, 0)).toString();
    }

    QRect rect() const override
    {
        const LogView *view = m_list->view();
        const QRect r = view->rowRect(row());
        return r.isEmpty() ? QRect() : QRect(view->viewport()->mapToGlobal(r.topLeft()), r.size());
    }

    QAccessible::State state() const override
    {
        const LogView *view = m_list->view();
        const int r = row();
        QAccessible::State s;
        s.selectable = true;
        s.focusable = true;
        s.selected = r >= 0 && r == view->currentRow();
        s.focused = s.selected && view->hasFocus();
        s.offscreen = view->rowRect(r).isEmpty() || !view->isVisible();
        s.invisible = !view->isVisible();
        return s;
    }

private:
    LogViewAccessible *m_list;
    const qint64 m_line;
};

} // namespace

LogViewAccessible::LogViewAccessible(LogView *view)
    : QAccessibleWidget(view, QAccessible::List)
{
    const QAbstractItemModel *model = &view->log();
    // Lines arrive at the end and leave at the front; anything else renumbers them all.
    m_connections = {
        QObject::connect(model, &QAbstractItemModel::rowsAboutToBeInserted, view,
                         [this, model](const QModelIndex &, int first) {
                             if (first != model->rowCount())
                                 forgetAll();
                         }),
        QObject::connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, view,
                         [this](const QModelIndex &, int first, int last) { dropping(first, last); }),
        QObject::connect(model, &QAbstractItemModel::rowsRemoved, view,
                         [this](const QModelIndex &, int first, int last) { dropped(first, last); }),
        QObject::connect(model, &QAbstractItemModel::modelReset, view, [this] { forgetAll(); }),
        QObject::connect(model, &QAbstractItemModel::layoutChanged, view, [this] { forgetAll(); }),
    };
}

LogViewAccessible::~LogViewAccessible()
{
    for (const QMetaObject::Connection &c : m_connections)
        QObject::disconnect(c);
    for (const auto &[line, id] : m_items)
        QAccessible::deleteAccessibleInterface(id);
}

LogView *LogViewAccessible::view() const
{
    return static_cast<LogView *>(widget());
}

int LogViewAccessible::rowOf(qint64 line) const
{
    const qint64 row = line - m_firstLine;
    return row >= 0 && row < childCount() ? int(row) : -1;
}

int LogViewAccessible::childCount() const
{
    return view()->log().rowCount();
}

QAccessibleInterface *LogViewAccessible::child(int index) const
{
    if (index < 0 || index >= childCount())
        return nullptr;
    const qint64 line = m_firstLine + index;
    const auto found = m_items.lower_bound(line);
    if (found != m_items.end() && found->first == line)
        return QAccessible::accessibleInterface(found->second);
    auto *item = new LogLineAccessible(const_cast<LogViewAccessible *>(this), line);
    m_items.emplace_hint(found, line, QAccessible::registerAccessibleInterface(item));
    return item;
}

int LogViewAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    if (!child || child->parent() != this) // only our items have us as their parent
        return -1;
    return rowOf(static_cast<const LogLineAccessible *>(child)->line());
}

QAccessibleInterface *LogViewAccessible::childAt(int x, int y) const
{
    const LogView *v = view();
    return child(v->rowAt(v->viewport()->mapFromGlobal(QPoint(x, y))));
}

QAccessibleInterface *LogViewAccessible::focusChild() const
{
    return view()->hasFocus() ? child(view()->currentRow()) : nullptr;
}

// The items of lines about to leave are still valid here: a reader that knows them is told.
void LogViewAccessible::dropping(int first, int last)
{
    if (!QAccessible::isActive())
        return;
    for (auto it = m_items.lower_bound(m_firstLine + first); it != m_items.end() && it->first <= m_firstLine + last;
         ++it) {
        QAccessibleEvent event(QAccessible::accessibleInterface(it->second), QAccessible::ObjectDestroyed);
        QAccessible::updateAccessibility(&event);
    }
}

void LogViewAccessible::dropped(int first, int last)
{
    if (first != 0) {
        forgetAll();
        return;
    }
    m_firstLine += last + 1;
    while (!m_items.empty() && m_items.begin()->first < m_firstLine) {
        QAccessible::deleteAccessibleInterface(m_items.begin()->second);
        m_items.erase(m_items.begin());
    }
}

void LogViewAccessible::forgetAll()
{
    for (const auto &[line, id] : m_items)
        QAccessible::deleteAccessibleInterface(id);
    m_items.clear();
}

} // namespace vantor::app
