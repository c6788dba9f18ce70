#pragma once

#include "windowfixture.h"

#include <QThread>

#include <memory>

// The window as the program builds it, around the given port service: port 1 open, connected
// to a playout-server peer on 127.0.0.1 that runs in a thread of its own (serverThreadId()
// tells which, so that its work can be left out of the window's figures).
class IdleStation
{
public:
    IdleStation(vantor::serial::SerialPortService &port, vantor::serial::PortMap &map);
    ~IdleStation();
    IdleStation(const IdleStation &) = delete;
    IdleStation &operator=(const IdleStation &) = delete;

    bool ready() const { return m_ready; }
    vantor::app::MainWindow &window() { return *m_window; }
    int serverThreadId() const { return m_serverThreadId; }

private:
    FakePortProbe m_probe;
    ScriptedPrompter m_prompter;
    ScriptedFileChooser m_chooser;
    AmcpResponder m_server;
    QThread m_serverThread;
    std::unique_ptr<vantor::playout::CasparConnection> m_caspar;
    std::unique_ptr<vantor::app::MainWindow> m_window;
    int m_serverThreadId = 0;
    bool m_ready = false;
};
