#pragma once

#include "hostilepeer.h"

#include "amcpresponder.h"
#include "contactserver.h"
#include "fakeportprobe.h"
#include "scriptedfilechooser.h"
#include "scriptedprompter.h"

#include "app/window/mainwindow.h"
#include "playout/casparconnection.h"
#include "serial/system/systemserialportservice.h"

#include <QStringList>

#include <chrono>
#include <memory>

// The whole program on network serial ports, for trying misbehaving peers: the window with
// the real port service, a hostile peer of each mode on ports 1 to 3, the contact simulator
// on port 4, a server that never answers on port 5, and a playout-server peer; everything
// in-process on 127.0.0.1. The network ports give up on a silent server after 0.6 s.
class HostileStation
{
public:
    static constexpr int ContactPort = 4;
    static constexpr int DeadPort = 5;

    struct Figures
    {
        double worstLagMs = 0;
        double worstOwnLagMs = 0;  // without the time the window's thread waited for a processor
        qint64 residentBefore = 0; // bytes, as the port opened
        qint64 residentPeak = 0;   // bytes, the most while the peer was at it
        bool closedByItself = false;
    };

    explicit HostileStation(std::chrono::milliseconds peerLifetime);
    ~HostileStation();

    // Opens the port of the peer of mode and lets it go on for ms while the window's event
    // loop and the memory are watched; closes the port then if it is still open.
    Figures run(HostilePeer::Mode mode, int ms);

    bool selectAndOpen(int port);
    void closeIfOpen();
    bool isOpen() const;
    bool connectToPlayout();
    bool arm(int slot, const QString &movie);

    vantor::app::MainWindow &window() { return *m_window; }
    ContactServer &contacts() { return m_contacts; }
    AmcpResponder &playout() { return m_playout; }
    QStringList portLog() const;

private:
    template <class W>
    W *find(const QString &name) const
    {
        return m_window->findChild<W *>(name);
    }

    HostilePeer m_renegotiate;
    HostilePeer m_flood;
    HostilePeer m_stream;
    ContactServer m_contacts;
    ContactServer m_dead;
    AmcpResponder m_playout;
    std::unique_ptr<vantor::serial::SystemSerialPortService> m_port;
    FakePortProbe m_probe;
    ScriptedPrompter m_prompter;
    ScriptedFileChooser m_chooser;
    std::unique_ptr<vantor::playout::CasparConnection> m_caspar;
    std::unique_ptr<vantor::app::MainWindow> m_window;
};
