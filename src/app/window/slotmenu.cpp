#include "app/window/slotmenu.h"

#include "playout/addresschooser.h"
#include "playout/triggerslots.h"

#include <QActionGroup>
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

void addActionMenu(QMenu *menu, QWidget *label, playout::TriggerSlots &triggers, int index)
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
        QObject::connect(choice, &QAction::triggered, label, [&triggers, index, action = item.action] {
            SlotCommand command = triggers.command(index);
            command.action = action;
            triggers.setCommand(index, command);
        });
    }
}
} // namespace

void addSlotMenu(QWidget *label, playout::TriggerSlots &triggers, int index, playout::AddressChooser *chooser,
                 std::function<void()> playNow)
{
    label->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(label, &QWidget::customContextMenuRequested, label,
                     [label, &triggers, index, chooser, playNow = std::move(playNow)](QPoint pos) {
                         auto *menu = new QMenu(label);
                         menu->setObjectName(QStringLiteral("mnuSLOT"));
                         menu->setAttribute(Qt::WA_DeleteOnClose);
                         QAction *play = menu->addAction(QStringLiteral("Play now"));
                         play->setObjectName(QStringLiteral("mnuPLAYNOW"));
                         play->setEnabled(triggers.canFire(index));
                         QObject::connect(play, &QAction::triggered, label, playNow);
                         if (chooser) {
                             QAction *address = menu->addAction(QStringLiteral("Channel and layer…"));
                             address->setObjectName(QStringLiteral("mnuADDRESS"));
                             QObject::connect(address, &QAction::triggered, label, [&triggers, index, chooser] {
                                 const auto chosen =
                                     chooser->chooseAddress(QStringLiteral("Channel and layer of ")
                                                                + playout::TriggerSlots::conditionName(index),
                                                            triggers.command(index).address);
                                 if (!chosen)
                                     return;
                                 SlotCommand command = triggers.command(index);
                                 command.address = *chosen;
                                 triggers.setCommand(index, command);
                             });
                         }
                         addActionMenu(menu, label, triggers, index);
                         menu->popup(label->mapToGlobal(pos));
                     });
}

} // namespace vantor::app
