// The client's side of the Com Port option: what it sends, how it reads the server's answers.
#include "serial/rfc2217/rfc2217protocol.h"
#include "serial/rfc2217/rfc2217session.h"

#include <QtTest>

#include <initializer_list>

using namespace vantor::serial::rfc2217;

namespace {

Bytes bytes(std::initializer_list<int> values)
{
    Bytes out;
    for (const int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

constexpr int IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

Bytes serverSays(int command, std::initializer_list<int> value)
{
    Bytes payload(1, char(command));
    for (const int v : value)
        payload.push_back(char(v));
    return comPort(std::uint8_t(payload[0]), std::string_view(payload).substr(1));
}

bool contains(const std::vector<std::string> &lines, const std::string &part)
{
    for (const auto &line : lines)
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

// A session that has been through a full, well-behaved negotiation.
struct Agreed
{
    Rfc2217Session session{PortParameters{}};
    Rfc2217Session::Output out;
    Agreed()
    {
        session.start();
        session.receive(bytes({IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, 44}), out);
        out = {};
        session.watchChanges();
    }
};

} // namespace

class TestRfc2217Session : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void offersBinarySuppressGoAheadAndComPort()
    {
        Rfc2217Session s{PortParameters{}};
        QVERIFY(s.start() == bytes({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));
    }

    void sendsSettingsControlsAndMasksOnceTheServerAgrees()
    {
        PortParameters p;
        p.baudRate = 19200;
        p.dataSize = 7;
        p.parity = cpc::parity::Even;
        p.stopSize = cpc::stopsize::Two;
        Rfc2217Session s{p};
        s.start();
        Rfc2217Session::Output out;
        s.receive(bytes({IAC, DO, 44}), out);
        const Bytes expected = bytes({IAC, SB, 44,  1,   0,    0,   0x4B, 0x00, IAC, SE,  IAC, SB,  44,
                                      2,   7,  IAC, SE,  IAC,  SB,  44,   3,    3,   IAC, SE,  IAC, SB,
                                      44,  4,  2,   IAC, SE,   IAC, SB,   44,   5,   1,   IAC, SE, // no flow control
                                      IAC, SB, 44,  5,   8,    IAC, SE,                            // DTR on
                                      IAC, SB, 44,  5,   11,   IAC, SE,                            // RTS on
                                      IAC, SB, 44,  11,  IAC,  IAC, IAC,  SE, // CTS DSR CD RI + changes
                                      IAC, SB, 44,  10,  0x1E, IAC, SE});     // break framing parity overrun
        QVERIFY(out.reply == expected);
        QVERIFY(s.comPortActive());
        // A repeated DO changes nothing and sends nothing.
        out = {};
        s.receive(bytes({IAC, DO, 44}), out);
        QVERIFY(out.reply.empty());
    }

    void refusesOptionsItDoesNotKnow()
    {
        Agreed a;
        a.session.receive(bytes({IAC, DO, 24, IAC, WILL, 1}), a.out); // terminal type, echo
        QVERIFY(a.out.reply == bytes({IAC, WONT, 24, IAC, DONT, 1}));
    }

    void saysWhenTheServerRefusesTheComPortOption()
    {
        Rfc2217Session s{PortParameters{}};
        s.start();
        Rfc2217Session::Output out;
        s.receive(bytes({IAC, DONT, 44, IAC, WONT, 0}), out);
        QVERIFY(out.reply.empty());
        QVERIFY(!s.comPortActive());
        QVERIFY(contains(out.notices, "refuses the Com Port option"));
        QVERIFY(contains(out.notices, "does not send in binary"));
        // Data still flows; without binary a lone CR carries its NUL.
        out = {};
        s.receive(bytes({'O', 'K', '\r', 0}), out);
        QCOMPARE(out.events.size(), std::size_t(1));
        QVERIFY(out.events[0].data == "OK\r");
    }

    void namesWhatTheServerLeftUnacknowledged()
    {
        Agreed a;
        a.session.receive(serverSays(101, {0, 0, 0x25, 0x80}) + serverSays(102, {8}) + serverSays(103, {1})
                              + serverSays(104, {1}) + serverSays(105, {1}) + serverSays(105, {8})
                              + serverSays(105, {11}) + serverSays(110, {0x1E}),
                          a.out);
        QVERIFY(a.out.notices.empty());
        a.session.settle(a.out);
        QCOMPARE(a.out.notices.size(), std::size_t(1));
        QVERIFY(contains(a.out.notices, "did not acknowledge: modem-state mask ("));

        Agreed all;
        all.session.receive(serverSays(101, {0, 0, 0x25, 0x80}) + serverSays(102, {8}) + serverSays(103, {1})
                                + serverSays(104, {1}) + serverSays(105, {1}) + serverSays(105, {8})
                                + serverSays(105, {11}) + serverSays(110, {0x1E}) + serverSays(111, {0xFF}),
                            all.out);
        all.session.settle(all.out);
        QVERIFY(all.out.notices.empty());
    }

    void namesSettingsTheServerChanged()
    {
        Agreed a;
        a.session.receive(serverSays(101, {0, 0, 0x4B, 0}) + serverSays(105, {12}), a.out);
        QVERIFY(contains(a.out.notices, "uses speed 19200 instead of 9600"));
        QVERIFY(contains(a.out.notices, "keeps RTS off"));
    }

    void turnsNotificationsIntoEvents()
    {
        Agreed a;
        // First report: the levels. A state byte of 0xFF comes as IAC IAC.
        a.session.receive(serverSays(107, {0x00}), a.out);
        QVERIFY(a.out.events.empty());
        a.session.receive(bytes({IAC, SB, 44, 107, IAC, IAC, IAC, SE}) + serverSays(106, {0x19}), a.out);
        std::vector<std::pair<SessionEvent::Kind, int>> seen;
        for (const auto &e : a.out.events)
            seen.emplace_back(
                e.kind, e.kind == SessionEvent::Kind::Line ? int(e.edge.signal) * 2 + e.edge.level : int(e.error));
        using K = SessionEvent::Kind;
        const std::vector<std::pair<SessionEvent::Kind, int>> expected{
            {K::Line, int(Signal::Cts) * 2 + 1}, {K::Line, int(Signal::Dsr) * 2 + 1},
            {K::Line, int(Signal::Cd) * 2 + 1},  {K::Line, int(Signal::Ring) * 2 + 1},
            {K::Error, int(LineError::Break)},   {K::Error, int(LineError::Framing)}};
        QVERIFY(seen == expected);
        QVERIFY(a.session.level(Signal::Cts) && a.session.level(Signal::Dsr));
    }

    void theServersFirstAnswerSetsTheLevelsOnly()
    {
        Rfc2217Session s{PortParameters{}};
        s.start();
        Rfc2217Session::Output out;
        // Present state with change bits left over from the server opening its port.
        s.receive(bytes({IAC, DO, 44}) + serverSays(107, {0x10 | 0x20 | 0x01 | 0x02}), out);
        QVERIFY(out.events.empty());
        QVERIFY(s.level(Signal::Cts) && s.level(Signal::Dsr));
        s.watchChanges();
        out = {};
        s.receive(serverSays(107, {0x20 | 0x01}), out);
        QCOMPARE(out.events.size(), std::size_t(1));
        QVERIFY((out.events[0].edge == LineEdge{Signal::Cts, false}));
    }

    void namesAServerThatPollsItsLines_data()
    {
        QTest::addColumn<QList<int>>("gapsMs");
        QTest::addColumn<bool>("polls");
        QTest::newRow("one-second poller, network jitter") << QList<int>{1003, 2001, 998, 3004, 1000} << true;
        QTest::newRow("edges as they happen: pulses") << QList<int>{1, 1843, 1, 2710, 1} << false;
        QTest::newRow("edges as they happen: contacts") << QList<int>{1234, 2871, 905, 4420, 1730} << false;
    }
    void namesAServerThatPollsItsLines()
    {
        QFETCH(QList<int>, gapsMs);
        QFETCH(bool, polls);
        Agreed a;
        auto when = std::chrono::steady_clock::now();
        a.session.receive(serverSays(107, {0x00}), a.out, when);
        for (std::size_t i = 0; i <= std::size_t(gapsMs.size()); ++i) {
            a.session.receive(serverSays(107, {i % 2 ? 0x00 : 0x11}), a.out, when);
            when += std::chrono::milliseconds(i < std::size_t(gapsMs.size()) ? gapsMs[qsizetype(i)] : 0);
        }
        QCOMPARE(contains(a.out.notices, "polls its lines"), polls);
    }

    void answersTimingMarksAndSignatureRequests()
    {
        Agreed a;
        // Answers to our probe: a WILL is set back to off, a WONT needs nothing.
        a.session.receive(bytes({IAC, WILL, 6, IAC, WONT, 6}), a.out);
        QVERIFY(a.out.reply == bytes({IAC, DONT, 6}));
        a.out = {};
        a.session.receive(bytes({IAC, DO, 6}) + serverSays(100, {}), a.out);
        QVERIFY(a.out.reply == bytes({IAC, WILL, 6}) + comPort(cpc::Signature, "VANTOR Listener"));
        // The probe asks for the present speed too once the Com Port option is agreed.
        QVERIFY(a.session.probe() == bytes({IAC, DO, 6, IAC, SB, 44, 1, 0, 0, 0, 0, IAC, SE}));
        Rfc2217Session plain{PortParameters{}};
        QVERIFY(plain.probe() == bytes({IAC, DO, 6}));
    }

    // A server that flips the Com Port option back and forth: each flip it asks for is
    // answered once (RFC 1143), the refusal line is given once and then its count, and past
    // MaxRequests the session ends with a fault and answers nothing more.
    void aServerThatKeepsRenegotiatingIsTakenAsBroken()
    {
        Agreed a;
        const Bytes flip = bytes({IAC, DONT, 44, IAC, DO, 44});
        a.session.receive(flip + flip, a.out);
        QCOMPARE(a.out.notices.size(), std::size_t(1));
        QVERIFY(contains(a.out.notices, "refuses the Com Port option"));
        a.session.flushRepeats(a.out);
        QCOMPARE(a.out.notices.size(), std::size_t(2));
        QVERIFY(a.out.notices[1].ends_with("data only (1 more time)"));
        QVERIFY(a.out.fault.empty());

        Bytes flood;
        for (int i = 0; i < 10000; ++i)
            flood += flip;
        a.out = {};
        a.session.receive(flood, a.out);
        QVERIFY(a.session.faulted());
        QVERIFY(contains({a.out.fault}, "keeps renegotiating the Com Port option"));
        QVERIFY(a.out.reply.size() < 1024);
        QVERIFY(a.out.notices.size() <= 2);
        a.out = {};
        a.session.receive(flip, a.out);
        a.session.settle(a.out);
        QVERIFY(a.out.reply.empty() && a.out.notices.empty());
    }

    void unaskedTimingMarksAndSignatureRequestsAreBounded()
    {
        Agreed marks;
        marks.session.probe();
        marks.session.receive(bytes({IAC, WILL, 6}), marks.out); // the answer to the probe
        for (unsigned i = 0; i < Rfc2217Session::MaxRequests; ++i)
            marks.session.receive(bytes({IAC, WILL, 6}), marks.out);
        QVERIFY(!marks.session.faulted());
        marks.session.receive(bytes({IAC, WILL, 6}), marks.out);
        QVERIFY(contains({marks.out.fault}, "offering the timing mark"));

        Agreed asks;
        for (int i = 0; i < 100; ++i)
            asks.session.receive(serverSays(100, {}), asks.out);
        QVERIFY(asks.session.faulted());
        QCOMPARE(asks.out.reply.size(),
                 Rfc2217Session::MaxRequests * comPort(cpc::Signature, "VANTOR Listener").size());
    }

    void encodesDataForTheAgreedMode()
    {
        Agreed a;
        QVERIFY(a.session.encodeData(bytes({'A', '\r', 0xFF})) == bytes({'A', '\r', 0xFF, 0xFF}));
        Rfc2217Session plain{PortParameters{}};
        QVERIFY(plain.encodeData(bytes({'A', '\r', 0xFF})) == bytes({'A', '\r', 0, 0xFF, 0xFF}));
    }

    void saysWhenTheServerNeverAnswers()
    {
        Rfc2217Session s{PortParameters{}};
        s.start();
        Rfc2217Session::Output out;
        s.settle(out);
        QVERIFY(contains(out.notices, "did not answer the Com Port option"));
        out = {};
        s.settle(out); // once only
        QVERIFY(out.notices.empty());
    }
};

QTEST_GUILESS_MAIN(TestRfc2217Session)
#include "tst_rfc2217session.moc"
