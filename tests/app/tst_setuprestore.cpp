// The set-up restore: the operator's set-up is saved at each change and comes back at the next
// start through the window's own procedures.
#include "logmessages.h"
#include "windowfixture.h"

#include "app/station/setuprestore.h"
#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"
#include "playout/triggerslots.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vantor;
using app::Setup;
using app::SetupFile;

namespace {

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A window started with --restore FILE (and the server's media folder /srv/media).
struct Station
{
    WindowFixture f{options()};
    app::SetupRestore restore;

    static app::Options options()
    {
        app::Options o;
        o.mediaFolder = QStringLiteral("/srv/media");
        return o;
    }
    explicit Station(const QString &file)
        : restore(file, f.w(), f.port, f.movies, options().mediaFolder)
    {
        restore.restore();
    }

    template <class W = QWidget>
    W *get(const QString &name)
    {
        return f.w().findChild<W *>(name);
    }
    QCheckBox *box(int slot) { return get<QCheckBox>(QStringLiteral("chkTRIGGER(%1)").arg(slot)); }
    app::ClickableLabel *label(int slot)
    {
        return get<app::ClickableLabel>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot));
    }
    void pick(int slot, const QString &path)
    {
        f.chooser.choices.push_back(path);
        QTest::mouseDClick(label(slot), Qt::LeftButton);
    }
    void choose(const char *list, const QString &text)
    {
        auto *combo = get<QComboBox>(QLatin1String(list));
        combo->setCurrentIndex(combo->findText(text));
        Q_EMIT combo->activated(combo->currentIndex());
    }
    // Waits until the file holds the set-up as the window last handed it over; the writer
    // runs niced, so a loaded machine may keep it waiting long.
    bool saved()
    {
        return QTest::qWaitFor([&] { return SetupFile::parse(restore.file().path()).setup == restore.setup(); }, 60000);
    }
    QStringList history() const { return logMessages(f.window->history()); }
    QStringList portLog() const { return logMessages(f.window->portLog()); }
};

} // namespace

