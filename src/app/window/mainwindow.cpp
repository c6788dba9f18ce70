#include "app/window/mainwindow.h"

#include "app/window/clickablelabel.h"
#include "app/window/fonts.h"
#include "app/window/lamp.h"
#include "app/window/logview.h"
#include "app/window/services.h"
#include "app/window/slotmenu.h"
#include "app/window/tabcontrol.h"

#include "errortrap/procedure.h"
#include "errortrap/protector.h"
#include "playout/casparlink.h"
#include "playout/casparservers.h"
#include "playout/firing.h"
#include "playout/preloader.h"
#include "playout/triggerslots.h"
#include "serial/commandconsole.h"
#include "serial/eventdecoder.h"
#include "serial/portdiscovery.h"
#include "serial/portsession.h"
#include "serial/service/serialportservice.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include <algorithm>

namespace vantor::app {

namespace {
const QStringList Speeds = {"110",   "300",   "600",   "1200",  "2400",  "4800",   "9600",   "14400",
                            "19200", "28800", "38400", "56000", "57600", "115200", "128000", "256000"};
const std::array<int, 6> SlotTops = {2160, 2490, 2820, 3360, 3690, 4020};
const std::array<const char *, 6> SlotCaptions = {"CTS ON", "CTS OFF", "CTS CHANGE", "DSR ON", "DSR OFF", "DSR CHANGE"};

// Setting the text of a drop-down list selects the item with that text, letters compared
// without regard to case; a text that is no item is an error.
void setListText(QComboBox *list, const QString &text)
{
    const int index = list->findText(text, Qt::MatchFixedString);
    if (index < 0)
        throw RuntimeError(errors::InvalidPropertyValue);
    list->setCurrentIndex(index);
}

// A caption drawn wider than its laid-out space (Windows' own font rendering draws some texts a
// few pixels wider than Linux's) takes its text's width, up to the control beside it: nothing
// moves, and a caption that fits keeps its size.
void fitCaption(QLabel *caption, const QWidget *beside)
{
    const int frame = caption->width() - caption->contentsRect().width();
    const int needed = caption->fontMetrics().horizontalAdvance(caption->text()) + frame;
    if (needed > caption->width())
        caption->resize(std::min(needed, beside->x() - caption->x()), caption->height());
}

qreal logicalDpi()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->logicalDotsPerInch() : 96.0;
}

} // namespace

