#include "station.h"

#include "runqueuewait.h"

#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"

#include <QAbstractEventDispatcher>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>

namespace {
vantor::app::Options withoutHoldOff()
{
    vantor::app::Options options;
    options.debounce = std::chrono::milliseconds(0);
    return options;
}
} // namespace

Station::Station(std::initializer_list<int> armedSlots, int expectedEvents, const QString &logDir)
    : m_peer([this] { lineArrived.release(); })
    , m_f(withoutHoldOff(), true, m_peer.port())
{
    if (!logDir.isEmpty())
        m_files = std::make_unique<vantor::app::LogFiles>(logDir, m_f.w(), m_f.port);
    handledAt.reserve(size_t(expectedEvents));
    m_windowThreadId = RunQueueWait::currentThreadId();
    // Connected after the window's own handler, so it runs when the handling is over.
    QObject::connect(&m_f.port, &vantor::serial::SerialPortService::onComm, [this] { eventHandled(); });
    // The dispatcher outlives this station: the connection is ended in the destructor.
    m_sleeping = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                                  [this] { aboutToSleep(); });

    m_f.w().findChild<QPushButton *>(QStringLiteral("cmdCOMStatus"))->click();
    m_ready = m_peer.listening() && m_f.port.portOpen();
    for (int slot : armedSlots)
        m_ready = m_ready && arm(slot);
    m_ready = m_ready && connectToServer();
    m_f.w().history().clear();
}

Station::~Station()
{
    QObject::disconnect(m_sleeping);
}

bool Station::arm(int slot)
{
    auto *box = m_f.w().findChild<QCheckBox *>(QStringLiteral("chkTRIGGER(%1)").arg(slot));
    auto *label = m_f.w().findChild<vantor::app::ClickableLabel *>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot));
    if (!box || !label)
        return false;
    box->click();
    const QString movie = QStringLiteral("slot%1.mov").arg(slot);
    m_f.chooser.choices.push_back(QStringLiteral("/media/") + movie);
    QTest::mouseDClick(label, Qt::LeftButton);
    return box->isChecked() && label->text() == movie;
}

bool Station::connectToServer()
{
    m_f.w().findChild<QPushButton *>(QStringLiteral("cmdCASPAR"))->click();
    auto *lamp = m_f.w().findChild<vantor::app::Lamp *>(QStringLiteral("shpCASPAR"));
    return QTest::qWaitFor([&] { return lamp->fillColor() == vantor::app::Lamp::Green; }, 5000);
}

Station::Clock::duration Station::fillHistory(int lines)
{
    const auto start = Clock::now();
    for (int i = 1; i <= lines; ++i) {
        m_f.w().SetStatus(QStringLiteral("Filler line %1 of the History log").arg(i));
        if (i % 1000 == 0)
            QCoreApplication::processEvents(); // as the running program would between lines
    }
    return Clock::now() - start;
}

void Station::resetCounts()
{
    QCoreApplication::processEvents(); // replies still on their way
    m_peer.clear();
    handledAt.clear();
    idleAt.clear();
    lineArrived.acquire(lineArrived.available());
    std::lock_guard lock(m_mutex);
    m_handled = m_idleAfter = 0;
}

bool Station::waitIdle(int events, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [&] { return m_idleAfter >= events; });
}

void Station::eventHandled()
{
    handledAt.push_back(Clock::now());
    std::lock_guard lock(m_mutex);
    ++m_handled;
}

void Station::aboutToSleep()
{
    std::lock_guard lock(m_mutex);
    if (m_idleAfter == m_handled)
        return;
    while (idleAt.size() < size_t(m_handled))
        idleAt.push_back(Clock::now());
    m_idleAfter = m_handled;
    m_idle.notify_all();
}
