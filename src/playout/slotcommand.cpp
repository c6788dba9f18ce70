#include "slotcommand.h"

#include "playcommand.h"

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
    PlayCommand line; // the movie exactly as it goes on the wire, quoted where it must be
    switch (action) {
    case SlotAction::Play:
    case SlotAction::PlayPreloaded: {
        const QString head =
            action == SlotAction::Play ? QStringLiteral("PLAY %1 ") : QStringLiteral("PLAY %1, pre-loaded ");
        if (movie.isEmpty())
            return head.arg(address.text()) + QStringLiteral("(no movie)");
        if (!line.build(PlayCommand::Verb::LoadBackground, address, movie))
            return head.arg(address.text()) + QStringLiteral("(a movie that cannot be sent)");
        return head.arg(address.text()) + line.text().section(QLatin1Char(' '), 2); // after "LOADBG c-l "
    }
    case SlotAction::Stop: line.build(PlayCommand::Verb::Stop, address); return line.text();
    case SlotAction::Clear: line.build(PlayCommand::Verb::Clear, address); return line.text();
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
