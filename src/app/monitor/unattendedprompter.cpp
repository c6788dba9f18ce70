#include "app/monitor/unattendedprompter.h"

#include <cstdio>

namespace vantor::app {

Answer UnattendedPrompter::ask(const std::string &prompt)
{
    if (!m_starting)
        return m_box.ask(prompt);
    // "Error 380 / Invalid property value / Location: VANTOR.frmMAIN.ListComPorts / Line 73"
    QString text = QString::fromStdString(prompt);
    text.replace(QLatin1String("\r\n"), QLatin1String(" / "));
    const QString line = QStringLiteral("***") + text + QStringLiteral(" (unattended start: ignored)");
    if (m_log)
        m_log(line);
    else
        std::fprintf(stderr, "vantor-listener: %s\n", qPrintable(line));
    return Answer::Ignore;
}

} // namespace vantor::app
