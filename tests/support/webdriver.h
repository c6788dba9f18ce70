#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A WebDriver client (the W3C protocol, JSON over HTTP) for Debian's chromedriver driving a
// headless chromium, on 127.0.0.1 only: the browser runs with a fresh profile, without its
// background services, and resolves no name but its own. Every request waits with the event
// loop turning, so the test's own servers go on answering meanwhile, and within a time limit.
// The session and the driver it started end with this object.
class WebDriver
{
public:
    static constexpr const char *Chromium = "/usr/bin/chromium";
    static constexpr const char *ChromeDriver = "/usr/bin/chromedriver";
    static constexpr int StartMs = 60000;

    struct Result
    {
        bool ok = false;
        QJsonValue value;
        QString error; // why not ok
    };

    // Whether chromium and its driver are installed (Debian packages chromium, chromium-driver).
    static bool available();

    WebDriver() = default;
    ~WebDriver();

    // Starts the driver and a browser; false with the reason in *error.
    bool start(QString *error);
    Result navigate(const QString &url);
    // Runs script in the page (arguments as `arguments`), for its returned value.
    Result execute(const QString &script, const QJsonArray &arguments = {});
    // The same for a script that hands its value to its last argument, a callback, within
    // timeoutMs.
    Result executeAsync(const QString &script, int timeoutMs, const QJsonArray &arguments = {});

private:
    Result command(const QByteArray &verb, const QString &path, const QJsonObject &body, int timeoutMs);

    QProcess m_driver;
    QTemporaryDir m_profile;
    quint16 m_port = 0;
    QString m_session;
    QNetworkAccessManager m_network;
};
