#pragma once

#include <QByteArray>
#include <QStringList>

namespace vantor::app {

// One row of a CSV file (RFC 4180), UTF-8, ended by CR LF. A field that holds a comma, a
// double quote, a line break or blanks at either end is written between double quotes, its
// quotes doubled; others are written as they are. A field that a spreadsheet would run as a
// formula (one that starts with '=', '+', '-', '@', a tab or a CR) gets a "'" in front.
QByteArray csvRow(const QStringList &fields);

} // namespace vantor::app
