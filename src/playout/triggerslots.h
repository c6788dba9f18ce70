#pragma once

#include "slotcommand.h"

#include "errortrap/errortrap.h"

#include <QString>

#include <array>
#include <functional>
#include <vector>

class QCheckBox;
class QLabel;

namespace vantor::playout {

class FileChooser;

// The six trigger slots of the "Trigger" page. A slot is its check box (armed), its label (the
// movie) and its command (channel, layer and action; PLAY 1 by default). The label's tooltip
// and accessible description say what the slot will send. A slot that stops or clears needs no
// movie: its label shows the action, and the movie it had is kept for when it plays again.
//
//   0 CTS ON, 1 CTS OFF, 2 CTS CHANGE, 3 DSR ON, 4 DSR OFF, 5 DSR CHANGE
//
// Within a line's group the CHANGE slot and the ON/OFF slots shut each other out; the two
// groups never affect each other.
class TriggerSlots
{
public:
    static constexpr int Count = 6;

    struct Controls
    {
        std::array<QCheckBox *, Count> chkTRIGGER{};
        std::array<QLabel *, Count> lblTRIGERMOVIE{};
    };

    // mediaFolder: the server's media folder as seen from this machine, or empty.
    TriggerSlots(const Controls &controls, ErrorTrap &trap, FileChooser &chooser, QString mediaFolder = {});

    // The check box of slot `index` was toggled (its new state is set already).
    void chkTRIGGER_Click(qint16 index);
    // The label of slot `index` was double-clicked: pick a movie for it.
    void lblTRIGERMOVIE_DblClick(qint16 index);

    // Armed: the check box is ticked (Qt::Checked exactly).
    bool armed(int index) const;
    // The slot's movie (as its label shows it while the slot plays); empty means none.
    QString movie(int index) const;
    const SlotCommand &command(int index) const { return m_commands.at(size_t(index)); }
    // Whether firing the slot can send anything: it has a movie or needs none.
    bool canFire(int index) const;

    // Gives slot `index` a command. A pre-loading slot whose layer holds the pre-load of
    // another movie already is refused with a "***" History line; so is an invalid address.
    bool setCommand(int index, const SlotCommand &command);
    // `changed` is told the slot after each change of a slot's arming, movie or command.
    void watch(std::function<void(int index)> changed) { m_watchers.push_back(std::move(changed)); }
    // Where refusals are written (the History log); none by default.
    void setStatus(std::function<void(const QString &message)> setStatus) { m_setStatus = std::move(setStatus); }

    static const QString &conditionName(int index);

private:
    bool checked(int index) const;
    void enableBox(int index, bool enabled);
    // Picks `movie` for the slot unless its pre-load would clash; false when refused.
    bool assignMovie(int index, const QString &movie);
    // The other slot that pre-loads another movie on the layer `command` would pre-load
    // `movie` on, or -1.
    int preloadClash(int index, const SlotCommand &command, const QString &movie) const;
    void refuse(int index, int clash, const SlotCommand &command, const QString &movie);
    void describe(int index);
    void changed(int index);

    Controls m_controls;
    ErrorTrap &m_trap;
    FileChooser &m_chooser;
    QString m_mediaFolder;
    // All on the window thread.
    std::array<SlotCommand, Count> m_commands;
    std::array<QString, Count> m_setAside; // the movie of a slot whose label shows Stop or Clear
    std::vector<std::function<void(int)>> m_watchers;
    std::function<void(const QString &)> m_setStatus;
};

} // namespace vantor::playout
