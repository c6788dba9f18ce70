// Host names of network ports: the listing's check keeps its time limit while the name server
// does not answer, and the lookup threads stay bounded. The system's resolver is never asked.
#include "serial/rfc2217/hostresolver.h"
#include "serial/system/portprobe.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include <condition_variable>
#include <mutex>

using namespace vantor::serial;
using namespace std::chrono_literals;

namespace {

// A name server that answers only when let go: "gpi-box" is 127.0.0.1, other names unknown.
struct NameServer
{
    std::mutex mutex;
    std::condition_variable released;
    bool answering = false;
    int asked = 0;

    int askedSoFar()
    {
        std::lock_guard lock(mutex);
        return asked;
    }

    void answer()
    {
        std::lock_guard lock(mutex);
        answering = true;
        released.notify_all();
    }

    static SystemHostResolver::Lookup lookup(const std::shared_ptr<NameServer> &server)
    {
        return [server](const std::string &name) {
            std::unique_lock lock(server->mutex);
            ++server->asked;
            server->released.wait(lock, [&] { return server->answering; });
            return name == "gpi-box" ? std::vector<std::string>{"127.0.0.1"} : std::vector<std::string>{};
        };
    }
};

qint64 msecsOf(const std::function<void()> &f)
{
    QElapsedTimer clock;
    clock.start();
    f();
    return clock.elapsed();
}

} // namespace

class TestHostNames : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theListingsCheckKeepsItsLimitForNames()
    {
        QTcpServer device;
        QVERIFY(device.listen(QHostAddress::LocalHost));
        const QString target = QStringLiteral("rfc2217://gpi-box:%1").arg(device.serverPort());
        auto names = std::make_shared<NameServer>();
        SystemPortProbe probe({}, 300ms, std::make_shared<SystemHostResolver>(NameServer::lookup(names)));

        SystemPortProbe::Verdict verdict{};
        const qint64 took = msecsOf([&] { verdict = probe.check(target); });
        QCOMPARE(verdict, SystemPortProbe::Verdict::Unreachable);
        QVERIFY2(took >= 290 && took < 600, qPrintable(QString::number(took)));

        names->answer();
        QCOMPARE(probe.check(target), SystemPortProbe::Verdict::Available);
        QCOMPARE(probe.check(QStringLiteral("rfc2217://no-such-box:%1").arg(device.serverPort())),
                 SystemPortProbe::Verdict::Unreachable);
    }

    // Lookups that hang hold a thread each; past MaxRunning a lookup is not even started, and
    // a thread still hanging when its resolver goes ends later without touching it.
    void hangingLookupsAreBounded()
    {
        auto names = std::make_shared<NameServer>();
        {
            SystemHostResolver resolver(NameServer::lookup(names));
            for (int i = 0; i < SystemHostResolver::MaxRunning; ++i)
                QVERIFY(!resolver.resolve(QStringLiteral("gpi-box"), 20ms));
            const qint64 took = msecsOf([&] { QVERIFY(!resolver.resolve(QStringLiteral("gpi-box"), 5s)); });
            QVERIFY2(took < 100, qPrintable(QString::number(took)));
            QTRY_COMPARE(names->askedSoFar(), SystemHostResolver::MaxRunning);
        }
        names->answer(); // the resolver is gone: its threads end on their own
        SystemHostResolver next(NameServer::lookup(names));
        const auto addresses = next.resolve(QStringLiteral("gpi-box"), 1s);
        QVERIFY(addresses);
        QCOMPARE(*addresses, QList<QHostAddress>{QHostAddress::LocalHost});
        QVERIFY(next.resolve(QStringLiteral("elsewhere"), 1s)->isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHostNames)
#include "tst_hostnames.moc"
