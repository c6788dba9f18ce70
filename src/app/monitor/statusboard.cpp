#include "app/monitor/statusboard.h"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <QString>

#include <algorithm>
#include <limits>

namespace vantor::app {

namespace {
constexpr auto Relaxed = std::memory_order_relaxed;
const char *const LineNames[StatusBoard::Lines] = {"CTS", "DSR"};

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricFamily family(const char *name, const char *help, MetricType type)
{
    return MetricFamily{name, help, type, {}};
}

ClientMetric counter(std::uint64_t value, std::vector<ClientMetric::Label> labels = {})
{
    ClientMetric m;
    m.label = std::move(labels);
    m.counter.value = double(value);
    return m;
}

ClientMetric gauge(double value, std::vector<ClientMetric::Label> labels = {})
{
    ClientMetric m;
    m.label = std::move(labels);
    m.gauge.value = value;
    return m;
}
// A histogram from per-bucket counts (not cumulative; the last above every bound): the count
// is their sum, so the two agree.
template <std::size_t N>
ClientMetric histogram(const std::array<double, N> &bounds,
                       const std::array<std::atomic<std::uint64_t>, N + 1> &buckets, std::uint64_t sumNs,
                       std::vector<ClientMetric::Label> labels = {})
{
    ClientMetric h;
    h.label = std::move(labels);
    std::uint64_t cumulative = 0;
    for (size_t b = 0; b < N; ++b) {
        cumulative += buckets[b].load(Relaxed);
        h.histogram.bucket.push_back({cumulative, bounds[b]});
    }
    cumulative += buckets[N].load(Relaxed);
    h.histogram.bucket.push_back({cumulative, std::numeric_limits<double>::infinity()});
    h.histogram.sample_count = cumulative;
    h.histogram.sample_sum = double(sumNs) / 1e9;
    return h;
}
} // namespace

StatusBoard::StatusBoard(std::string site)
    : m_site(std::move(site))
{
}

void StatusBoard::lineChanged(int line)
{
    if (line >= 0 && line < Lines)
        m_lineChanges[size_t(line)].fetch_add(1, Relaxed);
}

void StatusBoard::fired(int slot, Outcome outcome, bool byOperator)
{
    if (slot >= 0 && slot < Slots)
        m_firings[byOperator][size_t(slot)][size_t(outcome)].fetch_add(1, Relaxed);
}

void StatusBoard::sentAt(Clock::time_point when)
{
    m_lastSent.store(ticks(when), Relaxed);
}

void StatusBoard::contactToSend(Clock::duration took)
{
    const double seconds = std::chrono::duration<double>(took).count();
    const auto bucket = std::lower_bound(LatencyBounds.begin(), LatencyBounds.end(), seconds) - LatencyBounds.begin();
    m_latencyBuckets[size_t(bucket)].fetch_add(1, Relaxed);
    m_latencySumNs.fetch_add(
        std::uint64_t(std::max<Clock::rep>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(took).count())),
        Relaxed);
}

void StatusBoard::failureReply(int code)
{
    if (code >= FirstCode && code < FirstCode + Codes)
        m_failureReplies[size_t(code - FirstCode)].fetch_add(1, Relaxed);
    else
        m_otherFailureReplies.fetch_add(1, Relaxed);
}

void StatusBoard::reconnected(int server)
{
    m_reconnects[size_t(server)].fetch_add(1, Relaxed);
}

void StatusBoard::setServerConnected(int server, bool connected)
{
    m_serverConnected[size_t(server)].store(connected, Relaxed);
}

void StatusBoard::setServerUsed(int server, bool used)
{
    m_serverUsed[size_t(server)].store(used, Relaxed);
}

void StatusBoard::setPort(int number, bool open)
{
    m_portNumber.store(number, Relaxed);
    m_portOpen.store(open, Relaxed);
}

void StatusBoard::setMergedChanges(std::uint64_t total)
{
    m_mergedChanges.store(total, Relaxed);
}

void StatusBoard::setLogLinesDropped(std::uint64_t total)
{
    m_logLinesDropped.store(total, Relaxed);
}

void StatusBoard::heartbeat(Clock::time_point now)
{
    m_heartbeat.store(ticks(now), Relaxed);
}

void StatusBoard::setWaitingFor(const std::string &what)
{
    m_waitingFor.store(what);
    m_boxOpen.store(!what.empty(), Relaxed);
}

void StatusBoard::setNoModemLines(bool none)
{
    m_noModemLines.store(none, Relaxed);
}

void StatusBoard::setConfirming(bool on)
{
    m_confirming.store(on, Relaxed);
}

void StatusBoard::onAirConfirmed(int server, Clock::duration took)
{
    if (server < 0 || server >= Servers)
        return;
    const double seconds = std::chrono::duration<double>(took).count();
    const auto bucket =
        std::lower_bound(ConfirmationBounds.begin(), ConfirmationBounds.end(), seconds) - ConfirmationBounds.begin();
    m_confirmationBuckets[size_t(server)][size_t(bucket)].fetch_add(1, Relaxed);
    m_confirmationSumNs[size_t(server)].fetch_add(
        std::uint64_t(std::max<Clock::rep>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(took).count())),
        Relaxed);
}

