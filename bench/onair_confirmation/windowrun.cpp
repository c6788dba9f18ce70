#include "windowrun.h"

#include "amcpmonitor.h"
#include "flooder.h"
#include "oscplayout.h"
#include "windowfixture.h"

#include "app/confirm/onairconfirmation.h"
#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"
#include "playout/firing.h"
#include "playout/triggerslots.h"
#include "serial/service/commevent.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <QThread>

#include <mutex>
#include <random>
#include <thread>

using namespace std::chrono;
using Clock = steady_clock;

namespace {

constexpr int Conditions = 3;
// Before a block of another condition: every firing of the last one has its verdict.
constexpr auto Settle = milliseconds(800);

// The fake server on a thread of its own: its answers and its OSC, and when the first bundle
// that showed each clip it played left.
class ServerThread
{
public:
    explicit ServerThread(quint16 oscPort)
    {
        m_amcp = new AmcpMonitor;
        m_osc = new OscPlayout;
        m_amcp->listen(QHostAddress::LocalHost, 0);
        m_osc->setVersion(OscPlayout::Version::V22);
        m_osc->bindSource(QHostAddress::LocalHost);
        m_osc->addTarget(QHostAddress::LocalHost, oscPort);
        QObject::connect(m_amcp, &AmcpMonitor::played, m_osc,
                         [this](const QHostAddress &, int channel, int layer, const QString &clip) {
                             m_osc->play(channel, layer, clip, m_amcp->fileOf(clip));
                             std::lock_guard lock(m_mutex);
                             ++m_pending;
                         });
        QObject::connect(
            m_osc, &OscPlayout::ticked, m_osc,
            [this] {
                std::lock_guard lock(m_mutex);
                for (; m_pending > 0; --m_pending)
                    m_firstShown.push_back(Clock::now());
            },
            Qt::DirectConnection);
        m_amcp->moveToThread(&m_thread);
        m_osc->moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(m_osc, [osc = m_osc] { osc->start(); });
    }
    ~ServerThread()
    {
        QMetaObject::invokeMethod(
            m_osc,
            [this] {
                delete m_osc;
                delete m_amcp;
            },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    quint16 port() const { return m_amcp->port(); }
    // When the n-th clip played (from 0) was first shown; none yet.
    std::optional<Clock::time_point> firstShown(std::size_t n) const
    {
        std::lock_guard lock(m_mutex);
        return n < m_firstShown.size() ? std::optional(m_firstShown[n]) : std::nullopt;
    }

private:
    QThread m_thread;
    AmcpMonitor *m_amcp;
    OscPlayout *m_osc;
    mutable std::mutex m_mutex;
    int m_pending = 0;                           // clips played since the last bundle
    std::vector<Clock::time_point> m_firstShown; // per clip played, in order
};

bool arm(WindowFixture &f, int slot, const QString &movie)
{
    f.w().findChild<QCheckBox *>(QStringLiteral("chkTRIGGER(%1)").arg(slot))->click();
    f.chooser.choices.push_back(QStringLiteral("/media/") + movie);
    QTest::mouseDClick(f.w().findChild<vantor::app::ClickableLabel *>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot)),
                       Qt::LeftButton);
    return f.w().triggerSlots().movie(slot) == movie;
}

} // namespace

