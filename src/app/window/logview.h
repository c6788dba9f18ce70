#pragma once

#include <QAbstractScrollArea>

class QHelpEvent;

namespace vantor::app {

class ActivityLog;

// Shows an activity log as a list box does: one line per row, the newest at the bottom once
// the list is full, a row highlighted by a click. It draws only the rows in sight, so adding
// a line and keeping the newest in view cost the same at 10 lines or 100 000 (a stock item
// view lays every row out again on each insertion).
//
// Assistive technology sees a list with one item per line (LogViewAccessible) and is told of
// each line added. A line too wide for the list shows whole as a tooltip under the mouse.
class LogView : public QAbstractScrollArea
{
    Q_OBJECT

public:
    explicit LogView(ActivityLog &log, QWidget *parent = nullptr);

    ActivityLog &log() const { return m_log; }
    // The highlighted row, or -1. It stays with its line while older lines are dropped.
    int currentRow() const;
    void setCurrentRow(int row);
    // The first row in sight.
    int topRow() const;
    int rowsInSight() const;
    void scrollToBottom();
    // The row at a point of the viewport, or -1; and where a row is drawn (empty when it is
    // out of sight).
    int rowAt(QPoint viewportPos) const;
    QRect rowRect(int row) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool viewportEvent(QEvent *event) override;

private:
    int rowHeight() const;
    void updateRange();
    void announceLines(int first, int last);
    void showWholeLine(const QHelpEvent &help);

    ActivityLog &m_log;
    qint64 m_selected = -1; // line number in the log's whole life
};

} // namespace vantor::app
