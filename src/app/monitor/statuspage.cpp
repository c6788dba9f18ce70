#include "app/monitor/statuspage.h"

#include "app/monitor/pagefiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace vantor::app {

namespace {
static_assert(pagefiles::IndexHtml.size() <= StatusPage::MaxFileBytes);
static_assert(pagefiles::StatusCss.size() <= StatusPage::MaxFileBytes);
static_assert(pagefiles::StatusJs.size() <= StatusPage::MaxFileBytes);

QString text(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

// Milliseconds to a tenth.
double tenths(double ms)
{
    return std::round(ms * 10) / 10;
}

QJsonObject lamp(const QString &name, const QString &state, bool on)
{
    return {{"name", name}, {"state", state}, {"on", on}};
}

QJsonObject firing(const StatusBoard::Entry &e)
{
    using Reply = StatusBoard::Entry::Reply;
    using OnAir = StatusBoard::Entry::OnAir;
    const auto outcome = size_t(e.result) < StatusBoard::OutcomeNames.size() ? e.result : 0;
    QJsonObject f{
        {"number", qint64(e.number)},
        {"time", text(e.time.view())},
        {"slot", e.slot >= 0 && e.slot < StatusBoard::Slots ? StatusBoard::SlotNames[size_t(e.slot)] : ""},
        {"test", e.test},
        {"server", e.server == 1 ? "backup" : "main"},
        {"result", StatusBoard::OutcomeNames[outcome]},
        {"outcome", text(e.outcome.view())},
        {"movie", text(e.movie.view())},
        {"command", text(e.command.view())},
    };
    f["reply"] = e.reply == Reply::Waiting ? "waiting"
        : e.reply == Reply::Answered       ? "answered"
        : e.reply == Reply::None           ? "none"
                                           : "not_sent";
    if (e.reply == Reply::Answered || e.reply == Reply::None) {
        f["code"] = e.code;
        f["replyText"] = text(e.replyText.view());
        f["replyMs"] = tenths(e.replyMs);
    }
    f["onAir"] = e.onAir == OnAir::Confirmed ? "confirmed" : e.onAir == OnAir::NotConfirmed ? "not_confirmed" : "";
    if (e.onAir == OnAir::Confirmed)
        f["onAirMs"] = tenths(e.onAirMs);
    if (e.onAir == OnAir::NotConfirmed)
        f["notOnAir"] = text(e.notOnAirWhy.view());
    return f;
}
} // namespace

const std::vector<StatusPage::File> &StatusPage::files()
{
    static const std::vector<File> files{
        {"/$", "text/html; charset=utf-8", pagefiles::IndexHtml},
        {"/status.css$", "text/css; charset=utf-8", pagefiles::StatusCss},
        {"/status.js$", "text/javascript; charset=utf-8", pagefiles::StatusJs},
    };
    return files;
}

std::string StatusPage::json(const StatusBoard::PageView &view)
{
    QJsonArray reasons;
    if (!view.health.ok)
        for (const QString &line : text(view.health.text).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            reasons.append(line);

    QJsonArray lamps{lamp(QStringLiteral("COM %1").arg(view.portNumber),
                          view.portOpen ? QStringLiteral("open") : QStringLiteral("closed"), view.portOpen)};
    const char *const serverNames[] = {"Caspar server", "Caspar backup server"};
    for (int s = 0; s < StatusBoard::Servers; ++s) {
        const StatusBoard::ServerLamp &server = view.servers[size_t(s)];
        if (server.used)
            lamps.append(lamp(QLatin1String(serverNames[s]),
                              server.connected ? QStringLiteral("connected") : QStringLiteral("not connected"),
                              server.connected));
    }

    QJsonArray triggers;
    for (int s = 0; s < StatusBoard::Slots; ++s)
        triggers.append(QJsonObject{{"slot", StatusBoard::SlotNames[size_t(s)]},
                                    {"armed", view.triggers[size_t(s)].armed},
                                    {"sends", text(view.triggers[size_t(s)].sends)}});

    QJsonArray firings;
    for (const StatusBoard::Entry &entry : view.firings)
        firings.append(firing(entry));

    const QJsonObject status{
        {"site", text(view.site)}, {"health", QJsonObject{{"ok", view.health.ok}, {"reasons", reasons}}},
        {"lamps", lamps},          {"slots", triggers},
        {"firings", firings},
    };
    return QJsonDocument(status).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace vantor::app
