#pragma once

#include "errortrap/errortrap.h"

#include <QString>

#include <array>

class QCheckBox;
class QLabel;

namespace vantor::playout {

class FileChooser;

// The six trigger slots of the "Trigger" page. A slot is its check box (armed) and its label
// (the movie); the widgets hold the whole state.
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
    // The slot's movie as its label shows it; empty means none.
    QString movie(int index) const;

    static const QString &conditionName(int index);

private:
    bool checked(int index) const;
    void enableBox(int index, bool enabled);

    Controls m_controls;
    ErrorTrap &m_trap;
    FileChooser &m_chooser;
    QString m_mediaFolder;
};

} // namespace vantor::playout
