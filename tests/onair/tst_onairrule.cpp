// The on-air rule on what the fake server's OSC bundles say, frame by frame, in each layout:
// the bundles go through the decoder into a server's state, with a test clock.
#include "onair/cliprules.h"
#include "onair/onairrule.h"
#include "onair/oscdecoder.h"
#include "oscplayout.h"

#include <QtTest>

using namespace vantor::onair;
using namespace std::chrono_literals;
using Version = OscPlayout::Version;
using Fault = OscPlayout::Fault;

namespace {

class TestClock : public OnAirClock
{
public:
    TimePoint t = TimePoint{} + 1h;
    TimePoint now() const override { return t; }
};

constexpr auto Frame = 40ms;

// A server played by the fake one: each frame, its bundle of channel 1 is decoded into the
// state at the test clock's time.
struct Server
{
    TestClock clock;
    OscPlayout playout;
    ServerState state;

    void frames(int n)
    {
        std::vector<LayerUpdate> updates;
        for (int i = 0; i < n; ++i) {
            clock.t += Frame;
            const QByteArray bundle = playout.bundle(1);
            QVERIFY(OscDecoder::decode(std::string_view(bundle.constData(), std::size_t(bundle.size())), updates)
                        .wellFormed);
            state.apply(updates, clock.t);
            playout.tick();
        }
    }
};

} // namespace

Q_DECLARE_METATYPE(Version)
Q_DECLARE_METATYPE(Fault)

