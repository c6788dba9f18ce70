#include "app/station/setuprestore.h"

#include "app/station/stationnotice.h"
#include "app/station/storedmoviechooser.h"
#include "app/window/clickablelabel.h"
#include "app/window/mainwindow.h"

#include "playout/casparlink.h"
#include "playout/triggerslots.h"
#include "serial/portsession.h"
#include "serial/service/serialportservice.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

namespace vantor::app {

namespace {
const QString Connected = QStringLiteral("Disconnect");
const QString Collapsed = QStringLiteral("6");

template <class W>
W *control(MainWindow &window, const QString &name)
{
    W *widget = window.findChild<W *>(name);
    Q_ASSERT_X(widget, "SetupRestore", qPrintable(name));
    return widget;
}
} // namespace

SetupRestore::SetupRestore(const QString &path, MainWindow &window, serial::SerialPortService &port,
                           StoredMovieChooser &chooser, const QString &mediaFolder, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_port(port)
    , m_chooser(chooser)
    , m_mediaFolder(mediaFolder)
    , m_file(path)
    , m_portNumber(control<QComboBox>(window, QStringLiteral("cboComm")))
    , m_settings{control<QComboBox>(window, QStringLiteral("cboBaubRate")),
                 control<QComboBox>(window, QStringLiteral("cboParity")),
                 control<QComboBox>(window, QStringLiteral("cboDataBits")),
                 control<QComboBox>(window, QStringLiteral("cboStopBits"))}
    , m_portButton(control<QPushButton>(window, QStringLiteral("cmdCOMStatus")))
    , m_listPorts(control<QPushButton>(window, QStringLiteral("cmdGetComPorts")))
    , m_server(control<QLineEdit>(window, QStringLiteral("txtCASPARIP")))
    , m_serverButton(control<QPushButton>(window, QStringLiteral("cmdCASPAR")))
    , m_collapse(control<ClickableLabel>(window, QStringLiteral("lblPROP")))
{
    for (int i = 0; i < Setup::Slots; ++i) {
        m_boxes[size_t(i)] = control<QCheckBox>(window, QStringLiteral("chkTRIGGER(%1)").arg(i));
    }
    connect(&m_file, &SetupFile::failed, this, [this](const QString &reason) {
        if (!std::exchange(m_saveFailing, true))
            say(QStringLiteral("***Set-up not saved to %1: %2").arg(m_file.path(), reason));
    });
    connect(&m_file, &SetupFile::saved, this, [this] {
        if (std::exchange(m_saveFailing, false))
            say(QStringLiteral("Set-up saved to %1 again").arg(m_file.path()));
    });
}

void SetupRestore::say(const QString &line)
{
    stationNotice(m_window, line);
}

void SetupRestore::restore()
{
    SetupFile::Loaded loaded = m_file.load();
    if (loaded.readable)
        replay(loaded.setup, loaded.problems);
    m_setup = snapshot();
    if (loaded.readable) {
        // What the operator asked for, even where the world did not follow. The backup server
        // is the file's: one given on the command line serves this run only.
        m_setup.portOpen = loaded.setup.portOpen;
        m_setup.backup = loaded.setup.backup;
    }
    if (!loaded.regular) {
        say(QStringLiteral("***Set-up file %1 is not a regular file: left as it is, the set-up is not kept")
                .arg(m_file.path()));
    } else if (!loaded.problems.isEmpty()) {
        const bool kept = m_file.keepBadCopy();
        say(QStringLiteral("***Set-up file %1 damaged (%2); %3")
                .arg(m_file.path(), loaded.problems.join(QLatin1String("; ")),
                     kept ? QStringLiteral("kept as %1.bad").arg(m_file.path()) : QStringLiteral("no copy kept")));
    }
    if (loaded.readable)
        say(QStringLiteral("Set-up restored from ") + m_file.path());
    else if (!loaded.found)
        say(QStringLiteral("No set-up in %1 yet: starting empty").arg(m_file.path()));
    if (!loaded.readable || !loaded.problems.isEmpty() || m_setup != loaded.setup)
        m_file.save(m_setup);
    follow();
}

// The operator's order: the port page, the trigger page, the server page, the window.
void SetupRestore::replay(const Setup &s, QStringList &problems)
{
    const int listed = m_portNumber->findText(s.portNumber);
    if (listed >= 0) {
        m_portNumber->setCurrentIndex(listed);
        m_window.session().cboComm_Click();
    } else {
        m_portNumber->setEditText(s.portNumber);
        m_window.session().cboComm_Change();
    }
    const std::array<std::pair<const char *, QString>, 4> settings{
        {{"speed", s.speed}, {"parity", s.parity}, {"data bits", s.dataBits}, {"stop bits", s.stopBits}}};
    for (size_t i = 0; i < settings.size(); ++i) {
        const int index = m_settings[i]->findText(settings[i].second, Qt::MatchFixedString);
        if (index >= 0)
            m_settings[i]->setCurrentIndex(index);
        else
            problems << QStringLiteral("no %1 %2").arg(QLatin1String(settings[i].first), settings[i].second);
    }
    if (s.portOpen && !m_window.session().isOpen())
        m_window.session().cmdCOMStatus_Click();

    // Movies of unarmed slots first (arm, pick, disarm), so that they shut nothing out.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < Setup::Slots; ++i) {
            const bool armed = s.armed[size_t(i)];
            if ((pass == 0) == armed || (!armed && s.movies[size_t(i)].isEmpty()))
                continue;
            QCheckBox *box = m_boxes[size_t(i)];
            box->click();
            if (!box->isChecked()) {
                problems << QStringLiteral("%1 cannot be armed with the other slots of its line")
                                .arg(playout::TriggerSlots::conditionName(i));
                continue;
            }
            pickMovie(i, s.movies[size_t(i)], problems);
            if (!armed)
                box->click();
        }
    }

