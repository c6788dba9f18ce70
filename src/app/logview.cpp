#include "logview.h"

#include "activitylog.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

namespace vantor::app {

LogView::LogView(ActivityLog &log, QWidget *parent)
    : QAbstractScrollArea(parent)
    , m_log(log)
{
    setFrameShape(QFrame::StyledPanel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    verticalScrollBar()->setSingleStep(1);
    // Rows come and go at the ends only; the range follows, the picture is redrawn lazily.
    const auto changed = [this] {
        updateRange();
        viewport()->update();
    };
    connect(&m_log, &QAbstractItemModel::rowsInserted, this, changed);
    connect(&m_log, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(&m_log, &QAbstractItemModel::modelReset, this, changed);
    updateRange();
}

int LogView::rowHeight() const
{
    return fontMetrics().height() + 2;
}

int LogView::rowsInSight() const
{
    return qMax(1, viewport()->height() / rowHeight());
}

int LogView::topRow() const
{
    return verticalScrollBar()->value();
}

void LogView::updateRange()
{
    const int steps = qMax(0, m_log.count() - rowsInSight());
    verticalScrollBar()->setPageStep(rowsInSight());
    verticalScrollBar()->setRange(0, steps);
}

void LogView::scrollToBottom()
{
    updateRange();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

int LogView::currentRow() const
{
    const qint64 row = m_selected - m_log.dropped();
    return row >= 0 && row < m_log.count() ? int(row) : -1;
}

void LogView::setCurrentRow(int row)
{
    m_selected = row >= 0 && row < m_log.count() ? m_log.dropped() + row : -1;
    viewport()->update();
}

void LogView::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    const int height = rowHeight();
    const int first = topRow();
    const int last = qMin(m_log.count(), first + rowsInSight() + 1);
    const int selected = currentRow();
    for (int row = first; row < last; ++row) {
        const QRect r(0, (row - first) * height, viewport()->width(), height);
        const bool highlighted = row == selected;
        if (highlighted)
            painter.fillRect(r, palette().brush(QPalette::Highlight));
        painter.setPen(palette().color(highlighted ? QPalette::HighlightedText : QPalette::Text));
        // A row shows what fits in its width, and no character is narrower than a pixel: laying
        // out the rest of a long line would only cost time.
        const QString &line = m_log.at(row);
        painter.drawText(r.adjusted(3, 0, -3, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                         line.size() > r.width() ? line.first(r.width()) : line);
    }
}

void LogView::resizeEvent(QResizeEvent *event)
{
    const bool atBottom = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    QAbstractScrollArea::resizeEvent(event);
    updateRange();
    if (atBottom)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void LogView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        const int row = topRow() + int(event->position().y()) / rowHeight();
        setCurrentRow(row < m_log.count() ? row : -1);
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void LogView::keyPressEvent(QKeyEvent *event)
{
    int row = currentRow();
    switch (event->key()) {
    case Qt::Key_Up: row = qMax(0, row - 1); break;
    case Qt::Key_Down: row = qMin(m_log.count() - 1, row + 1); break;
    case Qt::Key_Home: row = 0; break;
    case Qt::Key_End: row = m_log.count() - 1; break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    setCurrentRow(row);
    if (row < topRow())
        verticalScrollBar()->setValue(row);
    else if (row >= topRow() + rowsInSight())
        verticalScrollBar()->setValue(row - rowsInSight() + 1);
}

} // namespace vantor::app
