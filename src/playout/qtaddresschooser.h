#pragma once

#include "addresschooser.h"

class QWidget;

namespace vantor::playout {

// The channel and layer dialog of the window: a channel from 1 to 99 and a layer from 0 to
// 9999, or "none" (the server's default layer).
class QtAddressChooser : public AddressChooser
{
public:
    explicit QtAddressChooser(QWidget *parent = nullptr);
    // The window the dialog belongs to (it opens centred over it).
    void setParent(QWidget *parent) { m_parent = parent; }

    std::optional<SlotAddress> chooseAddress(const QString &title, SlotAddress current) override;

private:
    QWidget *m_parent;
};

} // namespace vantor::playout
