#include "app/monitor/boxwatch.h"

#include <QStringList>

namespace vantor::app {

namespace {
// The description is a run-time error's text, which may carry a peer's words.
constexpr qsizetype MaxDescription = 60;

QString plain(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text;
}
} // namespace

BoxWatch::BoxWatch(Prompter &box, QObject *parent)
    : QObject(parent)
    , m_box(box)
{
}

Answer BoxWatch::ask(const std::string &prompt)
{
    m_open.push_back(summary(prompt));
    Q_EMIT changed(waitingFor());
    const Answer answer = m_box.ask(prompt);
    m_open.pop_back();
    Q_EMIT changed(waitingFor());
    return answer;
}

// "Error 40006\r\nToo many commands waiting\r\nLocation: VANTOR.frmMAIN.FIREME\r\nLine 12"
QString BoxWatch::summary(const std::string &prompt)
{
    const QStringList lines = QString::fromStdString(prompt).split(QStringLiteral("\r\n"));
    QString description = lines.value(1);
    if (description.size() > MaxDescription)
        description = description.left(MaxDescription - 1) + QChar(u'…');
    QString location = lines.value(2);
    location.remove(QStringLiteral("Location: "));
    if (location.startsWith(QLatin1String("VANTOR.")))
        location.remove(0, 7);
    QString text = QStringLiteral("waiting for an answer to ") + plain(lines.value(0));
    if (!description.isEmpty())
        text += QStringLiteral(" (%1)").arg(plain(description));
    if (!location.isEmpty())
        text += QStringLiteral(" at ") + plain(location);
    if (lines.size() > 3)
        text += QStringLiteral(", ") + plain(lines.value(3)).toLower();
    return text;
}

} // namespace vantor::app
