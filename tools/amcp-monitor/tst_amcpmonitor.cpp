// The playout-server monitor: how it reads command lines and what it answers.
#include "amcpmonitor.h"

#include <QTcpSocket>
#include <QtTest>

class TestAmcpMonitor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void splitsParametersAsTheServerDoes()
    {
        using L = QStringList;
        QCOMPARE(AmcpMonitor::parameters("PLAY 1  intro.mov"), (L{"PLAY", "1", "intro.mov"}));
        QCOMPARE(AmcpMonitor::parameters("PLAY 1 \"my clip.mov\""), (L{"PLAY", "1", "my clip.mov"}));
        QCOMPARE(AmcpMonitor::parameters("PLAY 1 \"say \\\"hi\\\" \\\\ now\""), (L{"PLAY", "1", "say \"hi\" \\ now"}));
        QCOMPARE(AmcpMonitor::parameters("PLAY 1 C:\\media\\clip"), (L{"PLAY", "1", "C:edialip"}));
        QCOMPARE(AmcpMonitor::parameters("PLAY 1 \"\""), (L{"PLAY", "1", ""}));
    }

    void answersLikeThePlayoutServer()
    {
        AmcpMonitor m;
        QCOMPARE(m.answer("PLAY 1 anything.mov"), QByteArray("202 PLAY OK\r\n"));
        m.setClips({"intro.mov", "news/Head.MOV"});
        QCOMPARE(m.answer("play 1 INTRO.mov"), QByteArray("202 PLAY OK\r\n"));
        QCOMPARE(m.answer("PLAY 1-10 news/head"), QByteArray("202 PLAY OK\r\n"));
        QCOMPARE(m.answer("PLAY 1 \"intro.mov\""), QByteArray("202 PLAY OK\r\n"));
        QCOMPARE(m.answer("PLAY 1 outro.mov"), QByteArray("404 PLAY FAILED\r\n"));
        QCOMPARE(m.answer("PLAY 1 intro"), QByteArray("202 PLAY OK\r\n"));
        QCOMPARE(m.answer("PLAY 1"), QByteArray("402 PLAY FAILED\r\n"));
        QCOMPARE(m.answer("PLAY 2 intro.mov"), QByteArray("401 PLAY ERROR\r\n"));
        QCOMPARE(m.answer("LOADBG 1-10 outro.mov"), QByteArray("404 LOADBG FAILED\r\n"));
        QCOMPARE(m.answer("PLAY 1-10"), QByteArray("402 PLAY FAILED\r\n")); // nothing loaded there
        QCOMPARE(m.answer("CLEAR 1"), QByteArray("202 CLEAR OK\r\n"));
        QCOMPARE(m.answer("PING"), QByteArray("PONG\r\n"));
        QCOMPARE(m.answer("HELLO there"), QByteArray("400 ERROR\r\nHELLO there\r\n"));
    }

    void readsLinesEndedByCrLfOnly()
    {
        AmcpMonitor m;
        QVERIFY(m.listen(QHostAddress::LocalHost, 0));
        QStringList lines;
        connect(&m, &AmcpMonitor::received, this,
                [&lines](const QString &, const QString &line, const QByteArray &) { lines << line; });
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m.port());
        QVERIFY(client.waitForConnected(2000));
        client.write("PLAY 1 a.mov\r\nPLAY 1 b");
        client.flush();
        QTRY_COMPARE(lines, QStringList{"PLAY 1 a.mov"});
        client.write(".mov\nstill\r\n");
        client.flush();
        QTRY_COMPARE(lines.size(), 2);
        QCOMPARE(lines.last(), QStringLiteral("PLAY 1 b.mov\nstill"));
        QTRY_COMPARE(client.bytesAvailable(), qint64(2 * 13));
        QCOMPARE(client.readAll(), QByteArray("202 PLAY OK\r\n202 PLAY OK\r\n"));
    }

    // An over-long line is dropped whole: neither its tail nor any part of it is answered.
    void dropsAnOverlongLineWhole()
    {
        AmcpMonitor m;
        QVERIFY(m.listen(QHostAddress::LocalHost, 0));
        QByteArrayList lines;
        QList<qint64> dropped;
        connect(&m, &AmcpMonitor::received, this,
                [&lines](const QString &, const QByteArray &line, const QByteArray &) { lines << line; });
        connect(&m, &AmcpMonitor::dropped, this, [&dropped](const QString &, qint64 size) { dropped << size; });
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m.port());
        QVERIFY(client.waitForConnected(2000));
        const QByteArray junk(AmcpMonitor::MaxLine + 1000, 'x');
        client.write(junk + "PLAY 1 tail.mov\r");
        client.write("\nPLAY 1 x" + junk + "\r\nPLAY 1 a.mov\r\n");
        QTRY_COMPARE(lines, QByteArrayList{"PLAY 1 a.mov"});
        const qint64 first = junk.size() + 17;
        QCOMPARE(dropped, (QList<qint64>{first, junk.size() + 10}));
        QTRY_COMPARE(client.bytesAvailable(), qint64(13));
        QCOMPARE(client.readAll(), QByteArray("202 PLAY OK\r\n"));
    }

    // A clip that plays is announced with its channel-layer, for the fake server's OSC; a
    // refused one is not.
    void announcesTheClipsThatPlay()
    {
        AmcpMonitor m;
        m.setClips({"news/intro.mov"});
        QVERIFY(m.listen(QHostAddress::LocalHost, 0));
        QList<QStringList> played;
        connect(&m, &AmcpMonitor::played, this,
                [&played](const QHostAddress &client, int c, int l, const QString &clip) {
                    played << QStringList{client.toString(), QString::number(c), QString::number(l), clip};
                });
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m.port());
        QVERIFY(client.waitForConnected(2000));
        client.write("PLAY 1-10 other\r\nPLAY 1-10 \"NEWS/INTRO\"\r\nPLAY 1 news/intro\r\n"
                     "LOADBG 1-20 news/intro\r\nPLAY 1-20\r\nPLAY 1-20\r\n");
        QTRY_COMPARE(played.size(), 3);
        QCOMPARE(played.at(0), (QStringList{"127.0.0.1", "1", "10", "NEWS/INTRO"}));
        QCOMPARE(played.at(1), (QStringList{"127.0.0.1", "1", "0", "news/intro"}));
        QCOMPARE(played.at(2), (QStringList{"127.0.0.1", "1", "20", "news/intro"})); // the loaded clip, once
        QByteArray replies;
        QTRY_VERIFY((replies += client.readAll()).endsWith("402 PLAY FAILED\r\n"));
        QCOMPARE(replies,
                 "404 PLAY FAILED\r\n202 PLAY OK\r\n202 PLAY OK\r\n202 LOADBG OK\r\n202 PLAY OK\r\n402 PLAY "
                 "FAILED\r\n");
        QCOMPARE(m.fileOf("NEWS/INTRO"), QStringLiteral("news/intro.mov"));
    }

    void printsClientBytesEscaped()
    {
        QCOMPARE(AmcpMonitor::printable("PLAY 1 \"my clip\" Br\xc3\xbc"
                                        "cke \xe6\x97\xa5"),
                 QByteArray("PLAY 1 \"my clip\" Br\xc3\xbc"
                            "cke \xe6\x97\xa5"));
        QCOMPARE(AmcpMonitor::printable("\x1b]0;owned\x07\r\n\x7f\\"),
                 QByteArray("\\x1b]0;owned\\x07\\x0d\\x0a\\x7f\\\\"));
        // C1 controls, bidi overrides and broken UTF-8 are escaped byte by byte.
        QCOMPARE(AmcpMonitor::printable("\xc2\x9b"
                                        "a\xe2\x80\xae"
                                        "b\xff\xc3"),
                 QByteArray("\\xc2\\x9ba\\xe2\\x80\\xaeb\\xff\\xc3"));
    }
};

QTEST_GUILESS_MAIN(TestAmcpMonitor)
#include "tst_amcpmonitor.moc"
