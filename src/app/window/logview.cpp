#include "app/window/logview.h"

#include "app/window/accessiblefactory.h"
#include "app/window/activitylog.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextDocument>
#include <QToolTip>

namespace vantor::app {

namespace {
constexpr int TextFlags = Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine;
} // namespace

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
    connect(&m_log, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { announceLines(first, last); });
    updateRange();
    installAccessibleFactory();
}

// One notice per added line (a list's "child added"), sent only while assistive technology
// listens; the item for the line is made when the notice is read.
void LogView::announceLines(int first, int last)
{
    if (!QAccessible::isActive())
        return;
    for (int row = first; row <= last; ++row) {
        QAccessibleEvent event(this, QAccessible::ObjectCreated);
        event.setChild(row);
        QAccessible::updateAccessibility(&event);
    }
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
    // A screen reader follows the highlight as it follows the focus in a list box.
    if (hasFocus() && currentRow() >= 0 && QAccessible::isActive()) {
        QAccessibleEvent event(this, QAccessible::Focus);
        event.setChild(currentRow());
        QAccessible::updateAccessibility(&event);
    }
}

int LogView::rowAt(QPoint viewportPos) const
{
    if (!viewport()->rect().contains(viewportPos))
        return -1;
    const int row = topRow() + viewportPos.y() / rowHeight();
    return row < m_log.count() ? row : -1;
}

QRect LogView::rowRect(int row) const
{
    if (row < topRow() || row > topRow() + rowsInSight() || row >= m_log.count())
        return {};
    return QRect(0, (row - topRow()) * rowHeight(), viewport()->width(), rowHeight());
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
        painter.drawText(r.adjusted(3, 0, -3, 0), TextFlags, line.size() > r.width() ? line.first(r.width()) : line);
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
    if (event->button() == Qt::LeftButton)
        setCurrentRow(rowAt(event->position().toPoint()));
    QAbstractScrollArea::mousePressEvent(event);
}

bool LogView::viewportEvent(QEvent *event)
{
    if (event->type() != QEvent::ToolTip)
        return QAbstractScrollArea::viewportEvent(event);
    showWholeLine(*static_cast<QHelpEvent *>(event));
    return true;
}

// The line under the mouse as a tooltip, when the list cuts it off. Shown as plain text
// (escaped), whatever the line holds; the tooltip wraps a long line.
void LogView::showWholeLine(const QHelpEvent &help)
{
    const int row = rowAt(help.pos());
    const QRect r = rowRect(row);
    const QRect textArea = r.adjusted(3, 0, -3, 0);
    const QString line = row < 0 ? QString() : m_log.index(row).data().toString();
    if (line.isEmpty() || fontMetrics().boundingRect(textArea, TextFlags, line).width() <= textArea.width()) {
        QToolTip::hideText();
        return;
    }
    QToolTip::showText(help.globalPos(), Qt::convertFromPlainText(line, Qt::WhiteSpaceNormal), viewport(), r);
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
