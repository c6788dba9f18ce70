#pragma once

#include <QWidget>

class QTabBar;

namespace vantor::app {

// A tab control whose pages share its own coordinates: a control laid out at top 330 on a
// page sits 330 twips below the tab control's top edge, under the row of tabs.
class TabControl : public QWidget
{
    Q_OBJECT

public:
    explicit TabControl(const QStringList &captions, QWidget *parent = nullptr);

    QWidget *page(int index) const { return m_pages.at(index); }
    int count() const { return int(m_pages.size()); }
    int currentIndex() const;
    void setCurrentIndex(int index);
    QTabBar *tabBar() const { return m_bar; }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QTabBar *m_bar;
    QList<QWidget *> m_pages;
};

} // namespace vantor::app