void StatusBoard::notOnAir(int server, NotOnAir why)
{
    if (server >= 0 && server < Servers)
        m_notOnAir[size_t(server)][size_t(why)].fetch_add(1, Relaxed);
}

void StatusBoard::setLastBundle(int server, Clock::time_point at)
{
    if (server >= 0 && server < Servers)
        m_lastBundle[size_t(server)].store(at == Clock::time_point{} ? 0 : ticks(at), Relaxed);
}

void StatusBoard::setSlot(int slot, bool armed, std::string_view sends)
{
    if (slot < 0 || slot >= Slots)
        return;
    m_slotSends[size_t(slot)].store(sends);
    m_slotArmed[size_t(slot)].store(armed, Relaxed);
}

void StatusBoard::firingRecorded(const Entry &entry)
{
    m_recent.add(entry);
}

void StatusBoard::firingReplied(std::uint64_t number, bool answered, int code, double ms, std::string_view text)
{
    m_recent.replied(number, answered ? Entry::Reply::Answered : Entry::Reply::None, code, ms,
                     pageText(QString::fromUtf8(text.data(), qsizetype(text.size())), RecentFirings::ReplyBytes));
}

void StatusBoard::firingOnAir(std::uint64_t number, double ms)
{
    m_recent.onAir(number, ms);
}

void StatusBoard::firingNotOnAir(std::uint64_t number, std::string_view reason)
{
    m_recent.notOnAir(number,
                      pageText(QString::fromUtf8(reason.data(), qsizetype(reason.size())), RecentFirings::ReasonBytes));
}

StatusBoard::PageView StatusBoard::pageView(Clock::time_point now) const
{
    PageView view;
    view.site = m_site;
    view.health = health(now);
    view.portNumber = m_portNumber.load(Relaxed);
    view.portOpen = m_portOpen.load(Relaxed);
    for (int s = 0; s < Servers; ++s)
        view.servers[size_t(s)] = {m_serverUsed[size_t(s)].load(Relaxed), m_serverConnected[size_t(s)].load(Relaxed)};
    for (int s = 0; s < Slots; ++s)
        view.triggers[size_t(s)] = {m_slotArmed[size_t(s)].load(Relaxed), m_slotSends[size_t(s)].load()};
    view.firings = m_recent.newestFirst();
    return view;
}

StatusBoard::Health StatusBoard::health(Clock::time_point now) const
{
    Health h;
    if (m_boxOpen.load(Relaxed)) {
        const std::string what = m_waitingFor.load();
        h.text += (what.empty() ? std::string("waiting for an answer to an error box") : what) + "\n";
    }
    const Clock::duration silent = now - Clock::time_point(Clock::duration(m_heartbeat.load(Relaxed)));
    if (m_heartbeat.load(Relaxed) == 0 || silent > StuckAfter)
        h.text += "window not responding\n";
    if (!m_portOpen.load(Relaxed))
        h.text += "COM " + std::to_string(m_portNumber.load(Relaxed)) + " closed\n";
    else if (m_noModemLines.load(Relaxed))
        h.text += "COM " + std::to_string(m_portNumber.load(Relaxed)) + " has no modem lines: contacts cannot fire\n";
    if (!m_serverConnected[0].load(Relaxed))
        h.text += "Caspar not connected\n";
    h.ok = h.text.empty();
    if (h.ok)
        h.text = "ok\n";
    return h;
}