class TestOnAirRule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void judgesWhatTheServerPlays_data()
    {
        QTest::addColumn<Version>("version");
        QTest::addColumn<QString>("played"); // as given in PLAY, by whichever client, of a .mov file
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("framesBeforeSend"); // the server already played it
        QTest::addColumn<bool>("silent");          // the server goes silent at the send
        QTest::addColumn<QString>("slotClip");
        QTest::addColumn<QString>("reason"); // empty: on air on the second frame after the send

        const auto row = [](const char *name, Version v, const char *played, Fault f, int before, bool silent,
                            const char *clip, const char *reason) {
            QTest::newRow(name) << v << QString::fromUtf8(played) << f << before << silent << QString::fromUtf8(clip)
                                << QString::fromUtf8(reason);
        };
        const Fault none = Fault::None;
        row("2.0.7 plays", Version::V207, "intro", none, 0, false, "intro", "");
        row("2.2 plays", Version::V22, "INTRO", none, 0, false, "intro.mov", "");
        row("2.3 plays from a folder", Version::V23, "news/intro", none, 0, false, "News/Intro", "");
        row("2.2 spelt otherwise", Version::V22, "NEWS/INTRO.MOV", none, 0, false, "news/intro", "");
        row("2.0.7 the same clip again", Version::V207, "intro", none, 30, false, "intro", "");
        row("2.0.7 another clip", Version::V207, "other", none, 0, false, "intro", "1-10 plays other.mov");
        row("2.2 another clip", Version::V22, "other", none, 0, false, "intro", "1-10 plays other");
        row("2.0.7 paused", Version::V207, "intro", Fault::Pause, 0, false, "intro", "paused");
        row("2.2 paused", Version::V22, "intro", Fault::Pause, 0, false, "intro", "paused");
        row("2.0.7 stalled", Version::V207, "intro", Fault::Stall, 0, false, "intro", "stalled");
        row("2.3 stalled", Version::V23, "intro", Fault::Stall, 0, false, "intro", "stalled");
        row("2.0.7 on another layer", Version::V207, "intro", Fault::OtherLayer, 0, false, "intro", "nothing");
        row("2.2 on another layer", Version::V22, "intro", Fault::OtherLayer, 0, false, "intro", "nothing");
        row("2.2 silent at the send", Version::V22, "intro", none, 30, true, "intro", "no state from the server");
        row("2.0.7 never heard", Version::V207, "", none, 0, true, "intro", "no state from the server");
        row("2.0.7 nothing plays", Version::V207, "", none, 0, false, "intro", "nothing");
    }

    void judgesWhatTheServerPlays()
    {
        QFETCH(Version, version);
        QFETCH(QString, played);
        QFETCH(Fault, fault);
        QFETCH(int, framesBeforeSend);
        QFETCH(bool, silent);
        QFETCH(QString, slotClip);
        QFETCH(QString, reason);

        const QString file = played.toLower().section('.', 0, 0) + ".mov"; // the file it stands for
        Server server;
        server.playout.setVersion(version);
        if (framesBeforeSend > 0) {
            server.playout.play(1, 10, played, file);
            server.frames(framesBeforeSend);
        }
        const TimePoint sentAt = server.clock.t;
        const OnAirRule rule(server.clock, ClipName(slotClip), 1, 10, QStringLiteral("1-10"), sentAt);
        server.playout.setFault(fault);
        if (!played.isEmpty())
            server.playout.play(1, 10, played, file); // the server takes the PLAY at the next frame
        OnAirRule::Verdict v = rule.judge(viewOf(server.state, 1, 10));
        QCOMPARE(v.kind, OnAirRule::Verdict::Kind::Waiting);
        for (int i = 0; i < (silent ? 0 : 12) && v.kind == OnAirRule::Verdict::Kind::Waiting; ++i) {
            server.frames(1);
            v = rule.judge(viewOf(server.state, 1, 10));
        }
        server.clock.t = sentAt + 500ms;
        if (v.kind == OnAirRule::Verdict::Kind::Waiting)
            v = rule.judge(viewOf(server.state, 1, 10));
        if (reason.isEmpty()) {
            QCOMPARE(v.kind, OnAirRule::Verdict::Kind::OnAir);
            QCOMPARE(v.at, sentAt + 2 * Frame); // the second bundle that shows it, the first that can
        } else {
            QCOMPARE(v.kind, OnAirRule::Verdict::Kind::NotOnAir);
            QCOMPARE(v.reason, reason);
        }
    }

    // The server's rules for clip names, against what each layout reports.
    void clipNamesFollowTheServersRules_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<bool>("layered");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("names");

        const auto row = [](const char *tag, const char *clip, bool layered, const char *name, const char *path,
                            bool names) {
            QTest::newRow(tag) << QString::fromUtf8(clip) << layered << QString::fromUtf8(name)
                               << QString::fromUtf8(path) << names;
        };
        row("2.0.7 case and extension", "Intro", false, "", "intro.MOV", true);
        row("2.0.7 folders", "news/intro.mov", false, "", "news/intro.mov", true);
        row("2.0.7 another folder", "intro", false, "", "news/intro.mov", false);
        row("2.0.7 another extension", "intro.mp4", false, "", "intro.mov", false);
        row("2.0.7 a dot in the name", "intro.v2", false, "", "intro.v2.mov", true);
        row("2.2 name as given", "intro.mov", true, "INTRO", "", true);
        row("2.2 full path", "news/intro", true, "", "D:/media/news/intro.mov", true);
        row("2.2 backslashes", "news/intro", true, "", "D:\\media\\News\\Intro.mov", true);
        row("2.2 not at a folder boundary", "intro", true, "", "/media/xintro.mov", false);
        row("2.2 another clip's name", "intro", true, "outro", "/media/outro.mov", false);
        row("Unicode case", "Brücke", false, "", "BRÜCKE.mov", true);
    }

    void clipNamesFollowTheServersRules()
    {
        QFETCH(QString, clip);
        QFETCH(bool, layered);
        QFETCH(QString, name);
        QFETCH(QString, path);
        QFETCH(bool, names);
        Playing p;
        p.name = name.toStdString();
        p.path = path.toStdString();
        QCOMPARE(ClipName(clip).isNamedBy(p, layered ? Layout::Layered : Layout::Classic), names);
    }

    void aParameterIsReadAsTheServerReadsIt()
    {
        QCOMPARE(ClipName::fromParameter(u"\"my clip.mov\""), QStringLiteral("my clip.mov"));
        QCOMPARE(ClipName::fromParameter(u"\"say \\\"hi\\\" \\\\ now\""), QStringLiteral("say \"hi\" \\ now"));
        QCOMPARE(ClipName::fromParameter(u"C:\\media\\clip"), QStringLiteral("C:edialip"));
    }

    // A bundle element whose size, plus its own four bytes, wraps around 32 bits is malformed (a
    // parser that wraps too reads the same element for ever), at the top and nested.
    void anElementSizeThatWrapsIsMalformed()
    {
        const QByteArray head = QByteArray("#bundle\0", 8) + QByteArray(8, '\0');
        const QByteArray wraps = head + QByteArray::fromHex("fffffffc") + QByteArray(8, '\0');
        const QByteArray nested = head + QByteArray::fromHex("0000001c") + wraps;
        for (const QByteArray &datagram : {wraps, nested}) {
            std::vector<LayerUpdate> updates;
            QVERIFY(!OscDecoder::decode(std::string_view(datagram.constData(), std::size_t(datagram.size())), updates)
                         .wellFormed);
        }
    }

    // The pre-load check: 2.2 and later report the background; 2.0.7 does not say.
    void aPreloadedClipIsFoundInTheBackground_data()
    {
        QTest::addColumn<Version>("version");
        QTest::addColumn<QString>("loaded");
        QTest::addColumn<int>("expected"); // -1: the server does not say
        QTest::newRow("2.2 loaded") << Version::V22 << "intro" << 1;
        QTest::newRow("2.2 another") << Version::V22 << "outro" << 0;
        QTest::newRow("2.3 nothing") << Version::V23 << "" << 0;
        QTest::newRow("2.0.7") << Version::V207 << "intro" << -1;
    }

    void aPreloadedClipIsFoundInTheBackground()
    {
        QFETCH(Version, version);
        QFETCH(QString, loaded);
        QFETCH(int, expected);
        Server server;
        server.playout.setVersion(version);
        server.playout.play(1, 10, QStringLiteral("bars"), QStringLiteral("bars.mov"));
        if (!loaded.isEmpty())
            server.playout.loadBackground(1, 10, loaded, loaded + QStringLiteral(".mov"));
        server.frames(3);
        const auto found = OnAirRule::inBackground(viewOf(server.state, 1, 10), ClipName(QStringLiteral("intro")));
        QCOMPARE(found ? int(*found) : -1, expected);
    }
};

QTEST_GUILESS_MAIN(TestOnAirRule)
#include "tst_onairrule.moc"
