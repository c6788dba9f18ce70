// The facility's files the package ships (packaging/monitoring): the Grafana dashboard loads,
// lets the site be chosen, and its panels' expressions and the alert rules name only metrics the
// program serves, each panel's selected by the chosen site; every metric served has a panel.
#include "filetext.h"

#include "app/monitor/statusboard.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

using vantor::app::StatusBoard;

namespace {
// The metric families of /metrics, the on-air confirmation's (--confirm) among them.
QSet<QString> served()
{
    StatusBoard board;
    board.setServerUsed(0, true);
    board.setConfirming(true);
    board.setLastBundle(0, StatusBoard::Clock::now());
    QSet<QString> names;
    static const QRegularExpression type("^# TYPE (\\w+) ", QRegularExpression::MultilineOption);
    for (const auto &m : type.globalMatch(QString::fromStdString(board.metricsText(StatusBoard::Clock::now()))))
        names << m.captured(1);
    return names;
}

// A metric named in an expression, and the selector after it.
const QRegularExpression Metric("\\b(vantor_\\w+?)(_bucket|_sum|_count)?\\b(\\{[^}]*\\})?");
} // namespace

class TestDashboard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void dashboardShowsWhatIsServed()
    {
        QJsonParseError error;
        const QJsonObject dashboard = QJsonDocument::fromJson(fileBytes(DASHBOARD), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QJsonObject site;
        for (const QJsonValue &variable : dashboard["templating"]["list"].toArray())
            if (variable["name"] == "site")
                site = variable.toObject();
        QCOMPARE(site["definition"].toString(), "label_values(vantor_port_open, site)");
        QCOMPARE(site["allValue"].toString(), ".*"); // "All" takes stations without the label too

        const QSet<QString> names = served();
        QSet<QString> shown;
        QSet<int> ids;
        QJsonArray panels = dashboard["panels"].toArray();
        for (qsizetype i = 0; i < panels.size(); ++i) {
            const QJsonObject panel = panels[i].toObject();
            for (const QJsonValue &inner : panel["panels"].toArray())
                panels.append(inner);
            QVERIFY2(!ids.contains(panel["id"].toInt()), qPrintable(panel["title"].toString()));
            ids << panel["id"].toInt();
            for (const QJsonValue &target : panel["targets"].toArray()) {
                const QString expr = target["expr"].toString();
                QVERIFY2(target["datasource"]["uid"] == "${datasource}", qPrintable(expr));
                for (const auto &m : Metric.globalMatch(expr)) {
                    QVERIFY2(names.contains(m.captured(1)), qPrintable(expr));
                    QVERIFY2(m.captured(3).contains(R"(site=~"$site")"), qPrintable(expr));
                    shown << m.captured(1);
                }
            }
        }
        QCOMPARE(shown, names);
    }

    void alertRulesNameWhatIsServed()
    {
        const QString rules = QString::fromUtf8(fileBytes(ALERT_RULES));
        const QSet<QString> names = served();
        int named = 0;
        for (const auto &m : Metric.globalMatch(rules)) {
            QVERIFY2(names.contains(m.captured(1)), qPrintable(m.captured(0)));
            ++named;
        }
        QCOMPARE(named, 4); // port, server, not on air, OSC; a listener down is Prometheus's own `up`
    }
};

QTEST_MAIN(TestDashboard)
#include "tst_dashboard.moc"
