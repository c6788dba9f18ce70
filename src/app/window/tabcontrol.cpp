#include "app/window/tabcontrol.h"

#include <QPainter>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>

namespace vantor::app {

TabControl::TabControl(const QStringList &captions, QWidget *parent)
    : QWidget(parent)
    , m_bar(new QTabBar(this))
{
    m_bar->setDrawBase(false);
    m_bar->setExpanding(true);
    for (const QString &caption : captions) {
        m_bar->addTab(caption);
        auto *page = new QWidget(this);
        page->setObjectName(caption);
        page->hide();
        m_pages.append(page);
    }
    connect(m_bar, &QTabBar::currentChanged, this, [this](int index) {
        for (int i = 0; i < m_pages.size(); ++i)
            m_pages[i]->setVisible(i == index);
    });
    if (!m_pages.isEmpty())
        m_pages.first()->show();
    m_bar->raise();
}

int TabControl::currentIndex() const
{
    return m_bar->currentIndex();
}

void TabControl::setCurrentIndex(int index)
{
    m_bar->setCurrentIndex(index);
}

void TabControl::resizeEvent(QResizeEvent *)
{
    m_bar->setGeometry(0, 0, width(), m_bar->sizeHint().height());
    for (QWidget *page : m_pages)
        page->setGeometry(0, 0, width(), height());
    m_bar->raise();
}

void TabControl::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    frame.rect = rect().adjusted(0, m_bar->sizeHint().height() - 1, 0, 0);
    style()->drawPrimitive(QStyle::PE_FrameTabWidget, &frame, &painter, this);
}

} // namespace vantor::app
