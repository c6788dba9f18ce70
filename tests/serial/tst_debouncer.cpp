#include "serial/service/debouncer.h"

#include <QtTest>

using vantor::serial::Debouncer;
using namespace std::chrono_literals;

namespace {

const Debouncer::Clock::time_point T0{};

Debouncer::Clock::time_point at(std::chrono::microseconds us)
{
    return T0 + us;
}

struct Edge
{
    std::chrono::microseconds t;
    int line;
    bool level;
};

// What came out, as "line:level@us" items, and when it came out: "+" for at the edge's own
// call, "e" for a later expire().
QStringList run(Debouncer &d, const std::vector<Edge> &edges, std::chrono::microseconds end)
{
    QStringList out;
    auto add = [&](const std::vector<Debouncer::Report> &reports, const char *how) {
        for (const auto &r : reports)
            out << QStringLiteral("%1%2:%3@%4")
                       .arg(how)
                       .arg(r.line)
                       .arg(r.level ? "on" : "off")
                       .arg(std::chrono::duration_cast<std::chrono::microseconds>(r.when - T0).count());
    };
    for (const Edge &e : edges) {
        // Deliver the ended hold-offs on time, as the service's timer does.
        while (auto next = d.nextDeadline()) {
            if (*next > at(e.t))
                break;
            add(d.expire(*next), "e");
        }
        add(d.edge(e.line, e.level, at(e.t)), "+");
    }
    add(d.expire(at(end)), "e");
    return out;
}

} // namespace

class TestDebouncer : public QObject
{
    Q_OBJECT

private slots:
    void bounceOnCloseGivesOneReport()
    {
        Debouncer d(10ms);
        const auto out =
            run(d, {{0us, 0, true}, {300us, 0, false}, {800us, 0, true}, {1200us, 0, false}, {2000us, 0, true}}, 50ms);
        QCOMPARE(out, QStringList({"+0:on@0"}));
        QVERIFY(!d.nextDeadline());
    }

    void bounceOnOpenGivesOneReport()
    {
        Debouncer d(10ms);
        const auto out = run(d,
                             {{0us, 0, true},
                              {500000us, 0, false},
                              {500400us, 0, true},
                              {501000us, 0, false},
                              {503000us, 0, true},
                              {503100us, 0, false}},
                             600ms);
        QCOMPARE(out, QStringList({"+0:on@0", "+0:off@500000"}));
    }

    void pulseShorterThanHoldOffGivesOnThenOffAtTheEnd()
    {
        Debouncer d(10ms);
        const auto out = run(d, {{0us, 0, true}, {1000us, 0, false}}, 100ms);
        QCOMPARE(out, QStringList({"+0:on@0", "e0:off@10000"}));
        QVERIFY(!d.nextDeadline());
    }

    void lateEdgeFirstEndsTheHoldOffsBeforeIt()
    {
        // Events handled late: the edge at 25 ms arrives with the 10 ms hold-off not yet ended.
        Debouncer d(10ms);
        QCOMPARE(d.edge(0, true, at(0us)).size(), size_t(1));
        QVERIFY(d.edge(0, false, at(1ms)).empty());
        const auto reports = d.edge(0, true, at(25ms));
        QCOMPARE(reports.size(), size_t(2));
        QCOMPARE(reports[0].level, false);
        QVERIFY(reports[0].when == at(10ms));
        QCOMPARE(reports[1].level, true);
        QVERIFY(reports[1].when == at(25ms));
    }

    void reportAtTheEndStartsANewHoldOff()
    {
        // Pulse, then a change 2 ms after the held-back OFF went out: within the new hold-off.
        Debouncer d(10ms);
        const auto out = run(d, {{0us, 0, true}, {1ms, 0, false}, {12ms, 0, true}}, 100ms);
        QCOMPARE(out, QStringList({"+0:on@0", "e0:off@10000", "e0:on@20000"}));
    }

    void edgeExactlyAtTheDeadlineEndsTheHoldOffFirst()
    {
        Debouncer d(10ms);
        QCOMPARE(d.edge(0, true, at(0us)).size(), size_t(1));
        const auto reports = d.edge(0, false, at(10ms)); // hold-off over, level unchanged: passes
        QCOMPARE(reports.size(), size_t(1));
        QCOMPARE(reports[0].level, false);
        QVERIFY(d.nextDeadline() == at(20ms));
    }

    void contactStillBouncingGivesNoStorm()
    {
        Debouncer d(10ms);
        std::vector<Edge> edges;
        bool level = false;
        for (int ms = 0; ms < 100; ++ms)
            edges.push_back({std::chrono::milliseconds(ms), 0, level = !level});
        edges.push_back({100ms, 0, true}); // settles ON
        const auto out = run(d, edges, 1s);
        // 100 edges in 100 ms: one report per hold-off at most, the settled level last.
        QVERIFY2(out.size() == 11, qPrintable(out.join(' ')));
        QCOMPARE(out.last(), QStringLiteral("+0:on@100000"));
        // Reports of one line alternate: no two equal levels in a row.
        for (int i = 1; i < out.size(); ++i)
            QVERIFY(out[i].section('@', 0, 0).right(3) != out[i - 1].section('@', 0, 0).right(3));
    }

    void twoLinesAreFilteredApart()
    {
        Debouncer d(10ms);
        const auto out = run(d,
                             {{0us, 0, true},
                              {0us, 1, true},
                              {200us, 0, false},
                              {300us, 1, false},
                              {400us, 1, true},
                              {3000us, 1, false}},
                             50ms);
        // Line 0 ends OFF (differs: reported at 10 ms); line 1 ends OFF too (at its own 10 ms).
        QCOMPARE(out, QStringList({"+0:on@0", "+1:on@0", "e0:off@10000", "e1:off@10000"}));
    }

    void holdOffsOfTwoLinesEndInTimeOrder()
    {
        Debouncer d(10ms);
        d.edge(1, true, at(0us));
        d.edge(0, true, at(3ms));
        d.edge(1, false, at(4ms));
        d.edge(0, false, at(5ms));
        QVERIFY(d.nextDeadline() == at(10ms));
        const auto reports = d.expire(at(30ms));
        QCOMPARE(reports.size(), size_t(2));
        QCOMPARE(reports[0].line, 1);
        QVERIFY(reports[0].when == at(10ms));
        QCOMPARE(reports[1].line, 0);
        QVERIFY(reports[1].when == at(13ms));
    }

    void zeroHoldOffLetsEveryEdgePass()
    {
        Debouncer d(0us);
        const auto out =
            run(d, {{0us, 0, true}, {10us, 0, false}, {20us, 0, true}, {20us, 1, true}, {30us, 1, true}}, 1s);
        QCOMPARE(out, QStringList({"+0:on@0", "+0:off@10", "+0:on@20", "+1:on@20", "+1:on@30"}));
        QVERIFY(!d.nextDeadline());
    }

    void resetForgetsRunningHoldOffs()
    {
        Debouncer d(10ms);
        d.edge(0, true, at(0us));
        d.edge(0, false, at(1ms));
        d.reset();
        QVERIFY(!d.nextDeadline());
        QVERIFY(d.expire(at(50ms)).empty());
        QCOMPARE(d.edge(0, true, at(2ms)).size(), size_t(1));
    }

    void unknownLineIsIgnored()
    {
        Debouncer d(10ms);
        QVERIFY(d.edge(2, true, at(0us)).empty());
        QVERIFY(d.edge(-1, true, at(0us)).empty());
        QVERIFY(!d.nextDeadline());
    }
};

QTEST_GUILESS_MAIN(TestDebouncer)
#include "tst_debouncer.moc"
