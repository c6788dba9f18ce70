#pragma once

#include <QAccessibleWidget>

#include <array>
#include <map>

namespace vantor::app {

class LogView;

// What a screen reader or a test script sees of a LogView: a list with one item per line,
// each named by its line's text. Lines are read from the log's model (rowCount, data) only
// when asked, and an item is made only when it is asked for.
//
// Every line gets a number of its own when it arrives; an item holds its line's number, not
// its row, so it stays with its line while older lines are dropped from the front. Keeping
// up with the log costs the same at any size: an added line costs nothing here, a dropped
// one the removal of its item, if it had one. Window thread only.
class LogViewAccessible : public QAccessibleWidget
{
public:
    explicit LogViewAccessible(LogView *view);
    ~LogViewAccessible() override;

    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;
    QAccessibleInterface *focusChild() const override;

    LogView *view() const;
    // The row of a line, or -1 once the line has left the log.
    int rowOf(qint64 line) const;

private:
    void dropping(int first, int last);
    void dropped(int first, int last);
    void forgetAll();

    // The number of the line in row 0.
    qint64 m_firstLine = 0;
    // The items handed out, by line number. Qt's accessibility cache holds them; they are
    // deleted here when their line leaves the log or the log changes in another way.
    mutable std::map<qint64, QAccessible::Id> m_items;
    std::array<QMetaObject::Connection, 5> m_connections;
};

} // namespace vantor::app
