#include "app/window/slotmenu.h"

#include "playout/addresschooser.h"
#include "playout/triggerslots.h"

#include <QActionGroup>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>

namespace vantor::app {

namespace {
using playout::SlotAction;
using playout::SlotCommand;

struct ActionItem
{
    SlotAction action;
    const char *objectName;
};
constexpr ActionItem ActionItems[] = {
    {SlotAction::Play, "mnuACTIONPLAY"},
    {SlotAction::PlayPreloaded, "mnuACTIONPRELOADED"},
    {SlotAction::Stop, "mnuACTIONSTOP"},
    {SlotAction::Clear, "mnuACTIONCLEAR"},
};

void addActionMenu(QMenu *menu, QWidget *owner, playout::TriggerSlots &triggers, int index)
{
    QMenu *actions = menu->addMenu(QStringLiteral("Action"));
    actions->setObjectName(QStringLiteral("mnuACTION"));
    auto *group = new QActionGroup(actions);
    for (const ActionItem &item : ActionItems) {
        QAction *choice = actions->addAction(SlotCommand::actionName(item.action));
        choice->setObjectName(QLatin1String(item.objectName));
        choice->setCheckable(true);
        choice->setChecked(triggers.command(index).action == item.action);
        group->addAction(choice);
        QObject::connect(choice, &QAction::triggered, owner, [&triggers, index, action = item.action] {
            SlotCommand command = triggers.command(index);
            command.action = action;
            triggers.setCommand(index, command);
        });
    }
}

// Watches the slot's widgets for the menu's mouse and key routes. A disabled label (an unarmed
// slot) gets no context-menu handling of its own, but its event filters still see the event.
class SlotMenuFilter : public QObject
{
public:
    SlotMenuFilter(playout::TriggerSlots &triggers, int index, playout::AddressChooser *chooser,
                   std::function<void()> playNow, QObject *parent)
        : QObject(parent)
        , m_triggers(triggers)
        , m_index(index)
        , m_chooser(chooser)
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
        play->setEnabled(m_triggers.canFire(m_index));
        connect(play, &QAction::triggered, widget, m_playNow);
        if (m_chooser) {
            QAction *address = menu->addAction(QStringLiteral("Channel and layer…"));
            address->setObjectName(QStringLiteral("mnuADDRESS"));
            connect(address, &QAction::triggered, widget, [this] { chooseAddress(); });
        }
        addActionMenu(menu, widget, m_triggers, m_index);
        menu->popup(at);
    }

    void chooseAddress()
    {
        const auto chosen = m_chooser->chooseAddress(QStringLiteral("Channel and layer of ")
                                                         + playout::TriggerSlots::conditionName(m_index),
                                                     m_triggers.command(m_index).address);
        if (!chosen)
            return;
        SlotCommand command = m_triggers.command(m_index);
        command.address = *chosen;
        m_triggers.setCommand(m_index, command);
    }

    playout::TriggerSlots &m_triggers;
    const int m_index;
    playout::AddressChooser *m_chooser; // may be null: no "Channel and layer…" item
    std::function<void()> m_playNow;
};

} // namespace

void addSlotMenu(const QList<QWidget *> &widgets, playout::TriggerSlots &triggers, int index,
                 playout::AddressChooser *chooser, std::function<void()> playNow)
{
    auto *filter = new SlotMenuFilter(triggers, index, chooser, std::move(playNow), widgets.value(0));
    for (QWidget *widget : widgets)
        widget->installEventFilter(filter);
    widgets.value(0)->setFocusPolicy(Qt::TabFocus); // the movie label: a stop on the keyboard's way
}

} // namespace vantor::app
