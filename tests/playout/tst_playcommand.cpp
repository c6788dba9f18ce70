#include "playout/amcpreplies.h"
#include "playout/playcommand.h"

#include <QtTest>

using vantor::playout::AmcpReplies;
using vantor::playout::PlayCommand;
using vantor::playout::SlotAddress;

class TestPlayCommand : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bytes_data()
    {
        QTest::addColumn<QString>("movie");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("plain") << "intro.mov" << QByteArray("PLAY 1 intro.mov\r\n");
        QTest::newRow("sub-folder") << "news/intro" << QByteArray("PLAY 1 news/intro\r\n");
        QTest::newRow("space quoted") << "my clip.mov" << QByteArray("PLAY 1 \"my clip.mov\"\r\n");
        QTest::newRow("spaces only") << "  " << QByteArray("PLAY 1 \"  \"\r\n");
        QTest::newRow("quote escaped") << "say \"hi\"" << QByteArray("PLAY 1 \"say \\\"hi\\\"\"\r\n");
        QTest::newRow("backslash escaped") << "C:\\media\\clip" << QByteArray("PLAY 1 \"C:\\\\media\\\\clip\"\r\n");
        QTest::newRow("utf-8 two bytes") << QString::fromUtf8("café") << QByteArray("PLAY 1 caf\xc3\xa9\r\n");
        QTest::newRow("utf-8 three bytes")
            << QString::fromUtf8("日本") << QByteArray("PLAY 1 \xe6\x97\xa5\xe6\x9c\xac\r\n");
        QTest::newRow("utf-8 surrogate pair")
            << QString::fromUtf8("a\xf0\x9f\x8e\xac") << QByteArray("PLAY 1 a\xf0\x9f\x8e\xac\r\n");
        QTest::newRow("utf-8 quoted") << QString::fromUtf8("é t") << QByteArray("PLAY 1 \"\xc3\xa9 t\"\r\n");
    }

    void bytes()
    {
        QFETCH(QString, movie);
        QFETCH(QByteArray, bytes);
        PlayCommand command;
        QVERIFY(command.build(movie));
        QCOMPARE(command.bytes(), bytes);
    }

    void refused_data()
    {
        QTest::addColumn<QString>("movie");
        QTest::newRow("CR LF smuggles a command") << "a\r\nSTOP 1";
        QTest::newRow("bare LF") << "a\nb";
        QTest::newRow("bare CR") << "a\rb";
        QTest::newRow("tab") << "a\tb";
        QTest::newRow("NUL") << QString(QChar(0)) + "x";
        QTest::newRow("DEL") << "a\x7f";
        QTest::newRow("C1 next line") << QString("a") + QChar(0x85);
        QTest::newRow("lone high surrogate") << QString("a") + QChar(0xd83c);
        QTest::newRow("lone low surrogate") << QString(QChar(0xdfac)) + "a";
    }

    void refused()
    {
        QFETCH(QString, movie);
        PlayCommand command;
        QVERIFY(command.build(u"first"));
        QVERIFY(!command.build(movie));
        QVERIFY(command.bytes().isEmpty());
    }

    // Every verb, on a channel with or without a layer; a blank line means refused.
    void commands_data()
    {
        QTest::addColumn<int>("verb");
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("layer");
        QTest::addColumn<QString>("movie");
        QTest::addColumn<QByteArray>("bytes");
        using V = PlayCommand::Verb;
        constexpr int none = SlotAddress::NoLayer;
        QTest::newRow("play, channel only") << int(V::Play) << 1 << none << "a.mov" << QByteArray("PLAY 1 a.mov\r\n");
        QTest::newRow("play on a layer") << int(V::Play) << 2 << 10 << "my clip"
                                         << QByteArray("PLAY 2-10 \"my clip\"\r\n");
        QTest::newRow("bare play") << int(V::Play) << 1 << 10 << "" << QByteArray("PLAY 1-10\r\n");
        QTest::newRow("load") << int(V::LoadBackground) << 99 << 9999 << "a b"
                              << QByteArray("LOADBG 99-9999 \"a b\"\r\n");
        QTest::newRow("stop") << int(V::Stop) << 1 << 0 << "ignored" << QByteArray("STOP 1-0\r\n");
        QTest::newRow("clear channel") << int(V::Clear) << 3 << none << "" << QByteArray("CLEAR 3\r\n");
        QTest::newRow("load without movie") << int(V::LoadBackground) << 1 << 10 << "" << QByteArray();
        QTest::newRow("channel 0") << int(V::Stop) << 0 << 1 << "" << QByteArray();
        QTest::newRow("channel 100") << int(V::Play) << 100 << none << "a" << QByteArray();
        QTest::newRow("layer 10000") << int(V::Clear) << 1 << 10000 << "" << QByteArray();
        QTest::newRow("movie with CR LF") << int(V::LoadBackground) << 1 << 10 << "a\r\nCLEAR 1" << QByteArray();
    }

    void commands()
    {
        QFETCH(int, verb);
        QFETCH(int, channel);
        QFETCH(int, layer);
        QFETCH(QString, movie);
        QFETCH(QByteArray, bytes);
        PlayCommand command;
        QCOMPARE(command.build(PlayCommand::Verb(verb), SlotAddress{channel, layer}, movie), !bytes.isEmpty());
        QCOMPARE(command.bytes(), bytes);
    }

    void bufferReusedWithoutLeftovers()
    {
        PlayCommand command;
        QVERIFY(command.build(u"a rather long movie name.mov"));
        QVERIFY(command.build(u"x"));
        QCOMPARE(command.bytes(), QByteArray("PLAY 1 x\r\n"));
    }

    // Replies: only failures come out, framed by data blocks and echoes.
    void replies_data()
    {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QByteArrayList>("failures");
        QTest::newRow("success") << QByteArrayList{"202 PLAY OK\r\n"} << QByteArrayList{};
        QTest::newRow("not found") << QByteArrayList{"404 PLAY FAILED\r\n"} << QByteArrayList{"404 PLAY FAILED"};
        QTest::newRow("several, old wording")
            << QByteArrayList{"202 PLAY OK\r\n501 PLAY FAILED\r\n504 QUEUE OVERFLOW\r\n"}
            << QByteArrayList{"501 PLAY FAILED", "504 QUEUE OVERFLOW"};
        QTest::newRow("400 with its echo")
            << QByteArrayList{"400 ERROR\r\n404 FAKE ECHO\r\n202 PLAY OK\r\n"} << QByteArrayList{"400 ERROR"};
        QTest::newRow("200 data block")
            << QByteArrayList{"200 INFO OK\r\n401 data\r\n500 data\r\n\r\n403 PLAY FAILED\r\n"}
            << QByteArrayList{"403 PLAY FAILED"};
        QTest::newRow("201 one data line")
            << QByteArrayList{"201 INFO OK\r\n404 data\r\n402 PLAY ERROR\r\n"} << QByteArrayList{"402 PLAY ERROR"};
        QTest::newRow("split across reads")
            << QByteArrayList{"40", "4 PLAY F", "AILED\r", "\n"} << QByteArrayList{"404 PLAY FAILED"};
        QTest::newRow("bare LF ends a reply line")
            << QByteArrayList{"404 PLAY FAILED\n"} << QByteArrayList{"404 PLAY FAILED"};
        QTest::newRow("not a status line") << QByteArrayList{"PONG\r\n4040 x\r\n40\r\n"} << QByteArrayList{};
    }

    void replies()
    {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QByteArrayList, failures);
        AmcpReplies reader;
        QByteArrayList seen;
        for (const QByteArray &chunk : chunks)
            seen += reader.feed(chunk);
        QCOMPARE(seen, failures);
    }

    // A reply left unfinished does not hide the replies that follow it, once commands of ours
    // are under way; a well-formed data block or echo is still read as one.
    void resynchronisesAfterAnUnfinishedReply_data()
    {
        QTest::addColumn<int>("sent");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArrayList>("failures");
        const QByteArray fail5 = QByteArray("404 PLAY FAILED\r\n").repeated(5);
        const QByteArrayList five(5, "404 PLAY FAILED");
        QTest::newRow("200 without its empty line, one reply per command") << 6 << "200 PLAY OK\r\n" + fail5 << five;
        QTest::newRow("200 without its empty line, all for one command") << 1 << "200 PLAY OK\r\n" + fail5 << five;
        QTest::newRow("400 without its echo")
            << 2 << QByteArray("400 ERROR\r\n404 PLAY FAILED\r\n") << QByteArrayList{"400 ERROR", "404 PLAY FAILED"};
        QTest::newRow("201 without its data line")
            << 2 << QByteArray("201 PLAY OK\r\n503 PLAY FAILED\r\n") << QByteArrayList{"503 PLAY FAILED"};
        QTest::newRow("400 with the echo of our command")
            << 2 << QByteArray("400 ERROR\r\nPLAY 1 a.mov\r\n202 PLAY OK\r\n") << QByteArrayList{"400 ERROR"};
        QTest::newRow("200 with its data and empty line")
            << 2 << QByteArray("200 PLAY OK\r\n\"a.mov\" MOVIE\r\n\r\n404 PLAY FAILED\r\n")
            << QByteArrayList{"404 PLAY FAILED"};
    }

    void resynchronisesAfterAnUnfinishedReply()
    {
        QFETCH(int, sent);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArrayList, failures);
        AmcpReplies reader;
        reader.sent(sent);
        QCOMPARE(reader.feed(bytes), failures);
    }

    // Replies name their command's verb, in any case, or none; a 400's echo must be of its
    // command; PONG ends an unfinished 200 when a PING waits. "!" marks a fault.
    void repliesNameTheirCommand_data()
    {
        QTest::addColumn<QByteArrayList>("verbs");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArrayList>("replies");
        QTest::newRow("own verb, any case")
            << QByteArrayList{"PLAY", "LOADBG"} << QByteArray("202 play OK\r\n404 LOADBG FAILED\r\n")
            << QByteArrayList{"202", "404"};
        QTest::newRow("no verb named") << QByteArrayList{"PLAY", "STOP", "CLEAR"}
                                       << QByteArray("504 QUEUE OVERFLOW\r\n400 ERROR\r\nSTOP 1-10\r\n500 FAILED\r\n")
                                       << QByteArrayList{"504", "400", "500"};
        QTest::newRow("older server's PING")
            << QByteArrayList{"PING", "PING"} << QByteArray("400 ERROR\r\nPING\r\nPONG\r\n")
            << QByteArrayList{"400", "-1"};
        QTest::newRow("echo of another command")
            << QByteArrayList{"PLAY"} << QByteArray("400 ERROR\r\nSTOP 1\r\n") << QByteArrayList{"400", "-1!"};
        QTest::newRow("PONG ends an unfinished 200")
            << QByteArrayList{"PLAY", "PING"} << QByteArray("200 PLAY OK\r\ndata\r\nPONG\r\n")
            << QByteArrayList{"200", "-1"};
        QTest::newRow("nothing read after a fault")
            << QByteArrayList{"PLAY", "PLAY"} << QByteArray("202 STOP OK\r\n202 PLAY OK\r\n") << QByteArrayList{"202!"};
    }
    void repliesNameTheirCommand()
    {
        QFETCH(QByteArrayList, verbs);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArrayList, replies);
        AmcpReplies reader;
        for (const QByteArray &verb : verbs)
            reader.sent(verb);
        QByteArrayList seen;
        for (const AmcpReplies::Reply &reply : reader.read(bytes))
            seen.append(QByteArray::number(reply.code) + (reply.fault == AmcpReplies::Fault::None ? "" : "!"));
        QCOMPARE(seen, replies);
    }

    void overlongReplyLineIsBounded()
    {
        AmcpReplies reader;
        const QByteArray junk(AmcpReplies::MaxLine * 3, 'x');
        QVERIFY(reader.feed("500 " + junk).isEmpty());
        const QByteArrayList failures = reader.feed("\r\n");
        QCOMPARE(failures.size(), 1);
        QCOMPARE(failures.first().size(), AmcpReplies::MaxLine);
        QCOMPARE(reader.feed("404 X\r\n"), QByteArrayList{"404 X"});
    }
};

QTEST_GUILESS_MAIN(TestPlayCommand)
#include "tst_playcommand.moc"
