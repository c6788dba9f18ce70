#pragma once

#include "amcpresponder.h"
#include "fakeportprobe.h"
#include "fakeserialportservice.h"
#include "scriptedaddresschooser.h"
#include "scriptedfilechooser.h"
#include "scriptedprompter.h"

#include "app/station/storedmoviechooser.h"
#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"
#include "app/window/mainwindow.h"
#include "app/window/services.h"
#include "playout/casparconnection.h"
#include "serial/system/portmap.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include <memory>

// The window with fakes for everything outside it, and a playout server on 127.0.0.1.
// Port numbers 1 and 3 can be opened; the others exist but are busy.
struct WindowFixture
{
    FakeSerialPortService port;
    vantor::serial::PortMap portMap{[] { return QStringList{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2"}; }};
    FakePortProbe probe;
    ScriptedPrompter prompter;
    ScriptedFileChooser chooser;
    vantor::app::StoredMovieChooser movies{chooser}; // the window's chooser, as in the program
    ScriptedAddressChooser addresses;
    AmcpResponder server;
    std::unique_ptr<vantor::playout::CasparConnection> caspar;
    std::unique_ptr<vantor::playout::CasparConnection> backup; // with options.backupServer
    std::unique_ptr<vantor::app::MainWindow> window;

    // serverPort: the playout server the window connects to; 0 for `server`. With
    // options.backupServer, the backup server is that host on backupPort (0: serverPort).
    explicit WindowFixture(vantor::app::Options options = {}, bool load = true, quint16 serverPort = 0,
                           quint16 backupPort = 0)
    {
        portMap.refresh();
        probe.openable = {"/dev/ttyS0", "/dev/ttyS2"};
        port.existing = {1, 3};
        server.listen();
        const vantor::playout::ConnectionTiming timing{50, 100, 2000};
        caspar = std::make_unique<vantor::playout::CasparConnection>(serverPort ? serverPort : server.port(), timing);
        if (!options.backupServer.isEmpty())
            backup =
                std::make_unique<vantor::playout::CasparConnection>(backupPort ? backupPort : caspar->port(), timing);
        vantor::app::Services services{
            port, portMap, probe, [] { return std::vector<vantor::serial::PortEntry>{}; }, prompter, movies, *caspar};
        services.casparBackup = backup.get();
        services.addressChooser = &addresses;
        port.setDebounce(options.debounce);
        window = std::make_unique<vantor::app::MainWindow>(services, options);
        if (load)
            window->Form_Load();
    }

    vantor::app::MainWindow &w() { return *window; }

    // Opens the port and connects to the server; whether the window shows it connected in time.
    [[nodiscard]] bool goOnAir()
    {
        w().findChild<QPushButton *>("cmdCOMStatus")->click();
        w().findChild<QPushButton *>("cmdCASPAR")->click();
        return QTest::qWaitFor(
            [this] { return w().findChild<vantor::app::Lamp *>("shpCASPAR")->fillColor() == vantor::app::Lamp::Green; },
            15000);
    }
    // Arms the slot with the movie at `path`, chosen as the operator does (by its label).
    void arm(int slot, const QString &path)
    {
        w().findChild<QCheckBox *>(QStringLiteral("chkTRIGGER(%1)").arg(slot))->click();
        chooser.choices.push_back(path);
        QTest::mouseDClick(w().findChild<vantor::app::ClickableLabel *>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot)),
                           Qt::LeftButton);
    }
};
