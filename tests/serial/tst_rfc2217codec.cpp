// The Telnet framing parser, the encoders and the modem-state reading, byte by byte.
#include "serial/rfc2217/rfc2217codec.h"
#include "serial/rfc2217/rfc2217lines.h"
#include "serial/rfc2217/rfc2217protocol.h"

#include <QtTest>

#include <initializer_list>

using namespace vantor::serial::rfc2217;
using Kind = TelnetItem::Kind;

namespace {

Bytes bytes(std::initializer_list<int> values)
{
    Bytes out;
    for (const int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

std::vector<TelnetItem> parse(const Bytes &in, bool nvtCr = false)
{
    TelnetParser parser;
    parser.setNvtCarriageReturn(nvtCr);
    std::vector<TelnetItem> out;
    parser.feed(in, out);
    return out;
}

TelnetItem dataItem(const Bytes &b)
{
    return {Kind::Data, 0, 0, b};
}
TelnetItem sub(int option, const Bytes &b)
{
    return {Kind::Subnegotiation, 0, std::uint8_t(option), b};
}
TelnetItem neg(int verb, int option)
{
    return {Kind::Negotiation, std::uint8_t(verb), std::uint8_t(option), {}};
}

constexpr int IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253, DONT = 254, NOP = 241;

} // namespace

class TestRfc2217Codec : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesDataNegotiationsAndSubnegotiationsInOrder()
    {
        // "A", DO COM-PORT-OPTION, a modem-state notification, "B", a NOP.
        const auto items =
            parse(Bytes("A") + bytes({IAC, DO, 44, IAC, SB, 44, 107, 0x11, IAC, SE}) + "B" + bytes({IAC, NOP}));
        const std::vector<TelnetItem> expected{
            dataItem("A"), neg(DO, 44), sub(44, bytes({107, 0x11})), dataItem("B"), {Kind::Command, NOP, 0, {}}};
        QVERIFY(items == expected);
    }

    void undoublesIacInDataAndInsideSubnegotiations()
    {
        // A modem state of 0xFF arrives as IAC IAC inside the subnegotiation.
        const auto items = parse(bytes({'x', IAC, IAC, 'y', IAC, SB, 44, 107, IAC, IAC, IAC, SE}));
        QCOMPARE(items.size(), std::size_t(2));
        QVERIFY(items[0] == dataItem(bytes({'x', 0xFF, 'y'})));
        QVERIFY(items[1] == sub(44, bytes({107, 0xFF})));
    }

    void givesTheSameItemsWhateverTheChunking()
    {
        // A baud-rate answer of 0x0000FF00 (65280) has a doubled IAC in the middle.
        const Bytes stream = Bytes("ab\r\n") + bytes({IAC, WILL, 0, IAC, SB, 44, 101, 0, 0, IAC, IAC, 0, IAC, SE})
            + bytes({IAC, IAC}) + "cd";
        const auto whole = parse(stream);
        TelnetParser parser;
        std::vector<TelnetItem> pieces;
        for (const char c : stream)
            parser.feed(std::string_view(&c, 1), pieces);
        QVERIFY(pieces == whole);
        QCOMPARE(whole.size(), std::size_t(4));
        QCOMPARE(readBigEndian32(std::string_view(whole[2].bytes).substr(1)), 65280u);
        QVERIFY(whole[3] == dataItem(bytes({0xFF, 'c', 'd'})));
    }

    void dropsOverlongAndBrokenSubnegotiations()
    {
        TelnetParser parser;
        std::vector<TelnetItem> out;
        parser.feed(bytes({IAC, SB, 44}) + Bytes(TelnetParser::MaxSubnegotiation + 1, 'z') + bytes({IAC, SE}) + "ok",
                    out);
        QVERIFY(out == std::vector<TelnetItem>{dataItem("ok")});
        QCOMPARE(parser.droppedSubnegotiations(), std::size_t(1));

        // The IAC SE was lost: what follows the IAC is taken as a command of its own.
        out.clear();
        parser.feed(bytes({IAC, SB, 44, 107, 0x10, IAC, WILL, 3}) + "x", out);
        QVERIFY((out == std::vector<TelnetItem>{neg(WILL, 3), dataItem("x")}));
        QCOMPARE(parser.droppedSubnegotiations(), std::size_t(2));
    }

    void removesTheNulOfCrNulOnlyWithoutBinary()
    {
        const Bytes in = bytes({'a', '\r', 0, 'b', '\r', '\n'});
        QVERIFY(parse(in, true) == std::vector<TelnetItem>{dataItem("a\rb\r\n")});
        QVERIFY(parse(in, false) == std::vector<TelnetItem>{dataItem(in)});
    }

    void encodesComPortCommandsWithIacDoubled()
    {
        // SET-BAUDRATE 9600 as four big-endian bytes.
        QVERIFY(comPort(cpc::SetBaudRate, bigEndian32(9600))
                == bytes({IAC, SB, 44, 1, 0x00, 0x00, 0x25, 0x80, IAC, SE}));
        // SET-MODEMSTATE-MASK 0xFF: the value byte is doubled.
        QVERIFY(comPort(cpc::SetModemStateMask, std::uint8_t(0xFF)) == bytes({IAC, SB, 44, 11, IAC, IAC, IAC, SE}));
        QVERIFY(negotiation(DONT, 44) == bytes({IAC, DONT, 44}));
    }

    void escapesData()
    {
        const Bytes data = bytes({'A', 'T', '\r', 0xFF, '\r', '\n'});
        QVERIFY(escapeData(data, true) == bytes({'A', 'T', '\r', 0xFF, 0xFF, '\r', '\n'}));
        QVERIFY(escapeData(data, false) == bytes({'A', 'T', '\r', 0, 0xFF, 0xFF, '\r', '\n'}));
    }

    void readsModemStateChanges()
    {
        ModemStateTracker t;
        // The first report sets the levels; only a line with its change bit set is a change.
        QVERIFY(t.update(modem::Dsr).empty());
        QVERIFY(t.level(Signal::Dsr) && !t.level(Signal::Cts));
        // CTS rises (with its change bit), DSR falls (without one: the level tells).
        const auto edges = t.update(modem::Cts | modem::DeltaCts);
        QVERIFY((edges == std::vector<LineEdge>{{Signal::Cts, true}, {Signal::Dsr, false}}));
        // Nothing moved: nothing to report.
        QVERIFY(t.update(modem::Cts).empty());

        ModemStateTracker first;
        QVERIFY((first.update(modem::Cts | modem::DeltaCts) == std::vector<LineEdge>{{Signal::Cts, true}}));
    }

    void aChangeBitWithAnUnchangedLevelIsAPulse()
    {
        ModemStateTracker t;
        t.update(0);
        // Closed and opened between two reports: ON then OFF, ending at the present level.
        QVERIFY((t.update(modem::DeltaCts) == std::vector<LineEdge>{{Signal::Cts, true}, {Signal::Cts, false}}));
        t.update(modem::Dsr | modem::DeltaDsr);
        QVERIFY((t.update(modem::Dsr | modem::DeltaDsr | modem::DeltaCd)
                 == std::vector<LineEdge>{
                     {Signal::Dsr, false}, {Signal::Dsr, true}, {Signal::Cd, true}, {Signal::Cd, false}}));
    }

    void ringsOnceForEachTrailingEdge()
    {
        ModemStateTracker t;
        t.update(0);
        QVERIFY(t.update(modem::Ring).empty());
        QVERIFY((t.update(modem::TrailingEdgeRing) == std::vector<LineEdge>{{Signal::Ring, false}}));
        QVERIFY(t.update(modem::Ring).empty());
        QVERIFY((t.update(0) == std::vector<LineEdge>{{Signal::Ring, false}})); // fell without the bit
    }

    void readsLineErrorsInOrder()
    {
        QVERIFY(
            (lineErrors(0xFF)
             == std::vector<LineError>{LineError::Break, LineError::Framing, LineError::Parity, LineError::Overrun}));
        QVERIFY(lineErrors(line::DataReady | 0x60 | 0x80).empty());
    }
};

QTEST_GUILESS_MAIN(TestRfc2217Codec)
#include "tst_rfc2217codec.moc"
