#include "webdriver.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>

bool WebDriver::available()
{
    return QFileInfo(Chromium).isExecutable() && QFileInfo(ChromeDriver).isExecutable();
}

WebDriver::~WebDriver()
{
    if (!m_session.isEmpty())
        command("DELETE", QString(), {}, 30000); // ends the browser
    if (m_driver.state() != QProcess::NotRunning) {
        m_driver.terminate();
        if (!m_driver.waitForFinished(10000))
            m_driver.kill();
        m_driver.waitForFinished(10000);
    }
}

bool WebDriver::start(QString *error)
{
    // Port 0: the driver takes a free one and says which.
    m_driver.start(ChromeDriver, {"--port=0"});
    static const QRegularExpression started("started successfully on port (\\d+)");
    QByteArray said;
    const bool up = QTest::qWaitFor(
        [&] {
            said += m_driver.readAllStandardOutput();
            return started.match(QString::fromUtf8(said)).hasMatch() || m_driver.state() == QProcess::NotRunning;
        },
        StartMs);
    m_port = quint16(started.match(QString::fromUtf8(said)).captured(1).toUInt());
    if (!up || m_port == 0) {
        *error = "chromedriver did not start: " + QString::fromUtf8(said + m_driver.readAllStandardError());
        return false;
    }
    const QJsonArray arguments{"--headless",
                               "--no-sandbox",
                               "--disable-gpu",
                               "--disable-quic",
                               "--no-first-run",
                               "--disable-background-networking",
                               "--disable-component-update",
                               "--disable-sync",
                               "--disable-dev-shm-usage",
                               "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
                               "--user-data-dir=" + m_profile.path()};
    const QJsonObject chrome{{"binary", Chromium}, {"args", arguments}};
    const QJsonObject capabilities{{"browserName", "chrome"}, {"goog:chromeOptions", chrome}};
    const Result session =
        command("POST", QString(), {{"capabilities", QJsonObject{{"alwaysMatch", capabilities}}}}, StartMs);
    m_session = session.value["sessionId"].toString();
    if (!session.ok || m_session.isEmpty()) {
        *error = "chromium did not start: " + session.error;
        return false;
    }
    return true;
}

WebDriver::Result WebDriver::navigate(const QString &url)
{
    return command("POST", "/url", {{"url", url}}, 30000);
}

WebDriver::Result WebDriver::execute(const QString &script, const QJsonArray &arguments)
{
    return command("POST", "/execute/sync", {{"script", script}, {"args", arguments}}, 30000);
}

WebDriver::Result WebDriver::executeAsync(const QString &script, int timeoutMs, const QJsonArray &arguments)
{
    const Result set = command("POST", "/timeouts", {{"script", timeoutMs}}, 30000);
    if (!set.ok)
        return set;
    return command("POST", "/execute/async", {{"script", script}, {"args", arguments}}, timeoutMs + 30000);
}

WebDriver::Result WebDriver::command(const QByteArray &verb, const QString &path, const QJsonObject &body,
                                     int timeoutMs)
{
    QString url = QStringLiteral("http://127.0.0.1:%1/session").arg(m_port);
    if (!m_session.isEmpty())
        url += '/' + m_session + path;
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setTransferTimeout(timeoutMs);
    const QByteArray data = verb == "POST" ? QJsonDocument(body).toJson(QJsonDocument::Compact) : QByteArray();
    std::unique_ptr<QNetworkReply> reply(m_network.sendCustomRequest(request, verb, data));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(timeoutMs + 5000))
        return {false, {}, "no answer from chromedriver to " + QString::fromLatin1(verb) + ' ' + path};
    const QJsonValue value = QJsonDocument::fromJson(reply->readAll()).object().value("value");
    if (reply->error() != QNetworkReply::NoError || value["error"].isString())
        return {false, value,
                value["error"].toString() + ": " + value["message"].toString() + ' ' + reply->errorString()};
    return {true, value, {}};
}