std::vector<WindowCondition> runThroughTheWindow(int firings, int block, int spacingMs, int floodRate)
{
    std::vector<WindowCondition> out(Conditions);
    out[0].name = QStringLiteral("without --confirm");
    out[1].name = QStringLiteral("with --confirm");
    out[2].name = QStringLiteral("with --confirm, a stranger's flood");

    vantor::onair::OscReceiver receiver;
    if (!receiver.start(0))
        return {};
    const quint16 oscPort = receiver.port();
    receiver.stop();
    ServerThread server(oscPort);
    vantor::app::Options options;
    options.debounce = milliseconds(0);
    WindowFixture f(options, true, server.port());
    f.w().findChild<QPushButton *>(QStringLiteral("cmdCOMStatus"))->click();
    if (!arm(f, 0, QStringLiteral("a.mov")) || !arm(f, 1, QStringLiteral("b.mov")))
        return {};
    f.w().findChild<QPushButton *>(QStringLiteral("cmdCASPAR"))->click();
    auto *lamp = f.w().findChild<vantor::app::Lamp *>(QStringLiteral("shpCASPAR"));
    if (!QTest::qWaitFor([&] { return lamp->fillColor() == vantor::app::Lamp::Green; }, 5000))
        return {};

    // Window thread: the condition of the block under way, and what each firing gave.
    int condition = 0;
    std::size_t played = 0; // firings the server took, in order: the clips it played
    std::unique_ptr<vantor::app::OnAirConfirmation> confirmation;
    std::unique_ptr<Flooder> flood;
    Clock::time_point floodBegun;
    std::uint64_t floodSent = 0;
    double floodSeconds = 0;
    QByteArray junk;
    {
        OscPlayout other;
        other.play(1, 20, QStringLiteral("junk"), QStringLiteral("junk.mov"));
        junk = other.bundle(1);
    }
    const auto enter = [&](int next) {
        condition = next;
        if (flood) {
            floodSent += flood->sent();
            floodSeconds += duration<double>(Clock::now() - floodBegun).count();
            flood.reset();
        }
        if (next == 0) {
            confirmation.reset();
            receiver.stop();
            return;
        }
        if (!receiver.isListening())
            receiver.start(oscPort);
        if (!confirmation)
            confirmation = std::make_unique<vantor::app::OnAirConfirmation>(f.w(), receiver);
        if (next == 2) {
            flood =
                std::make_unique<Flooder>("127.0.0.3", oscPort, std::vector<char>(junk.begin(), junk.end()), floodRate);
            floodBegun = Clock::now();
        }
    };
    int owner = 0;
    f.w().firing().setRecord(&owner, [&](const vantor::playout::FiringRecord &record) {
        WindowCondition &c = out[size_t(condition)];
        ++c.firings;
        c.rssMaxKiB = std::max(c.rssMaxKiB, rssKiB());
        if (!record.sent)
            return;
        c.contactToSendUs.push_back(duration<double, std::micro>(record.sentAt - record.contact).count());
        const std::size_t clip = played++;
        if (!record.onAir)
            return;
        record.onAir->then([&c, &server, clip](const vantor::playout::OnAirVerdict &verdict) {
            if (verdict.confirmed()) {
                if (const auto shown = server.firstShown(clip))
                    c.confirmFrames.push_back(duration<double>(Clock::now() - *shown) / FrameTime);
            } else {
                ++c.notOnAir;
                c.lastReason = verdict.reason;
            }
        });
    });

    QEventLoop loop;
    std::thread injector([&] {
        std::mt19937 random(28);
        std::uniform_int_distribution<int> jitter(0, 20);
        for (int i = 0; i < firings; ++i) {
            if (i % block == 0) {
                std::this_thread::sleep_for(Settle);
                const int next = (i / block) % Conditions;
                QMetaObject::invokeMethod(
                    &loop, [&, next] { enter(next); }, Qt::BlockingQueuedConnection);
            }
            const auto begun = Clock::now();
            f.port.post(vantor::serial::CommEvent{vantor::serial::comm::Cts, i % 2 == 0, {}, Clock::now()});
            std::this_thread::sleep_until(begun + milliseconds(spacingMs + jitter(random)));
        }
        std::this_thread::sleep_for(Settle);
        QMetaObject::invokeMethod(
            &loop,
            [&] {
                enter(0);
                loop.quit();
            },
            Qt::QueuedConnection);
    });
    loop.exec();
    injector.join();
    f.w().firing().setRecord(&owner, {});
    if (floodSeconds > 0)
        out[2].floodPerSecond = double(floodSent) / floodSeconds;
    return out;
}

long rssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}
