#pragma once

#include "app/window/activitylog.h"
#include "app/window/twips.h"

#include "errortrap/errortrap.h"

#include <QWidget>

#include <array>
#include <memory>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vantor::serial {
class SerialPortService;
class PortSession;
class CommandConsole;
class EventDecoder;
class PortDiscovery;
} // namespace vantor::serial
namespace vantor::playout {
class FileChooser;
class TriggerSlots;
class CasparLink;
class CasparServers;
class Firing;
} // namespace vantor::playout

namespace vantor::app {

class ClickableLabel;
class Lamp;
class LogView;
class TabControl;
class TriangleToggle;
struct Options;
struct Services;

// frmMAIN, the one window. It owns every control and hands the procedures of each subsystem
// the controls they work on; the outside world (port, server socket, file chooser, error box)
// comes in through Services.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    static inline const QString Title = QStringLiteral("VANTOR Listener");

    MainWindow(Services &services, const Options &options, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Start-up: Form_Initialize runs in the constructor; Form_Load is run by whoever shows us.
    void Form_Load();
    void lblPROP_Click();
    void SetStatus(const QString &message);
    void SetStatus1(const QString &message);

    // The window's outer size (frame included), in twips.
    void setOuterSize(int widthTwips, int heightTwips);

    ActivityLog &history() { return m_history; }
    ActivityLog &portLog() { return m_portLog; }
    ErrorTrap &trap() { return m_trap; }
    const Twips &twips() const { return m_twips; }

    serial::PortSession &session() { return *m_session; }
    serial::CommandConsole &console() { return *m_console; }
    serial::EventDecoder &decoder() { return *m_decoder; }
    serial::PortDiscovery &discovery() { return *m_discovery; }
    playout::TriggerSlots &triggerSlots() { return *m_slots; }
    playout::Firing &firing() { return *m_firing; }
    playout::CasparLink &casparLink() { return *m_caspar; }
    // The main playout server and the backup, if any: for sending to every server.
    playout::CasparServers &casparServers() { return *m_servers; }

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Form_Initialize();
    void buildTopStrip(bool backup);
    void buildPortPage(QWidget *page);
    void buildTriggerPage(QWidget *page);
    void buildCasparPage(QWidget *page);
    void buildHistoryPage(QWidget *page);
    void buildHiddenControls();
    void createProcedures(Services &services, const Options &options);
    void connectEventTable();
    template <class W>
    W *place(W *widget, QWidget *parent, const char *name, int left, int top, int width, int height);

    Twips m_twips;
    ErrorTrap m_trap;
    serial::SerialPortService &m_port;
    ActivityLog m_history;
    ActivityLog m_portLog;

    // The controls, under the names the procedures know them by. Tests and accessibility tools
    // find them by the same names (objectName).
    Lamp *shpCOMSTATUS = nullptr;
    QLabel *lblCOM = nullptr;
    Lamp *shpCASPAR = nullptr;
    Lamp *shpCASPARBACKUP = nullptr; // only with a backup server
    QLabel *lblCASPAR = nullptr;
    QLabel *lblLASTTRINGER = nullptr;
    TriangleToggle *lblPROP = nullptr;
    TabControl *SSTab1 = nullptr;
    QFrame *fraPORT = nullptr;
    std::array<QLabel *, 9> lblLabel{};
    QComboBox *cboComm = nullptr;
    QPushButton *cmdCOMStatus = nullptr;
    QPushButton *cmdGetComPorts = nullptr;
    QComboBox *cboBaubRate = nullptr;
    QComboBox *cboParity = nullptr;
    QComboBox *cboDataBits = nullptr;
    QComboBox *cboStopBits = nullptr;
    LogView *lstCOMOUT = nullptr;
    QComboBox *cmbTRIGGER = nullptr;
    QLabel *Label1 = nullptr;
    std::array<QCheckBox *, 6> chkTRIGGER{};
    std::array<ClickableLabel *, 6> lblTRIGERMOVIE{};
    QLineEdit *txtCASPARIP = nullptr;
    QPushButton *cmdCASPAR = nullptr;
    LogView *lstOUTPUT = nullptr;
    QComboBox *cboCommand = nullptr;
    QPushButton *cmdGetInfo = nullptr;
    QPushButton *cmdClear = nullptr;
    QPushButton *cmdGetAllPorts = nullptr;
    QLabel *lblTRIGER = nullptr;

    std::unique_ptr<serial::PortSession> m_session;
    std::unique_ptr<serial::CommandConsole> m_console;
    std::unique_ptr<serial::EventDecoder> m_decoder;
    std::unique_ptr<serial::PortDiscovery> m_discovery;
    std::unique_ptr<playout::TriggerSlots> m_slots;
    std::unique_ptr<playout::CasparServers> m_servers;
    std::unique_ptr<playout::CasparLink> m_caspar;
    std::unique_ptr<playout::Firing> m_firing;
};

} // namespace vantor::app