std::string StatusBoard::metricsText(Clock::time_point now) const
{
    std::vector<MetricFamily> out;

    auto lines =
        family("vantor_line_changes_total", "Line changes handed to the trigger slots, per line.", MetricType::Counter);
    for (int l = 0; l < Lines; ++l)
        lines.metric.push_back(counter(m_lineChanges[size_t(l)].load(Relaxed), {{"line", LineNames[l]}}));
    out.push_back(std::move(lines));

    auto firings = family("vantor_firings_total",
                          "Firings per trigger slot and outcome; cause is contact (a line change) or operator "
                          "(a test fire).",
                          MetricType::Counter);
    for (int byOperator = 0; byOperator < 2; ++byOperator)
        for (int s = 0; s < Slots; ++s)
            for (size_t o = 0; o < OutcomeNames.size(); ++o)
                firings.metric.push_back(counter(m_firings[size_t(byOperator)][size_t(s)][o].load(Relaxed),
                                                 {{"cause", byOperator ? "operator" : "contact"},
                                                  {"outcome", OutcomeNames[o]},
                                                  {"slot", SlotNames[size_t(s)]}}));
    out.push_back(std::move(firings));

    auto failures =
        family("vantor_failure_replies_total", "Failure replies of the playout server, by code.", MetricType::Counter);
    for (int c = 0; c < Codes; ++c)
        if (const std::uint64_t n = m_failureReplies[size_t(c)].load(Relaxed))
            failures.metric.push_back(counter(n, {{"code", std::to_string(FirstCode + c)}}));
    failures.metric.push_back(counter(m_otherFailureReplies.load(Relaxed), {{"code", "other"}}));
    out.push_back(std::move(failures));

    auto reconnects = family("vantor_server_reconnects_total",
                             "Connections to the playout server made again after one was up.", MetricType::Counter);
    auto connected =
        family("vantor_server_connected", "1 while the connection to the playout server is up.", MetricType::Gauge);
    for (int s = 0; s < Servers; ++s) {
        if (!m_serverUsed[size_t(s)].load(Relaxed))
            continue;
        reconnects.metric.push_back(
            counter(m_reconnects[size_t(s)].load(Relaxed), {{"server", ServerNames[size_t(s)]}}));
        connected.metric.push_back(
            gauge(m_serverConnected[size_t(s)].load(Relaxed) ? 1 : 0, {{"server", ServerNames[size_t(s)]}}));
    }
    out.push_back(std::move(reconnects));
    out.push_back(std::move(connected));

    auto merged = family("vantor_port_events_merged_total",
                         "Line changes merged into one because they came faster than they could be handled.",
                         MetricType::Counter);
    merged.metric.push_back(counter(m_mergedChanges.load(Relaxed)));
    out.push_back(std::move(merged));

    auto dropped = family("vantor_log_file_lines_dropped_total",
                          "Lines of the log files and as-run record that could not be written.", MetricType::Counter);
    dropped.metric.push_back(counter(m_logLinesDropped.load(Relaxed)));
    out.push_back(std::move(dropped));

    auto port = family("vantor_port_open", "1 while the serial port is open.", MetricType::Gauge);
    port.metric.push_back(
        gauge(m_portOpen.load(Relaxed) ? 1 : 0, {{"port", "COM " + std::to_string(m_portNumber.load(Relaxed))}}));
    out.push_back(std::move(port));

    // No sample before the first firing: there is no time to count from.
    auto since =
        family("vantor_seconds_since_last_firing", "Seconds since the last PLAY command was sent.", MetricType::Gauge);
    if (const std::int64_t last = m_lastSent.load(Relaxed))
        since.metric.push_back(
            gauge(std::chrono::duration<double>(now - Clock::time_point(Clock::duration(last))).count()));
    out.push_back(std::move(since));

    // Cumulative counts from the per-bucket ones; the count is their sum, so the two agree.
    auto latency = family("vantor_contact_to_send_seconds",
                          "Time from a line change seen by the port to its PLAY command handed to the socket.",
                          MetricType::Histogram);
    ClientMetric h;
    std::uint64_t cumulative = 0;
    for (size_t b = 0; b < LatencyBounds.size(); ++b) {
        cumulative += m_latencyBuckets[b].load(Relaxed);
        h.histogram.bucket.push_back({cumulative, LatencyBounds[b]});
    }
    cumulative += m_latencyBuckets.back().load(Relaxed);
    h.histogram.bucket.push_back({cumulative, std::numeric_limits<double>::infinity()});
    h.histogram.sample_count = cumulative;
    h.histogram.sample_sum = double(m_latencySumNs.load(Relaxed)) / 1e9;
    latency.metric.push_back(std::move(h));
    out.push_back(std::move(latency));

    if (m_confirming.load(Relaxed))
        onAirMetrics(now, out);
    if (!m_site.empty())
        for (MetricFamily &f : out)
            for (ClientMetric &m : f.metric)
                m.label.push_back({"site", m_site});
    return prometheus::TextSerializer().Serialize(out);
}

void StatusBoard::onAirMetrics(Clock::time_point now, std::vector<prometheus::MetricFamily> &out) const
{
    auto confirmation = family("vantor_onair_confirmation_seconds",
                               "Time from a line change to the playout server's report that showed its clip on air.",
                               MetricType::Histogram);
    auto notOnAir = family("vantor_firings_not_on_air_total",
                           "Firings by contact whose clip the playout server did not show on air by the deadline, "
                           "by reason.",
                           MetricType::Counter);
    // No sample before a server's first datagram: there is no time to count from.
    auto silence =
        family("vantor_osc_seconds_since_last_bundle",
               "Seconds since the playout server's latest OSC datagram (its state) came.", MetricType::Gauge);
    for (int s = 0; s < Servers; ++s) {
        if (!m_serverUsed[size_t(s)].load(Relaxed))
            continue;
        const char *server = ServerNames[size_t(s)];
        confirmation.metric.push_back(histogram(ConfirmationBounds, m_confirmationBuckets[size_t(s)],
                                                m_confirmationSumNs[size_t(s)].load(Relaxed), {{"server", server}}));
        for (size_t r = 0; r < NotOnAirNames.size(); ++r)
            notOnAir.metric.push_back(
                counter(m_notOnAir[size_t(s)][r].load(Relaxed), {{"reason", NotOnAirNames[r]}, {"server", server}}));
        if (const std::int64_t last = m_lastBundle[size_t(s)].load(Relaxed))
            silence.metric.push_back(
                gauge(std::chrono::duration<double>(now - Clock::time_point(Clock::duration(last))).count(),
                      {{"server", server}}));
    }
    out.push_back(std::move(confirmation));
    out.push_back(std::move(notOnAir));
    out.push_back(std::move(silence));
}

} // namespace vantor::app
