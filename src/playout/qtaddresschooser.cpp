#include "qtaddresschooser.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>

namespace vantor::playout {

QtAddressChooser::QtAddressChooser(QWidget *parent)
    : m_parent(parent)
{
}

std::optional<SlotAddress> QtAddressChooser::chooseAddress(const QString &title, SlotAddress current)
{
    QDialog dialog(m_parent);
    dialog.setObjectName(QStringLiteral("dlgADDRESS"));
    dialog.setWindowTitle(title);
    auto *channel = new QSpinBox(&dialog);
    channel->setObjectName(QStringLiteral("spnCHANNEL"));
    channel->setRange(1, SlotAddress::MaxChannel);
    channel->setValue(current.channel);
    channel->setAccessibleName(QStringLiteral("Channel"));
    // The lowest value stands for "no layer": the server's default layer.
    auto *layer = new QSpinBox(&dialog);
    layer->setObjectName(QStringLiteral("spnLAYER"));
    layer->setRange(SlotAddress::NoLayer, SlotAddress::MaxLayer);
    layer->setSpecialValueText(QStringLiteral("none"));
    layer->setValue(current.layer);
    layer->setAccessibleName(QStringLiteral("Layer"));
    layer->setAccessibleDescription(QStringLiteral("none sends to the channel's default layer"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto *form = new QFormLayout(&dialog);
    form->addRow(QStringLiteral("&Channel"), channel);
    form->addRow(QStringLiteral("&Layer"), layer);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return SlotAddress{channel->value(), layer->value()};
}

} // namespace vantor::playout
