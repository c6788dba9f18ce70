#include "app/station/csvwriter.h"

namespace vantor::app {

namespace {

bool needsQuotes(const QString &field)
{
    if (field.isEmpty())
        return false;
    if (field.front().isSpace() || field.back().isSpace())
        return true;
    for (const QChar c : field) {
        if (c == QLatin1Char(',') || c == QLatin1Char('"') || c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            return true;
    }
    return false;
}

// A spreadsheet runs a field that starts with one of these as a formula.
bool formulaStart(const QString &field)
{
    return !field.isEmpty() && QStringView(u"=+-@\t\r").contains(field.front());
}

} // namespace

QByteArray csvRow(const QStringList &fields)
{
    QByteArray row;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            row += ',';
        const QString field = formulaStart(fields[i]) ? QLatin1Char('\'') + fields[i] : fields[i];
        if (needsQuotes(field)) {
            QString quoted = field;
            quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
            row += '"' + quoted.toUtf8() + '"';
        } else {
            row += field.toUtf8();
        }
    }
    return row + "\r\n";
}

} // namespace vantor::app