    // Commands after the movies: a pre-load is checked against the movies of the other slots.
    // A slot whose command is refused would fire something else than it was set up to: it is
    // not armed.
    for (int i = 0; i < Setup::Slots; ++i) {
        const playout::SlotCommand &command = s.commands[size_t(i)];
        if (command == m_window.triggerSlots().command(i) || m_window.triggerSlots().setCommand(i, command))
            continue;
        QCheckBox *box = m_boxes[size_t(i)];
        const bool armed = box->isChecked();
        if (armed)
            box->click();
        problems << QStringLiteral("%1 command %2 refused%3")
                        .arg(playout::TriggerSlots::conditionName(i), command.describe(s.movies[size_t(i)]),
                             armed ? QStringLiteral(", so it is not armed") : QString());
    }

    m_server->setText(s.server);
    if (s.connected && m_serverButton->text() != Connected)
        m_window.casparLink().cmdCASPAR_Click();
    if (s.collapsed && m_collapse->text() != Collapsed)
        m_window.lblPROP_Click();
}

void SetupRestore::pickMovie(int slot, const QString &movie, QStringList &problems)
{
    playout::TriggerSlots &triggers = m_window.triggerSlots();
    if (movie.isEmpty() || triggers.movie(slot) == movie)
        return;
    m_chooser.answerNext(m_mediaFolder.isEmpty() ? QDir::rootPath() + movie : QDir(m_mediaFolder).filePath(movie));
    triggers.lblTRIGERMOVIE_DblClick(qint16(slot));
    if (triggers.movie(slot) != movie) {
        problems << QStringLiteral("%1 movie %2 read as %3")
                        .arg(playout::TriggerSlots::conditionName(slot), movie, triggers.movie(slot));
    }
}

Setup SetupRestore::snapshot() const
{
    Setup s;
    s.portNumber = QString::number(m_port.commPort());
    s.speed = m_settings[0]->currentText();
    s.parity = m_settings[1]->currentText();
    s.dataBits = m_settings[2]->currentText();
    s.stopBits = m_settings[3]->currentText();
    s.portOpen = m_window.session().isOpen();
    for (int i = 0; i < Setup::Slots; ++i) {
        s.armed[size_t(i)] = m_boxes[size_t(i)]->isChecked();
        s.movies[size_t(i)] = m_window.triggerSlots().movie(i);
        s.commands[size_t(i)] = m_window.triggerSlots().command(i);
    }
    s.server = m_server->text();
    s.connected = m_serverButton->text() == Connected;
    s.collapsed = m_collapse->text() == Collapsed;
    return s;
}

template <class F>
void SetupRestore::change(F apply)
{
    Setup next = m_setup;
    apply(next);
    if (next == m_setup)
        return;
    m_setup = next;
    m_file.save(m_setup);
}

// Each control's own events, connected after the window's procedures so that they see the
// outcome. Each updates only what its control decides.
void SetupRestore::follow()
{
    const auto portNumber = [this] { change([this](Setup &s) { s.portNumber = QString::number(m_port.commPort()); }); };
    connect(m_portNumber, &QComboBox::activated, this, portNumber);
    connect(m_portNumber->lineEdit(), &QLineEdit::textEdited, this, portNumber);
    connect(m_listPorts, &QPushButton::clicked, this, portNumber);
    const std::array<QString Setup::*, 4> fields{&Setup::speed, &Setup::parity, &Setup::dataBits, &Setup::stopBits};
    for (size_t i = 0; i < fields.size(); ++i) {
        connect(m_settings[i], &QComboBox::currentIndexChanged, this,
                [this, i, field = fields[i]] { change([&](Setup &s) { s.*field = m_settings[i]->currentText(); }); });
    }
    connect(m_portButton, &QPushButton::clicked, this,
            [this] { change([this](Setup &s) { s.portOpen = m_window.session().isOpen(); }); });
    for (size_t i = 0; i < size_t(Setup::Slots); ++i) {
        connect(m_boxes[i], &QCheckBox::clicked, this,
                [this, i] { change([&](Setup &s) { s.armed[i] = m_boxes[i]->isChecked(); }); });
    }
    // A movie picked or a command set, through the slot itself (the label's double-click or
    // its menu).
    m_window.triggerSlots().watch([self = QPointer(this)](int i) {
        if (!self)
            return;
        const playout::TriggerSlots &triggers = self->m_window.triggerSlots();
        self->change([&](Setup &s) {
            s.movies[size_t(i)] = triggers.movie(i);
            s.commands[size_t(i)] = triggers.command(i);
        });
    });
    connect(m_server, &QLineEdit::textEdited, this,
            [this] { change([this](Setup &s) { s.server = m_server->text(); }); });
    connect(m_serverButton, &QPushButton::clicked, this, [this] {
        change([this](Setup &s) {
            s.server = m_server->text();
            s.connected = m_serverButton->text() == Connected;
        });
    });
    connect(m_collapse, &ClickableLabel::clicked, this,
            [this] { change([this](Setup &s) { s.collapsed = m_collapse->text() == Collapsed; }); });
}

} // namespace vantor::app