// Construction, in the order it needs:
//   1. the controls, since every procedure is handed the controls it works on;
//   2. the procedures, each after those it calls: the session before discovery and the console,
//      the slots before the firing, the firing before the event decoder;
//   3. the event table, last, so that no event reaches a procedure that does not exist yet;
//   4. Form_Initialize, which makes sure the fault filter is in before Form_Load touches any
//      port, socket or list (the program installs it first thing, before the services).
MainWindow::MainWindow(Services &services, const Options &options, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , m_twips(logicalDpi())
    , m_trap(services.prompter)
    , m_port(services.port)
    , m_addressChooser(services.addressChooser)
{
    Fonts::load();
    setObjectName(QStringLiteral("frmMAIN"));
    setWindowTitle(Title);
    setFont(Fonts::tahoma());
    buildTopStrip(services.casparBackup != nullptr);
    SSTab1 = place(new TabControl({"Port settings", "Trigger", "Caspar", "History"}, this), this, "SSTab1", 30, 330,
                   5355, 4905);
    buildPortPage(SSTab1->page(0));
    buildTriggerPage(SSTab1->page(1));
    buildCasparPage(SSTab1->page(2));
    buildHistoryPage(SSTab1->page(3));
    SSTab1->setCurrentIndex(1);
    buildHiddenControls();
    // Laid-out size: the client area is 10110 x 6240 until the end of start-up.
    setFixedSize(m_twips.px(10110), m_twips.px(6240));
    createProcedures(services, options);
    connectEventTable();
    Form_Initialize();
}

MainWindow::~MainWindow() = default;

template <class W>
W *MainWindow::place(W *widget, QWidget *parent, const char *name, int left, int top, int width, int height)
{
    widget->setParent(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(m_twips.rect(left, top, width, height));
    return widget;
}

void MainWindow::buildTopStrip(bool backup)
{
    shpCOMSTATUS = place(new Lamp, this, "shpCOMSTATUS", 30, 60, 165, 165);
    shpCOMSTATUS->setMeaning(QStringLiteral("COM port lamp"), QStringLiteral("open"), QStringLiteral("closed"));
    lblCOM = place(new QLabel(QStringLiteral("COM:1")), this, "lblCOM", 210, 30, 495, 225);
    shpCASPAR = place(new Lamp, this, "shpCASPAR", 960, 60, 165, 165);
    shpCASPAR->setMeaning(QStringLiteral("Caspar server lamp"), QStringLiteral("connected"),
                          QStringLiteral("not connected"));
    lblCASPAR = place(new QLabel(QStringLiteral("CSP:127.0.0.1")), this, "lblCASPAR", 1140, 30, 1275, 225);
    if (backup) { // beside the main server's lamp, in the gap after the port's label
        shpCASPARBACKUP = place(new Lamp, this, "shpCASPARBACKUP", 765, 60, 165, 165);
        shpCASPARBACKUP->setMeaning(QStringLiteral("Caspar backup server lamp"), QStringLiteral("connected"),
                                    QStringLiteral("not connected"));
    }
    lblLASTTRINGER = place(new QLabel(QStringLiteral("CSP:127.0.0.1")), this, "lblLASTTRINGER", 2580, 30, 2445, 225);
    // The captions show what the operator typed and what a firing did: plain text, never markup.
    for (QLabel *caption : {lblCOM, lblCASPAR, lblLASTTRINGER}) {
        caption->setFont(Fonts::narrow());
        caption->setTextFormat(Qt::PlainText);
    }
    lblPROP = place(new TriangleToggle(QStringLiteral("5")), this, "lblPROP", 5100, -60, 255, 255);
    lblPROP->setCursor(Qt::PointingHandCursor);
}

void MainWindow::buildPortPage(QWidget *page)
{
    fraPORT = place(new QFrame, page, "fraPORT", 60, 330, 5235, 4515);
    fraPORT->setFrameShape(QFrame::StyledPanel);
    lblLabel[2] = place(new QLabel(QStringLiteral("COM Port")), fraPORT, "lblLabel(2)", 300, 270, 975, 255);
    cboComm = place(new QComboBox, fraPORT, "cboComm", 1080, 270, 615, 315);
    cboComm->setEditable(true);
    cboComm->setInsertPolicy(QComboBox::NoInsert);
    cboComm->setEditText(QStringLiteral("cboComm"));
    cmdCOMStatus =
        place(new QPushButton(QStringLiteral("Open COM Port")), fraPORT, "cmdCOMStatus", 2040, 210, 1455, 375);
    cmdGetComPorts =
        place(new QPushButton(QStringLiteral("Get COM Ports")), fraPORT, "cmdGetComPorts", 3660, 210, 1215, 375);
    lblLabel[0] = place(new QLabel(QStringLiteral("Baub Rate")), fraPORT, "lblLabel(0)", 240, 780, 975, 255);
    cboBaubRate = place(new QComboBox, fraPORT, "cboBaubRate", 1080, 780, 975, 315);
    cboBaubRate->addItems(Speeds);
    lblLabel[3] = place(new QLabel(QStringLiteral("Parity")), fraPORT, "lblLabel(3)", 570, 1140, 975, 255);
    cboParity = place(new QComboBox, fraPORT, "cboParity", 1080, 1140, 495, 315);
    cboParity->addItems({"E", "M", "N", "O", "S"});
    lblLabel[4] = place(new QLabel(QStringLiteral("Data Bits")), fraPORT, "lblLabel(4)", 2370, 780, 975, 255);
    cboDataBits = place(new QComboBox, fraPORT, "cboDataBits", 3090, 780, 495, 315);
    cboDataBits->addItems({"4", "5", "6", "7", "8"});
    lblLabel[5] = place(new QLabel(QStringLiteral("Stop Bits")), fraPORT, "lblLabel(5)", 2370, 1140, 975, 255);
    cboStopBits = place(new QComboBox, fraPORT, "cboStopBits", 3090, 1140, 495, 315);
    cboStopBits->addItems({"1", "1.5", "2"});
    lstCOMOUT = place(new LogView(m_portLog), fraPORT, "lstCOMOUT", 60, 1650, 5085, 2790);
    lstCOMOUT->setAccessibleName(QStringLiteral("Port log"));
}

void MainWindow::buildTriggerPage(QWidget *page)
{
    lblLabel[7] = place(new QLabel(QStringLiteral("Trigger when")), page, "lblLabel(7)", 270, 840, 975, 255);
    lblLabel[7]->setEnabled(false);
    cmbTRIGGER = place(new QComboBox, page, "cmbTRIGGER", 1410, 810, 2715, 315);
    fitCaption(lblLabel[7], cmbTRIGGER);
    cmbTRIGGER->addItems(Speeds);
    cmbTRIGGER->setEnabled(false);
    Label1 = place(new QLabel(QStringLiteral("CTS pins 7 & 8 DSR pins 7 & 6")), page, "Label1", 240, 1380, 1335, 675);
    Label1->setWordWrap(true);
    for (int i = 0; i < 6; ++i) {
        const QByteArray box = "chkTRIGGER(" + QByteArray::number(i) + ")";
        const QByteArray label = "lblTRIGERMOVIE(" + QByteArray::number(i) + ")";
        chkTRIGGER[i] =
            place(new QCheckBox(QLatin1String(SlotCaptions[i])), page, box.constData(), 540, SlotTops[i], 1425, 255);
        lblTRIGERMOVIE[i] = place(new ClickableLabel, page, label.constData(), 2010, SlotTops[i], 3255, 255);
        lblTRIGERMOVIE[i]->setAutoFillBackground(true);
        lblTRIGERMOVIE[i]->setBackgroundRole(QPalette::Base);
        lblTRIGERMOVIE[i]->setForegroundRole(QPalette::Text);
        lblTRIGERMOVIE[i]->setEnabled(false);
        lblTRIGERMOVIE[i]->setTextFormat(Qt::PlainText); // a file name, shown as it is sent
    }
}

void MainWindow::buildCasparPage(QWidget *page)
{
    lblLabel[8] = place(new QLabel(QStringLiteral("Trigger when")), page, "lblLabel(8)", 300, 600, 975, 255);
    txtCASPARIP = place(new QLineEdit(QStringLiteral("127.0.0.1")), page, "txtCASPARIP", 1440, 570, 1155, 315);
    fitCaption(lblLabel[8], txtCASPARIP);
    cmdCASPAR = place(new QPushButton(QStringLiteral("Connect")), page, "cmdCASPAR", 2910, 540, 1455, 375);
}

void MainWindow::buildHistoryPage(QWidget *page)
{
    lstOUTPUT = place(new LogView(m_history), page, "lstOUTPUT", 90, 420, 5145, 4350);
    lstOUTPUT->setAccessibleName(QStringLiteral("History log"));
}

// Laid out right of the tab control, outside the final window: hidden from the start and
// never shown. Explicitly hidden children stay hidden when the window is shown.
void MainWindow::buildHiddenControls()
{
    lblLabel[6] = place(new QLabel(QStringLiteral("(only available COM ports are listed)")), this, "lblLabel(6)", 5610,
                        1410, 3375, 255);
    lblLabel[1] = place(new QLabel(QStringLiteral("Command")), this, "lblLabel(1)", 5670, 1770, 975, 255);
    cboCommand = place(new QComboBox, this, "cboCommand", 6630, 1770, 1935, 315);
    cboCommand->setEditable(true);
    cboCommand->addItems({"AT", "ATI3", "AT+GMM", "ATD[A Number]"});
    cmdGetInfo = place(new QPushButton(QStringLiteral("Send Command")), this, "cmdGetInfo", 6120, 2700, 1455, 375);
    cmdClear = place(new QPushButton(QStringLiteral("Clear")), this, "cmdClear", 5760, 2130, 1215, 375);
    cmdGetAllPorts =
        place(new QPushButton(QStringLiteral("All Ports status")), this, "cmdGetAllPorts", 7410, 2190, 1215, 375);
    lblTRIGER = place(new QLabel(QStringLiteral("TRG: CTS On/Off")), this, "lblTRIGER", 6210, 3150, 1275, 225);
    lblTRIGER->setFont(Fonts::narrow());
    for (QWidget *w : std::initializer_list<QWidget *>{lblLabel[6], lblLabel[1], cboCommand, cmdGetInfo, cmdClear,
                                                       cmdGetAllPorts, lblTRIGER})
        w->hide();
    for (QWidget *w : std::initializer_list<QWidget *>{lblLabel[1], cboCommand, cmdGetInfo, cmdGetAllPorts})
        w->setEnabled(false);
}

void MainWindow::createProcedures(Services &services, const Options &options)
{
    const auto status1 = [this](const QString &m) { SetStatus1(m); };
    m_session = std::make_unique<serial::PortSession>(
        m_trap, m_port,
        serial::PortSession::Controls{cboComm, cmdCOMStatus, cmdGetComPorts, cboBaubRate, cboParity, cboDataBits,
                                      cboStopBits, [this](quint32 c) { shpCOMSTATUS->setFillColor(c); }, status1});
    m_discovery = std::make_unique<serial::PortDiscovery>(
        m_trap, services.portMap, services.probe, services.enumeratePorts,
        serial::PortDiscovery::Controls{cboComm, [this] { m_session->cboComm_Click(); }, status1});
    m_console = std::make_unique<serial::CommandConsole>(
        m_trap, m_port, *m_session,
        serial::CommandConsole::Controls{cboCommand, status1, [this] { m_portLog.clear(); }});
    playout::TriggerSlots::Controls slotControls;
    for (int i = 0; i < 6; ++i) {
        slotControls.chkTRIGGER[i] = chkTRIGGER[i];
        slotControls.lblTRIGERMOVIE[i] = lblTRIGERMOVIE[i];
    }
    m_slots = std::make_unique<playout::TriggerSlots>(slotControls, m_trap, services.fileChooser, options.mediaFolder);
    m_slots->setStatus([this](const QString &m) { SetStatus(m); });
    const auto status = [this](const QString &m) { SetStatus(m); };
    m_servers = std::make_unique<playout::CasparServers>(services.caspar, services.casparBackup);
    playout::CasparLink::Controls casparControls{txtCASPARIP, cmdCASPAR, lblCASPAR,
                                                 [this](quint32 c) { shpCASPAR->setFillColor(c); }, status};
    if (shpCASPARBACKUP) {
        casparControls.setBackupLamp = [this](quint32 c) { shpCASPARBACKUP->setFillColor(c); };
        casparControls.backupHost = options.backupServer;
    }
    m_caspar = std::make_unique<playout::CasparLink>(std::move(casparControls), m_trap, *m_servers);
    m_firing = std::make_unique<playout::Firing>(playout::Firing::Controls{lblLASTTRINGER, status, {}}, m_trap,
                                                 *m_slots, *m_servers);
    m_preloader = std::make_unique<playout::Preloader>(*m_slots, *m_servers, status);
    m_firing->setPreloader(m_preloader.get());
    m_firing->setContactTime([this] { return m_port.eventTime(); }); // a cue's bound runs from its contact
    m_decoder = std::make_unique<serial::EventDecoder>(
        m_trap, m_port,
        serial::EventDecoder::Controls{[this](int slot) { return m_slots->armed(slot); },
                                       [this](qint16 slot) { m_firing->FIREME(slot); }, status});
}

// The event table: which control event runs which procedure. The port log's mouse-down reaches
// lstCOMOUT_MouseDown through eventFilter().
void MainWindow::connectEventTable()
{
    lstCOMOUT->viewport()->installEventFilter(this);
    connect(lblPROP, &ClickableLabel::clicked, this, &MainWindow::lblPROP_Click);
    connect(cboComm->lineEdit(), &QLineEdit::textEdited, this, [this] { m_session->cboComm_Change(); });
    connect(cboComm, &QComboBox::activated, this, [this] { m_session->cboComm_Click(); });
    connect(cmdCOMStatus, &QPushButton::clicked, this, [this] { m_session->cmdCOMStatus_Click(); });
    connect(cmdCASPAR, &QPushButton::clicked, this, [this] { m_caspar->cmdCASPAR_Click(); });
    connect(cmdGetComPorts, &QPushButton::clicked, this, [this] { m_discovery->cmdGetComPorts_Click(); });
    connect(cmdGetAllPorts, &QPushButton::clicked, this, [this] { m_discovery->cmdGetAllPorts_Click(); });
    connect(cmdGetInfo, &QPushButton::clicked, this, [this] { m_console->cmdGetInfo_Click(); });
    connect(&m_port, &serial::SerialPortService::onComm, this, [this] { m_decoder->MSComm1_OnComm(); });
    for (int i = 0; i < 6; ++i) {
        connect(chkTRIGGER[i], &QCheckBox::clicked, this, [this, i] { m_slots->chkTRIGGER_Click(qint16(i)); });
        connect(lblTRIGERMOVIE[i], &ClickableLabel::doubleClicked, this,
                [this, i] { m_slots->lblTRIGERMOVIE_DblClick(qint16(i)); });
        addSlotMenu({lblTRIGERMOVIE[i], chkTRIGGER[i]}, *m_slots, i, m_addressChooser,
                    [this, i] { m_firing->testFire(qint16(i)); });
    }
    // Pre-loads: whenever a slot changes, and whenever a server becomes ready again.
    m_slots->watch([this](int slot) { m_preloader->slotChanged(slot); });
    for (int server = 0; server < m_servers->count(); ++server) {
        connect(&m_servers->at(server), &playout::CasparConnection::ready, this,
                [this, server] { m_preloader->serverReady(server); });
    }
}

// A second installation does nothing: the program has installed the filter already; a window
// built on its own (the tests') gets it here.
void MainWindow::Form_Initialize()
{
    vbwInitializeProtector(m_trap);
}

void MainWindow::Form_Load()
{
    Procedure p(m_trap, {"frmMAIN", "Form_Load"}, 124);
    QString settings;
    p.step(127, [&] { settings = m_port.settings(); });
    p.step(128, [&] { setListText(cboBaubRate, settings.mid(0, 4)); });
    p.step(129, [&] { setListText(cboParity, settings.mid(5, 1)); });
    p.step(130, [&] { setListText(cboDataBits, settings.mid(7, 1)); });
    p.step(131, [&] { setListText(cboStopBits, settings.mid(9, 1)); });
    p.step(132, [&] { cboCommand->setCurrentIndex(0); });
    p.step(133, [&] { show(); });
    p.step(134, [&] { QCoreApplication::processEvents(); });
    p.step(135, [&] { m_discovery->ListComPorts(); });
    QComboBox *list = nullptr;
    p.step(136, [&] { list = cmbTRIGGER; });
    p.step(137, [&] { list->clear(); });
    const std::array<const char *, 7> conditions = {"Trigger disabled",       "CTS ON", "CTS OFF",
                                                    "CTS CHANGE (ON or OFF)", "DSR ON", "DSR OFF",
                                                    "DSR CHANGE (ON or OFF)"};
    for (int i = 0; i < 7; ++i)
        p.step(138 + i, [&] { list->addItem(QLatin1String(conditions[i])); });
    p.step(145, [&] { list->setCurrentIndex(0); });
    p.step(146, [&] { list = nullptr; });
    p.step(147, [&] { setOuterSize(5500, -1); });
    p.step(148, [&] { setOuterSize(-1, 5640); });
    p.exit(149);
}

void MainWindow::lblPROP_Click()
{
    Procedure p(m_trap, {"frmMAIN", "lblPROP_Click"}, 150);
    if (p.test(151, [&] { return lblPROP->text() == QLatin1String("6"); })) {
        p.step(152, [&] { lblPROP->setText(QStringLiteral("5")); });
        p.step(153, [&] { setOuterSize(-1, 5640); });
    } else {
        p.mark(154);
        p.step(155, [&] { lblPROP->setText(QStringLiteral("6")); });
        p.step(156, [&] { setOuterSize(-1, 660); });
    }
    p.mark(157);
    p.exit(158);
}

// The outer size includes the frame that the window manager draws (title bar and borders).
// Qt reports it as the difference between frameGeometry() and geometry() once the window is
// mapped; the client area is the outer size less that frame. Before the window is shown, or
// on a platform without decorations, the frame is empty and client and outer size agree.
// A negative argument leaves that dimension as it is.
void MainWindow::setOuterSize(int widthTwips, int heightTwips)
{
    const QSize frame = frameGeometry().size() - geometry().size();
    const int w = widthTwips < 0 ? width() : qMax(0, m_twips.px(widthTwips) - frame.width());
    const int h = heightTwips < 0 ? height() : qMax(0, m_twips.px(heightTwips) - frame.height());
    setFixedSize(w, h);
}

void MainWindow::SetStatus(const QString &message)
{
    Procedure p(m_trap, {"frmMAIN", "SetStatus"}, 232);
    p.step(233, [&] { m_history.append(ActivityLog::line(message)); });
    p.step(234, [&] { lstOUTPUT->scrollToBottom(); });
    p.exit(235);
}

void MainWindow::SetStatus1(const QString &message)
{
    Procedure p(m_trap, {"frmMAIN", "SetStatus1"}, 236);
    p.step(237, [&] { m_portLog.append(ActivityLog::line(message)); });
    p.step(238, [&] { lstCOMOUT->scrollToBottom(); });
    p.exit(239);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lstCOMOUT->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        const qint16 button = mouse->button() == Qt::LeftButton ? 1 : mouse->button() == Qt::RightButton ? 2 : 4;
        const qint16 shift = qint16(((mouse->modifiers() & Qt::ShiftModifier) ? 1 : 0)
                                    | ((mouse->modifiers() & Qt::ControlModifier) ? 2 : 0)
                                    | ((mouse->modifiers() & Qt::AltModifier) ? 4 : 0));
        m_console->lstCOMOUT_MouseDown(button, shift, float(mouse->position().x()), float(mouse->position().y()));
    }
    return QWidget::eventFilter(watched, event);
}

// A tool window does not count for quit-on-last-window-closed: closing it ends the program here.
void MainWindow::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    if (event->isAccepted())
        QCoreApplication::quit();
}

} // namespace vantor::app
