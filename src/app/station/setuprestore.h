#pragma once

#include "app/station/setupfile.h"

#include <QObject>

#include <array>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace vantor::serial {
class SerialPortService;
}

namespace vantor::app {

class ClickableLabel;
class MainWindow;
class StoredMovieChooser;

// Keeps the operator's set-up in a file and brings it back at start.
//
// restore() runs after Form_Load. It reads the file and replays it through the window's own
// procedures in the order an operator works: port number, settings, open the port; arm the
// slots and pick their movies; type the server's address and connect; collapse the window.
// Each procedure logs as it always does; then one History line says where the set-up came
// from. A file that is missing is created; one that cannot be read in full is kept as a
// ".bad" copy, and the set-up starts from what could be read.
//
// From then on every change the operator makes is saved at once. The file holds what the
// operator asked for: a port that fails to open or goes away, or a server that cannot be
// reached, does not change it, so the next start tries again. The backup server is the one
// the file names: one given on the command line serves that run and is not saved. A slot whose
// command is refused at the restore (a pre-load of a layer another slot pre-loads) is not armed.
class SetupRestore : public QObject
{
    Q_OBJECT

public:
    SetupRestore(const QString &path, MainWindow &window, serial::SerialPortService &port, StoredMovieChooser &chooser,
                 const QString &mediaFolder, QObject *parent = nullptr);

    void restore();

    // The set-up as last handed to the file.
    const Setup &setup() const { return m_setup; }
    SetupFile &file() { return m_file; }

private:
    void replay(const Setup &s, QStringList &problems);
    void pickMovie(int slot, const QString &movie, QStringList &problems);
    void follow();
    Setup snapshot() const;
    // Applies an operator's change to the set-up and saves it if anything changed.
    template <class F>
    void change(F apply);
    void say(const QString &line);

    MainWindow &m_window;
    serial::SerialPortService &m_port;
    StoredMovieChooser &m_chooser;
    const QString m_mediaFolder;
    SetupFile m_file;
    Setup m_setup;              // what the operator asked for, as last saved
    bool m_saveFailing = false; // a failure was told and no save has worked since

    // The window's controls, found by their names.
    QComboBox *m_portNumber;
    std::array<QComboBox *, 4> m_settings; // speed, parity, data bits, stop bits
    QPushButton *m_portButton;
    QPushButton *m_listPorts;
    std::array<QCheckBox *, Setup::Slots> m_boxes{};
    QLineEdit *m_server;
    QPushButton *m_serverButton;
    ClickableLabel *m_collapse;
};

} // namespace vantor::app
