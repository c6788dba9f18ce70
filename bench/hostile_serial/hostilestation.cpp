#include "hostilestation.h"

#include "loopwatch.h"

#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"
#include "app/window/services.h"
#include "serial/rfc2217/rfc2217backend.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace vantor;

namespace {

serial::Rfc2217Backend::Timing quickTiming()
{
    serial::Rfc2217Backend::Timing t;
    t.snapshotMs = 100;
    t.settleMs = 500;
    t.idleMs = 300;
    t.answerMs = 300;
    return t;
}

QString targetOf(quint16 port)
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(port);
}

} // namespace

HostileStation::HostileStation(std::chrono::milliseconds peerLifetime)
    : m_renegotiate(HostilePeer::Mode::Renegotiate, peerLifetime)
    , m_flood(HostilePeer::Mode::ModemFlood, peerLifetime)
    , m_stream(HostilePeer::Mode::DataStream, peerLifetime)
{
    m_contacts.listen(QHostAddress::LocalHost);
    ContactServer::Behaviour silent;
    silent.silent = true;
    m_dead.setBehaviour(silent);
    m_dead.listen(QHostAddress::LocalHost);
    m_playout.listen();

    serial::PortMap map([] { return QStringList{}; });
    const quint16 ports[] = {m_renegotiate.port(), m_flood.port(), m_stream.port(), m_contacts.port(), m_dead.port()};
    for (int n = 1; n <= 5; ++n) {
        map.pin({qint16(n), targetOf(ports[n - 1])});
        m_probe.openable << targetOf(ports[n - 1]);
    }
    map.refresh();
    m_port = std::make_unique<serial::SystemSerialPortService>(
        std::move(map), [](const QString &) { return std::make_unique<serial::Rfc2217Backend>(quickTiming()); });
    m_caspar = std::make_unique<playout::CasparConnection>(m_playout.port(), playout::ConnectionTiming{50, 100, 2000});
    app::Services services{*m_port,    m_port->portMap(), m_probe,  [] { return std::vector<serial::PortEntry>{}; },
                           m_prompter, m_chooser,         *m_caspar};
    m_window = std::make_unique<app::MainWindow>(services, app::Options{});
    m_window->Form_Load();
}

HostileStation::~HostileStation() = default;

bool HostileStation::isOpen() const
{
    return find<QPushButton>(QStringLiteral("cmdCOMStatus"))->text() == QLatin1String("Close COM Port");
}

bool HostileStation::selectAndOpen(int port)
{
    closeIfOpen();
    QLineEdit *edit = find<QComboBox>(QStringLiteral("cboComm"))->lineEdit();
    edit->setText(QString::number(port));
    Q_EMIT edit->textEdited(edit->text());
    find<QPushButton>(QStringLiteral("cmdCOMStatus"))->click();
    return isOpen();
}

void HostileStation::closeIfOpen()
{
    if (isOpen())
        find<QPushButton>(QStringLiteral("cmdCOMStatus"))->click();
}

bool HostileStation::connectToPlayout()
{
    find<QPushButton>(QStringLiteral("cmdCASPAR"))->click();
    auto *lamp = find<app::Lamp>(QStringLiteral("shpCASPAR"));
    return QTest::qWaitFor([&] { return lamp->fillColor() == app::Lamp::Green; }, 5000);
}

bool HostileStation::arm(int slot, const QString &movie)
{
    auto *box = find<QCheckBox>(QStringLiteral("chkTRIGGER(%1)").arg(slot));
    auto *label = find<app::ClickableLabel>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot));
    if (!box->isChecked())
        box->click();
    m_chooser.choices.push_back(QStringLiteral("/media/") + movie);
    QTest::mouseDClick(label, Qt::LeftButton);
    return box->isChecked() && label->text() == movie;
}

QStringList HostileStation::portLog() const
{
    return m_window->portLog().lines();
}

HostileStation::Figures HostileStation::run(HostilePeer::Mode mode, int ms)
{
    Figures figures;
    figures.residentBefore = figures.residentPeak = LoopWatch::residentBytes();
    LoopWatch watch;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout,
                     [&] { figures.residentPeak = std::max(figures.residentPeak, LoopWatch::residentBytes()); });
    sampler.start(20);
    watch.start();
    if (selectAndOpen(1 + int(mode))) {
        // The program's own event loop, as it runs on air (the tests' waits poll in steps).
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
        figures.closedByItself = !isOpen();
    }
    watch.stop();
    sampler.stop();
    figures.worstLagMs = watch.worstLagMs();
    figures.worstOwnLagMs = watch.worstOwnLagMs();
    figures.residentPeak = std::max(figures.residentPeak, LoopWatch::residentBytes());
    closeIfOpen();
    return figures;
}
