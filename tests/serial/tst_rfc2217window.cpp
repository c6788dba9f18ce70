// The whole program on a network serial port: the contact simulator's server and the
// playout-server monitor in-process, the real port service and the window between them.
#include "amcpmonitor.h"
#include "contactserver.h"
#include "windowfixture.h"

#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"
#include "serial/rfc2217/rfc2217backend.h"
#include "serial/system/portprobe.h"
#include "serial/system/systemserialportservice.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QtTest>

using namespace vantor;
using Input = ContactServer::Input;

namespace {

struct Station
{
    ContactServer gpi;
    AmcpMonitor playout;
    QStringList played; // what the playout server received
    std::unique_ptr<serial::SystemSerialPortService> port;
    serial::SystemPortProbe probe;
    ScriptedPrompter prompter;
    ScriptedFileChooser chooser;
    std::unique_ptr<playout::CasparConnection> caspar;
    std::unique_ptr<app::MainWindow> window;

    Station()
    {
        QVERIFY(gpi.listen(QHostAddress::LocalHost));
        QVERIFY(playout.listen(QHostAddress::LocalHost, 0));
        playout.setClips({QStringLiteral("intro.mov")});
        QObject::connect(&playout, &AmcpMonitor::received,
                         [this](const QString &, const QString &line, const QByteArray &) {
                             if (line != QLatin1String("PING")) // the link's own probe
                                 played << line;
                         });
        serial::PortMap map([] { return QStringList{}; });
        map.pin({1, QStringLiteral("rfc2217://127.0.0.1:%1").arg(gpi.port())});
        map.refresh();
        port = std::make_unique<serial::SystemSerialPortService>(std::move(map));
        caspar = std::make_unique<playout::CasparConnection>(playout.port(), playout::ConnectionTiming{50, 100, 2000});
        app::Services services{*port,    port->portMap(), probe,  [] { return std::vector<serial::PortEntry>{}; },
                               prompter, chooser,         *caspar};
        window = std::make_unique<app::MainWindow>(services, app::Options{});
        window->Form_Load();
    }

    template <class W>
    W *find(const QString &name)
    {
        return window->findChild<W *>(name);
    }

    void connectAndOpen()
    {
        find<QPushButton>("cmdCASPAR")->click();
        QTRY_COMPARE(find<app::Lamp>("shpCASPAR")->fillColor(), 65280u);
        QTRY_VERIFY(!gpi.hasClient()); // discovery's look at the server is over
        find<QPushButton>("cmdCOMStatus")->click();
        QCOMPARE(find<QPushButton>("cmdCOMStatus")->text(), QStringLiteral("Close COM Port"));
        QTRY_VERIFY(gpi.state().lineMask >= 0);
        QTest::qWait(serial::Rfc2217Backend::Timing{}.snapshotMs + 50); // the server's first answer is in
    }

    void arm(int slot, const QString &movie)
    {
        find<QCheckBox>(QStringLiteral("chkTRIGGER(%1)").arg(slot))->click();
        chooser.choices.push_back("/media/" + movie);
        QTest::mouseDClick(find<app::ClickableLabel>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot)), Qt::LeftButton);
    }

    QStringList history() const
    {
        QStringList out;
        for (const QString &line : window->history().lines())
            out << line.mid(11);
        return out;
    }
};

} // namespace

class TestRfc2217Window : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void contactsInTheSimulatorPlayMoviesOnTheServer()
    {
        Station s;
        QCOMPARE(s.find<QComboBox>("cboComm")->currentText(), QStringLiteral("1"));
        s.connectAndOpen();
        s.arm(0, "intro.mov");
        s.arm(1, "missing.mov");
        s.window->history().clear();

        s.gpi.setContact(Input::Cts, true);
        QTRY_COMPARE(s.played, QStringList{"PLAY 1 intro.mov"});
        s.gpi.setContact(Input::Cts, false);
        QTRY_COMPARE(s.played.size(), 2);
        QCOMPARE(s.played.last(), QStringLiteral("PLAY 1 missing.mov"));
        QTRY_COMPARE(s.history().size(), 5);
        QCOMPARE(s.history(),
                 (QStringList{"Fire Trigger. Play movie intro.mov", "CTS change to : ON",
                              "Fire Trigger. Play movie missing.mov", "CTS change to : OFF",
                              "***Caspar replied: 404 PLAY FAILED"}));
    }

    void aPulseShorterThanTheServersLookFiresOnThenOff()
    {
        Station s;
        ContactServer::Behaviour slow;
        slow.notifyDelayMs = 50;
        s.gpi.setBehaviour(slow);
        s.connectAndOpen();
        s.arm(0, "intro.mov");
        s.arm(1, "outro.mov");
        s.gpi.pulse(Input::Cts, 5);
        QTRY_COMPARE(s.played, (QStringList{"PLAY 1 intro.mov", "PLAY 1 outro.mov"}));
    }

    void whatTheServerDoesNotSupportIsInThePortLog()
    {
        Station s;
        ContactServer::Behaviour mute;
        mute.acknowledgeMasks = false;
        s.gpi.setBehaviour(mute);
        s.connectAndOpen();
        const auto said = [&s] {
            const QStringList lines = s.window->portLog().lines();
            return std::any_of(lines.begin(), lines.end(), [](const QString &line) {
                return line.contains(QLatin1String("did not acknowledge: modem-state mask, line-state mask"));
            });
        };
        QTRY_VERIFY_WITH_TIMEOUT(said(), 5000);
        QCOMPARE(s.find<QPushButton>("cmdCOMStatus")->text(), QStringLiteral("Close COM Port"));
    }

    void aServerThatGoesAwayClosesThePort()
    {
        Station s;
        s.connectAndOpen();
        s.gpi.dropClient();
        QTRY_COMPARE(s.find<QPushButton>("cmdCOMStatus")->text(), QStringLiteral("Open COM Port"));
        QVERIFY(s.window->portLog().lines().last().contains(QLatin1String("***Err")));
    }
};

QTEST_MAIN(TestRfc2217Window)
#include "tst_rfc2217window.moc"
