#include "slotcommand.h"

#include <array>

namespace vantor::playout {

namespace {
struct ActionText
{
    SlotAction action;
    const char *name;
    const char *key;
};

constexpr std::array<ActionText, 4> Actions{{
    {SlotAction::Play, "Play", "play"},
    {SlotAction::PlayPreloaded, "Play pre-loaded", "preloaded"},
    {SlotAction::Stop, "Stop", "stop"},
    {SlotAction::Clear, "Clear", "clear"},
}};

const ActionText &textOf(SlotAction action)
{
    return Actions.at(size_t(action));
}
} // namespace

bool SlotAddress::isValid() const
{
    return channel >= 1 && channel <= MaxChannel && (layer == NoLayer || (layer >= 0 && layer <= MaxLayer));
}

QString SlotAddress::text() const
{
    return hasLayer() ? QStringLiteral("%1-%2").arg(channel).arg(layer) : QString::number(channel);
}

QString SlotCommand::describe(const QString &movie) const
{
    const QString movieText = movie.isEmpty() ? QStringLiteral("(no movie)") : movie;
    switch (action) {
    case SlotAction::Play: return QStringLiteral("PLAY %1 %2").arg(address.text(), movieText);
    case SlotAction::PlayPreloaded: return QStringLiteral("PLAY %1, pre-loaded %2").arg(address.text(), movieText);
    case SlotAction::Stop: return QStringLiteral("STOP ") + address.text();
    case SlotAction::Clear: return QStringLiteral("CLEAR ") + address.text();
    }
    return {};
}

QString SlotCommand::actionName(SlotAction action)
{
    return QLatin1String(textOf(action).name);
}

QString SlotCommand::actionKey(SlotAction action)
{
    return QLatin1String(textOf(action).key);
}

std::optional<SlotAction> SlotCommand::actionFromKey(QStringView key)
{
    for (const ActionText &a : Actions) {
        if (key == QLatin1String(a.key))
            return a.action;
    }
    return std::nullopt;
}

} // namespace vantor::playout
