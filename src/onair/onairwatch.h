#pragma once

#include "onairclock.h"
#include "onairrule.h"
#include "oscreceiver.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <vector>

namespace vantor::onair {

// The firings waiting to be confirmed on air, each judged by its OnAirRule whenever the
// servers' state changes (check(), connected to OscReceiver::changed) and at its deadline.
// Window thread. At most MaxWaiting firings wait; a firing past that is refused by watch()
// (the caller says so), never queued to be judged late.
class OnAirWatch : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxWaiting = 64;

    struct Firing
    {
        quint64 id = 0; // the caller's
        OscReceiver::Server server = OscReceiver::Main;
        int channel = 1;
        int layer = 0;
        QString address; // as the operator knows it: "1-10"
        QString clip;    // as the server read it
        TimePoint sentAt{};
    };
    // What a server reports of a channel-layer now (OscReceiver::view).
    using Source = std::function<LayerView(OscReceiver::Server, int channel, int layer)>;

    OnAirWatch(Source source, const OnAirClock &clock, std::chrono::milliseconds deadline = OnAirRule::DefaultDeadline,
               QObject *parent = nullptr);

    bool watch(const Firing &firing);
    void check();
    int waiting() const { return int(m_waiting.size()); }

Q_SIGNALS:
    // `at`: the report that showed it on air.
    void onAir(const vantor::onair::OnAirWatch::Firing &firing, vantor::onair::TimePoint at);
    void notOnAir(const vantor::onair::OnAirWatch::Firing &firing, const QString &reason,
                  vantor::onair::OnAirRule::Why why);

private:
    struct Waiting
    {
        Firing firing;
        OnAirRule rule;
    };
    void armTimer();

    Source m_source;
    const OnAirClock &m_clock;
    std::chrono::milliseconds m_deadline;
    std::vector<Waiting> m_waiting; // in the order watched
    QTimer m_timer;                 // the earliest deadline
};

} // namespace vantor::onair

Q_DECLARE_METATYPE(vantor::onair::OnAirWatch::Firing)
Q_DECLARE_METATYPE(vantor::onair::TimePoint)
Q_DECLARE_METATYPE(vantor::onair::OnAirRule::Why)
