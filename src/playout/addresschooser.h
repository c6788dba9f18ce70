#pragma once

#include "slotcommand.h"

#include <QString>

#include <optional>

namespace vantor::playout {

// Asks the operator for a slot's channel and layer. Production shows a small dialog; tests
// script it.
class AddressChooser
{
public:
    virtual ~AddressChooser() = default;

    // Shows a modal dialog titled `title` that starts at `current`; returns the address the
    // operator confirmed (always a valid one), or nothing when the operator cancelled.
    virtual std::optional<SlotAddress> chooseAddress(const QString &title, SlotAddress current) = 0;
};

} // namespace vantor::playout
