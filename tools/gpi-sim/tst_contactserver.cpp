// The contact simulator keeps a bounded share of what a client sends, however much it is.
#include "contactserver.h"

#include <QTcpSocket>
#include <QtTest>

class TestContactServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aClientThatSendsWithoutEndIsKeptBounded()
    {
        ContactServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        qsizetype longestLine = 0;
        connect(&server, &ContactServer::logged, this,
                [&](const QString &line) { longestLine = std::max(longestLine, line.size()); });
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(client.waitForConnected(2000));
        QByteArray sent;
        for (int i = 0; i < 4096; ++i)
            sent += QByteArray::number(i).rightJustified(8, '.') + "\x01\x02";
        client.write(sent);
        QTRY_VERIFY(server.state().received.endsWith(sent.right(100)));
        QCOMPARE(server.state().received, sent.right(ContactServer::MaxKept));
        QVERIFY2(longestLine < 200 + 4 * ContactServer::MaxShown, qPrintable(QString::number(longestLine)));
    }
};

QTEST_GUILESS_MAIN(TestContactServer)
#include "tst_contactserver.moc"
