#include "idlestation.h"

#include "threadswitches.h"

#include "app/window/lamp.h"

#include <QPushButton>
#include <QTest>

IdleStation::IdleStation(vantor::serial::SerialPortService &port, vantor::serial::PortMap &map)
{
    m_server.listen();
    m_serverThread.setObjectName(QStringLiteral("amcp-peer"));
    m_server.moveToThread(&m_serverThread);
    m_serverThread.start();
    QMetaObject::invokeMethod(
        &m_server, [this] { m_serverThreadId = currentThreadId(); }, Qt::BlockingQueuedConnection);

    m_probe.openable = {map.target(1)};
    m_caspar = std::make_unique<vantor::playout::CasparConnection>(m_server.port());
    vantor::app::Services services{
        port, map, m_probe, [] { return std::vector<vantor::serial::PortEntry>{}; }, m_prompter, m_chooser, *m_caspar};
    vantor::app::Options options;
    port.setDebounce(options.debounce);
    m_window = std::make_unique<vantor::app::MainWindow>(services, options);
    m_window->Form_Load();

    m_window->findChild<QPushButton *>(QStringLiteral("cmdCOMStatus"))->click();
    m_window->findChild<QPushButton *>(QStringLiteral("cmdCASPAR"))->click();
    auto *lamp = m_window->findChild<vantor::app::Lamp *>(QStringLiteral("shpCASPAR"));
    m_ready = port.portOpen() && QTest::qWaitFor([&] { return lamp->fillColor() == vantor::app::Lamp::Green; }, 5000);
}

IdleStation::~IdleStation()
{
    m_window.reset();
    m_caspar.reset();
    QThread *home = QThread::currentThread();
    QMetaObject::invokeMethod(
        &m_server, [this, home] { m_server.moveToThread(home); }, Qt::BlockingQueuedConnection);
    m_serverThread.quit();
    m_serverThread.wait();
}
