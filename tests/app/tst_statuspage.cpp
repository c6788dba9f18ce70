// The status page in a real browser (Debian's headless chromium through chromedriver), served
// by the status endpoint of a window on the fake port with a playout server on 127.0.0.1: it
// loads, shows a firing soon after its contact, shows a hostile movie name and reply as text,
// and passes axe-core's accessibility rules. Skipped with one line where the browser is missing.
#include "webdriver.h"
#include "windowfixture.h"

#include "app/monitor/statusboard.h"
#include "app/monitor/statusfeed.h"
#include "app/monitor/statusserver.h"

#include <QDateTime>
#include <QFile>
#include <QTest>

using namespace vantor::app;

namespace {
const QString Movie = QStringLiteral(R"(<img id="injected" src="x" onerror="document.title='pwned'">.mov)");
const QByteArray Reply = R"(202 PLAY OK <b id="injected-reply">bold</b>)";

// A script that waits in the page, without a fixed time, until expression gives something, and
// returns that. Not through eval: the page's policy forbids it.
QString until(const QString &expression)
{
    return "const done = arguments[0];"
           "const look = () => { const seen = ("
        + expression
        + "); if (seen) done(seen); else setTimeout(look, 10); };"
          "look();";
}
} // namespace

class TestStatusPage : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowFixture> f;
    StatusBoard board{"north"};
    std::unique_ptr<StatusFeed> feed;
    std::unique_ptr<StatusServer> server;
    std::unique_ptr<WebDriver> browser;

    WebDriver::Result waitFor(const QString &expression) { return browser->executeAsync(until(expression), 30000); }

private Q_SLOTS:
    void initTestCase()
    {
        if (!WebDriver::available())
            QSKIP("no browser: chromium or chromedriver is missing (Debian packages chromium, chromium-driver)");
        f = std::make_unique<WindowFixture>();
        f->server.setReplier([](const QByteArray &line) {
            return line.startsWith("PLAY") ? QByteArrayList{Reply} : AmcpResponder::standardReply(line);
        });
        feed = std::make_unique<StatusFeed>(board, f->w(), f->port);
        feed->addServer(0, *f->caspar);
        server = std::make_unique<StatusServer>(board);
        QCOMPARE(server->start("127.0.0.1", 0), QString());
        QVERIFY(f->goOnAir());
        f->arm(0, "/media/" + Movie);

        browser = std::make_unique<WebDriver>();
        QString error;
        QVERIFY2(browser->start(&error), qPrintable(error));
        const WebDriver::Result loaded = browser->navigate(QStringLiteral("http://127.0.0.1:%1/").arg(server->port()));
        QVERIFY2(loaded.ok, qPrintable(loaded.error));
        const WebDriver::Result first =
            waitFor("document.getElementById('updated').textContent.startsWith('Updated') && "
                    "document.getElementById('lamps').textContent");
        QVERIFY2(first.ok, qPrintable(first.error));
        QVERIFY2(first.value.toString().contains("COM 1: open"), qPrintable(first.value.toString()));
        QVERIFY2(first.value.toString().contains("Caspar server: connected"), qPrintable(first.value.toString()));
    }

    void showsAFiringAsText()
    {
        const qint64 contact = QDateTime::currentMSecsSinceEpoch();
        f->port.changeCts(true);
        const WebDriver::Result shown = waitFor("document.querySelector('#firings tr') && Date.now()");
        QVERIFY2(shown.ok, qPrintable(shown.error));
        qInfo("the firing shown %lld ms after its contact", qint64(shown.value.toDouble()) - contact);

        const WebDriver::Result row =
            waitFor("(r => r.textContent.includes('202') && [...r.cells].map(c => c.textContent))"
                    "(document.querySelector('#firings tr'))");
        QVERIFY2(row.ok, qPrintable(row.error));
        const QJsonArray cells = row.value.toArray();
        QCOMPARE(cells.size(), 8);
        QCOMPARE(cells[2].toString(), "CTS ON");
        QCOMPARE(cells[3].toString(), "main");
        QVERIFY2(cells[4].toString().endsWith(Movie), qPrintable(cells[4].toString()));
        QVERIFY2(cells[6].toString().startsWith(QString::fromUtf8(Reply)), qPrintable(cells[6].toString()));
        const WebDriver::Result page = browser->execute(
            "return [document.title, !!document.getElementById('injected'), "
            "!!document.getElementById('injected-reply'), document.getElementById('announce').textContent, "
            "document.querySelector('#slots td.text').textContent];");
        QVERIFY2(page.ok, qPrintable(page.error));
        QCOMPARE(page.value[0].toString(), "VANTOR Listener status at north");
        QCOMPARE(page.value[1].toBool(), false);
        QCOMPARE(page.value[2].toBool(), false);
        QVERIFY2(page.value[3].toString().startsWith("CTS ON fired, main: "), qPrintable(page.value[3].toString()));
        QVERIFY2(page.value[4].toString().contains("document.title"), qPrintable(page.value[4].toString()));
    }

    void passesTheAccessibilityRules()
    {
        QFile axe(AXE_JS);
        if (!axe.open(QIODevice::ReadOnly))
            QSKIP("axe-core is missing (" AXE_JS "): scripts/test.sh installs it");
        const WebDriver::Result loaded = browser->execute(QString::fromUtf8(axe.readAll()) + "\nreturn typeof axe;");
        QVERIFY2(loaded.ok && loaded.value.toString() == "object", qPrintable(loaded.error));
        const WebDriver::Result checked =
            browser->executeAsync("const done = arguments[0];"
                                  "axe.run(document, {resultTypes: ['violations']}).then("
                                  "  r => done(r.violations.map(v => v.id + ' (' + v.impact + '): ' + v.help + ' at ' +"
                                  "                           v.nodes.map(n => n.target.join(' ')).join(', '))),"
                                  "  e => done(['axe failed: ' + e]));",
                                  120000);
        QVERIFY2(checked.ok, qPrintable(checked.error));
        QStringList violations;
        for (const QJsonValue &v : checked.value.toArray())
            violations << v.toString();
        QVERIFY2(violations.isEmpty(), qPrintable(violations.join('\n')));
    }

    void cleanupTestCase()
    {
        browser.reset();
        server.reset();
        feed.reset();
        f.reset();
    }
};

QTEST_MAIN(TestStatusPage)
#include "tst_statuspage.moc"