class TestSetupRestore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void operatorSetUpComesBack()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("station/setup.ini");
        Setup before;
        {
            Station a(file);
            QCOMPARE(a.history(), QStringList{"No set-up in " + file + " yet: starting empty"});
            QVERIFY(a.saved());
            a.choose("cboComm", "3");
            a.choose("cboBaubRate", "19200");
            a.choose("cboParity", "E");
            a.get<QPushButton>("cmdCOMStatus")->click();
            a.box(0)->click();
            a.pick(0, "/srv/media/news/a,b \"c\";#=[w]\\v.mov");
            a.box(1)->click();
            a.pick(1, "/srv/media/@Invalid()");
            a.box(1)->click(); // unarmed, its movie kept
            a.box(4)->click();
            a.pick(4, QStringLiteral("/elsewhere/ \u00e9\t1f.mov "));
            using playout::SlotAction;
            for (auto [slot, command] : {std::pair{0, playout::SlotCommand{{2, 10}, SlotAction::PlayPreloaded}},
                                         {1, {{99, 0}, SlotAction::Stop}},
                                         {4, {{1, playout::SlotAddress::NoLayer}, SlotAction::Clear}}})
                QVERIFY(a.f.w().triggerSlots().setCommand(slot, command));
            a.get<QPushButton>("cmdCASPAR")->click();
            QTest::mouseClick(a.get("lblPROP"), Qt::LeftButton);
            before = a.restore.setup();
            QCOMPARE(before.movies[0], "news/a,b \"c\";#=[w]\\v.mov");
            QCOMPARE(before.movies[1], "@Invalid()");
            QCOMPARE(before.movies[4], QStringLiteral(" \u00e9\t1f.mov "));
            QVERIFY(before.portOpen && before.connected && before.collapsed && before.armed[0] && !before.armed[1]);
            QVERIFY(a.saved());
        }
        const QByteArray written = readBytes(file);

        Station b(file);
        QCOMPARE(b.restore.setup(), before);
        QCOMPARE(readBytes(file), written); // nothing to correct
        QCOMPARE(b.get<QComboBox>("cboBaubRate")->currentText(), "19200");
        QCOMPARE(b.get<QPushButton>("cmdCOMStatus")->text(), "Close COM Port");
        QCOMPARE(b.f.port.commPort(), 3);
        QCOMPARE(b.f.port.settings().toUpper(), "19200,E,8,1");
        for (int i = 0; i < Setup::Slots; ++i) {
            QCOMPARE(b.box(i)->isChecked(), before.armed[i]);
            QCOMPARE(b.f.w().triggerSlots().movie(i), before.movies[i]);
            QCOMPARE(b.label(i)->isEnabled(), before.armed[i]);
        }
        QCOMPARE(b.label(1)->text(), "Stop");
        // A file from before slots had commands plays every slot on channel 1.
        const QString old =
            QString::fromUtf8(written).remove(QRegularExpression("\\n\\w+_(channel|layer|action)=[^\\n]*"));
        QFile older(dir.filePath("older.ini"));
        QVERIFY(older.open(QIODevice::WriteOnly) && older.write(old.toUtf8()) > 0);
        older.close();
        const SetupFile::Loaded loaded = SetupFile::parse(older.fileName());
        QCOMPARE(loaded.problems, QStringList());
        QVERIFY(loaded.setup.commands == decltype(before.commands){});
        QCOMPARE(b.get<QLabel>("lblPROP")->text(), "6");
        QTRY_COMPARE(b.get<app::Lamp>("shpCASPAR")->fillColor(), app::Lamp::Green);
        // Logged as the operator's own steps are, then where the set-up came from.
        QVERIFY(b.portLog().contains("Changed to Com Port 3"));
        QVERIFY(b.portLog().contains("Opening COM Port 3"));
        QVERIFY(b.history().contains("Set-up restored from " + file));
        QCOMPARE(b.f.chooser.shown, 0);
    }

    void damagedFileIsKeptAndWhatCouldBeReadComesBack()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("setup.ini");
        const QByteArray damaged =
            "[port]\nspeed=19200\nopen=perhaps\n[triggers]\ndsr_on=true\ndsr_on_movie=on.mov\n"
            "dsr_change=true\ncts_off=true\ncts_off_movie=\"off.mov\"\n\xff\x01 garbage\n[caspar";
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(damaged) == damaged.size());
        out.close();

        Station s(file);
        QCOMPARE(readBytes(file + ".bad"), damaged);
        const QStringList stars = s.history().filter(QRegularExpression("^\\*\\*\\*"));
        QCOMPARE(stars.size(), 1);
        QVERIFY2(stars[0].startsWith("***Set-up file " + file + " damaged (")
                     && stars[0].contains("missing port/number, port/parity")
                     && stars[0].contains("port/open has an invalid value")
                     && stars[0].contains("DSR CHANGE cannot be armed")
                     && stars[0].endsWith("kept as " + file + ".bad"),
                 qPrintable(stars[0]));
        QCOMPARE(s.history().last(), "Set-up restored from " + file);
        QCOMPARE(s.get<QComboBox>("cboBaubRate")->currentText(), "19200");
        QVERIFY(s.box(3)->isChecked() && s.box(1)->isChecked() && !s.box(5)->isChecked());
        QCOMPARE(s.label(3)->text(), "on.mov");
        QCOMPARE(s.label(1)->text(), "off.mov");
        QVERIFY(s.saved());
        QVERIFY(SetupFile::parse(file).problems.isEmpty());
    }

    void oversizedFileIsMovedAsideUnread()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("setup.ini");
        const QByteArray big(SetupFile::MaxSize + 1, '[');
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(big) == big.size());
        out.close();
        Station s(file);
        QCOMPARE(s.history().filter("***").size(), 1);
        QVERIFY(s.history().first().contains("larger than 65536 bytes"));
        QCOMPARE(readBytes(file + ".bad"), big);
        QVERIFY(s.saved());
    }

    // The file keeps what the operator asked for: a port that fails or goes away is opened
    // again at the next start.
    void aLostPortStaysOpenInTheFile()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("setup.ini");
        {
            Station a(file);
            a.get<QPushButton>("cmdCOMStatus")->click();
            QVERIFY(a.saved());
            a.f.port.lose(8005, "Port lost");
            QTRY_COMPARE(a.get<QPushButton>("cmdCOMStatus")->text(), "Open COM Port");
            a.box(2)->click();
            QVERIFY(a.saved());
        }
        QVERIFY(SetupFile::parse(file).setup.portOpen);
        QVERIFY(SetupFile::parse(file).setup.armed[2]);
        Station b(file);
        QCOMPARE(b.get<QPushButton>("cmdCOMStatus")->text(), "Close COM Port");
    }

    // Control characters, hex digits right after them, and the file stays small.
    void controlCharactersComeBackAsSaved()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("setup.ini");
        Setup setup;
        for (QString &movie : setup.movies)
            movie = QStringLiteral("\x01"
                                   "fade\x1f"
                                   "0A\x7f"
                                   "b")
                        .repeated(400);
        const QByteArray bytes = SetupFile::format(setup);
        QVERIFY(bytes.size() < 3 * Setup::Slots * setup.movies[0].size());
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
        out.close();
        const SetupFile::Loaded back = SetupFile::parse(file);
        QVERIFY2(back.problems.isEmpty(), qPrintable(back.problems.join("; ")));
        QCOMPARE(back.setup, setup);
    }

    // Through a link the target is replaced, in its own folder; the link stays.
    void aLinkedFileIsSavedInItsOwnFolder()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("setup.ini");
        const QString target = dir.filePath("real/setup.ini");
        QVERIFY(QDir(dir.path()).mkdir("real"));
        QFile out(target);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(SetupFile::format({})) > 0);
        out.close();
        QVERIFY(QFile::link(target, file));
        Station s(file);
        s.box(0)->click();
        QVERIFY(s.saved());
        QVERIFY(SetupFile::parse(target).setup.armed[0]);
        QVERIFY(QFileInfo(file).isSymLink());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System).size(), 1); // the link only
    }

    // Two slots pre-loading one layer: the second is refused, and rather than fire Play on
    // channel 1 it is not armed.
    void aRefusedPreloadIsNotArmed()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("setup.ini");
        Setup setup;
        setup.armed = {true, true};
        setup.movies = {"a.mov", "b.mov"};
        setup.commands[0] = setup.commands[1] = {{1, 10}, playout::SlotAction::PlayPreloaded};
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(SetupFile::format(setup)) > 0);
        out.close();
        Station s(file);
        QVERIFY(s.box(0)->isChecked() && !s.box(1)->isChecked());
        QCOMPARE(
            s.history().filter(QRegularExpression(" damaged \\(CTS OFF command .+ refused, so it is not armed")).size(),
            1);
    }

    void unsavableFileIsToldOnce()
    {
        QTemporaryDir dir;
        QFile regular(dir.filePath("regular"));
        QVERIFY(regular.open(QIODevice::WriteOnly));
        const QString file = regular.fileName() + "/setup.ini";
        Station s(file);
        for (int i = 0; i < 4; ++i)
            s.box(0)->click();
        QTRY_COMPARE(s.history().filter("***Set-up not saved to " + file + ": ").size(), 1);
        QTest::qWait(200);
        QCOMPARE(s.history().filter("***").size(), 1);
    }
};

QTEST_MAIN(TestSetupRestore)
#include "tst_setuprestore.moc"
