#pragma once

#include <QString>

#include <optional>

namespace vantor::app {

// --status-label site=NAME: the value of the `site` label every metric of the status endpoint
// carries, so that one Prometheus and one dashboard tell the stations of several sites apart.
struct SiteLabel
{
    static constexpr int MaxCharacters = 64;

    // "site=NAME": NAME is 1 to MaxCharacters printable characters (Unicode; a label value
    // may hold any, and the text format escapes quotes and backslashes), without spaces at
    // either end. Nothing for anything else, with the reason in *error.
    static std::optional<QString> parse(const QString &text, QString *error);
};

} // namespace vantor::app
