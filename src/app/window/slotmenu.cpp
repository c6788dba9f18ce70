#include "app/window/slotmenu.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>

namespace vantor::app {

namespace {

// Watches the slot's widgets for the menu's mouse and key routes. A disabled label (an unarmed
// slot) gets no context-menu handling of its own, but its event filters still see the event.
class SlotMenuFilter : public QObject
{
public:
    SlotMenuFilter(std::function<bool()> hasMovie, std::function<void()> playNow, QObject *parent)
        : QObject(parent)
        , m_hasMovie(std::move(hasMovie))
        , m_playNow(std::move(playNow))
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *widget = static_cast<QWidget *>(watched);
        if (event->type() == QEvent::ContextMenu) {
            popup(widget, static_cast<QContextMenuEvent *>(event)->globalPos());
            return true;
        }
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
                popup(widget, widget->mapToGlobal(widget->rect().center()));
                return true;
            }
        }
        return false;
    }

private:
    void popup(QWidget *widget, QPoint at)
    {
        auto *menu = new QMenu(widget);
        menu->setObjectName(QStringLiteral("mnuSLOT"));
        menu->setAttribute(Qt::WA_DeleteOnClose);
        QAction *play = menu->addAction(QStringLiteral("Play now"));
        play->setObjectName(QStringLiteral("mnuPLAYNOW"));
        play->setEnabled(m_hasMovie());
        connect(play, &QAction::triggered, widget, m_playNow);
        menu->popup(at);
    }

    std::function<bool()> m_hasMovie;
    std::function<void()> m_playNow;
};

} // namespace

void addSlotMenu(const QList<QWidget *> &widgets, std::function<bool()> hasMovie, std::function<void()> playNow)
{
    auto *filter = new SlotMenuFilter(std::move(hasMovie), std::move(playNow), widgets.value(0));
    for (QWidget *widget : widgets)
        widget->installEventFilter(filter);
    widgets.value(0)->setFocusPolicy(Qt::TabFocus); // the movie label: a stop on the keyboard's way
}

} // namespace vantor::app
