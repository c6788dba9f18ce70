#include "triggerslots.h"

#include "filechooser.h"
#include "moviename.h"

#include "errortrap/procedure.h"

#include <QCheckBox>
#include <QLabel>

namespace vantor::playout {

namespace {
constexpr Location ClickLocation{"frmMAIN", "chkTRIGGER_Click"};
constexpr Location DblClickLocation{"frmMAIN", "lblTRIGERMOVIE_DblClick"};
} // namespace

TriggerSlots::TriggerSlots(const Controls &controls, ErrorTrap &trap, FileChooser &chooser, QString mediaFolder)
    : m_controls(controls)
    , m_trap(trap)
    , m_chooser(chooser)
    , m_mediaFolder(std::move(mediaFolder))
{
    for (int i = 0; i < Count; ++i)
        describe(i);
}

const QString &TriggerSlots::conditionName(int index)
{
    static const std::array<QString, Count> names{
        QStringLiteral("CTS ON"), QStringLiteral("CTS OFF"), QStringLiteral("CTS CHANGE"),
        QStringLiteral("DSR ON"), QStringLiteral("DSR OFF"), QStringLiteral("DSR CHANGE"),
    };
    return names.at(index);
}

bool TriggerSlots::checked(int index) const
{
    return m_controls.chkTRIGGER.at(index)->checkState() == Qt::Checked;
}

bool TriggerSlots::armed(int index) const
{
    return checked(index);
}

QString TriggerSlots::movie(int index) const
{
    if (!command(index).needsMovie())
        return m_setAside.at(size_t(index));
    return m_controls.lblTRIGERMOVIE.at(index)->text();
}

bool TriggerSlots::canFire(int index) const
{
    return !command(index).needsMovie() || !movie(index).isEmpty();
}

int TriggerSlots::preloadClash(int index, const SlotCommand &command, const QString &movie) const
{
    if (command.action != SlotAction::PlayPreloaded || movie.isEmpty())
        return -1;
    for (int other = 0; other < Count; ++other) {
        const SlotCommand &theirs = m_commands.at(size_t(other));
        if (other != index && theirs.action == SlotAction::PlayPreloaded
            && theirs.address.channel == command.address.channel
            && theirs.address.effectiveLayer() == command.address.effectiveLayer() && !this->movie(other).isEmpty()
            && this->movie(other) != movie)
            return other;
    }
    return -1;
}

void TriggerSlots::refuse(int index, int clash, const SlotCommand &command, const QString &movie)
{
    if (!m_setStatus)
        return;
    m_setStatus(
        QStringLiteral("***%1 not set to pre-load %2 on %3: %4 pre-loads %5 there")
            .arg(conditionName(index), movie, command.address.text(), conditionName(clash), this->movie(clash)));
}

bool TriggerSlots::setCommand(int index, const SlotCommand &command)
{
    if (!command.address.isValid())
        return false;
    const QString movie = this->movie(index);
    if (const int clash = preloadClash(index, command, movie); clash >= 0) {
        refuse(index, clash, command, movie);
        return false;
    }
    QLabel *label = m_controls.lblTRIGERMOVIE.at(index);
    const bool wasShowingMovie = this->command(index).needsMovie();
    m_commands.at(size_t(index)) = command;
    if (wasShowingMovie && !command.needsMovie())
        m_setAside.at(size_t(index)) = label->text();
    if (!command.needsMovie())
        label->setText(SlotCommand::actionName(command.action));
    else if (!wasShowingMovie)
        label->setText(std::exchange(m_setAside.at(size_t(index)), QString()));
    changed(index);
    return true;
}

bool TriggerSlots::assignMovie(int index, const QString &movie)
{
    if (const int clash = preloadClash(index, command(index), movie); clash >= 0) {
        refuse(index, clash, command(index), movie);
        return false;
    }
    if (command(index).needsMovie())
        m_controls.lblTRIGERMOVIE.at(index)->setText(movie);
    else
        m_setAside.at(size_t(index)) = movie;
    changed(index);
    return true;
}

void TriggerSlots::describe(int index)
{
    QLabel *label = m_controls.lblTRIGERMOVIE.at(index);
    const QString sends = command(index).describe(movie(index));
    label->setToolTip(sends);
    label->setAccessibleDescription(conditionName(index) + QStringLiteral(" sends ") + sends);
}

void TriggerSlots::changed(int index)
{
    describe(index);
    for (const auto &watcher : m_watchers)
        watcher(index);
}

void TriggerSlots::enableBox(int index, bool enabled)
{
    m_controls.chkTRIGGER.at(index)->setEnabled(enabled);
}

void TriggerSlots::chkTRIGGER_Click(qint16 index)
{
    Procedure p(m_trap, ClickLocation, 13);
    auto label = [&]() { return m_controls.lblTRIGERMOVIE.at(index); };

    if (p.test(14, [&] { return checked(index); })) {
        p.step(15, [&] { label()->setEnabled(true); });
    }
    p.mark(16);
    if (p.test(17, [&] { return m_controls.chkTRIGGER.at(index)->checkState() == Qt::Unchecked; })) {
        p.step(18, [&] { label()->setEnabled(false); });
    }
    p.mark(19);

    // The CTS group.
    if (p.test(20, [&] { return checked(0) || checked(1); })) {
        p.step(21, [&] { enableBox(2, false); });
    } else {
        p.mark(22);
        p.step(23, [&] { enableBox(2, true); });
    }
    p.mark(24);
    if (p.test(25, [&] { return checked(2); })) {
        p.step(26, [&] { enableBox(0, false); });
        p.step(27, [&] { enableBox(1, false); });
    } else {
        p.mark(28);
        p.step(29, [&] { enableBox(0, true); });
        p.step(30, [&] { enableBox(1, true); });
    }
    p.mark(31);

    // The DSR group.
    if (p.test(32, [&] { return checked(3) || checked(4); })) {
        p.step(33, [&] { enableBox(5, false); });
    } else {
        p.mark(34);
        p.step(35, [&] { enableBox(5, true); });
    }
    p.mark(36);
    if (p.test(37, [&] { return checked(5); })) {
        p.step(38, [&] { enableBox(3, false); });
        p.step(39, [&] { enableBox(4, false); });
    } else {
        p.mark(40);
        p.step(41, [&] { enableBox(3, true); });
        p.step(42, [&] { enableBox(4, true); });
    }
    p.mark(43);
    p.exit(44);
    if (index >= 0 && index < Count)
        changed(index); // armed or not: what the slot will do has changed
}

void TriggerSlots::lblTRIGERMOVIE_DblClick(qint16 index)
{
    Procedure p(m_trap, DblClickLocation, 159);

    // A disabled label takes no double-click; the window filters them already.
    bool enabled = false;
    p.step(159, [&] { enabled = m_controls.lblTRIGERMOVIE.at(index)->isEnabled(); });
    if (!enabled)
        return;

    // The classic filter "All files (*.)|*.*" matches only names with a dot on Linux;
    // "All files (*)" lists every file, which is what it means.
    QStringList filters;
    p.step(160, [&] { filters = {QStringLiteral("Movie files (*.mov)"), QStringLiteral("All files (*)")}; });
    QString title;
    p.step(161, [&] { title = QStringLiteral("Select Movie file"); });
    std::optional<QString> chosen;
    p.step(162, [&] { chosen = m_chooser.chooseMovie(title, filters); });

    // A cancelled dialog leaves the slot's movie as it was.
    if (p.test(163, [&] { return chosen.has_value(); })) {
        p.step(164, [&] { assignMovie(index, movieName(chosen.value(), m_mediaFolder)); });
    }
    p.mark(165);
    p.exit(166);
}

} // namespace vantor::playout
