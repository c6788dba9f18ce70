#include "app/window/slotmenu.h"

#include <QMenu>

namespace vantor::app {

void addSlotMenu(QWidget *label, std::function<bool()> hasMovie, std::function<void()> playNow)
{
    label->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(label, &QWidget::customContextMenuRequested, label,
                     [label, hasMovie = std::move(hasMovie), playNow = std::move(playNow)](QPoint pos) {
                         auto *menu = new QMenu(label);
                         menu->setObjectName(QStringLiteral("mnuSLOT"));
                         menu->setAttribute(Qt::WA_DeleteOnClose);
                         QAction *play = menu->addAction(QStringLiteral("Play now"));
                         play->setObjectName(QStringLiteral("mnuPLAYNOW"));
                         play->setEnabled(hasMovie());
                         QObject::connect(play, &QAction::triggered, label, playNow);
                         menu->popup(label->mapToGlobal(pos));
                     });
}

} // namespace vantor::app
