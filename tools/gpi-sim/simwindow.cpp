#include "simwindow.h"

#include "serial/rfc2217/rfc2217protocol.h"

#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTime>
#include <QVBoxLayout>

namespace {
constexpr int MaxLogLines = 5000;
}

SimWindow::SimWindow(ContactServer &server, QWidget *parent)
    : QWidget(parent)
    , m_server(server)
    , m_status(new QLabel(this))
    , m_log(new QListWidget(this))
{
    setWindowTitle(tr("VANTOR GPI simulator"));
    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel(tr("<b>Input</b>")), 0, 0);
    grid->addWidget(new QLabel(tr("<b>Contact</b>")), 0, 1);
    grid->addWidget(new QLabel(tr("<b>Pulse width (ms)</b>")), 0, 2);
    grid->addWidget(new QLabel(tr("<b>Client reads</b>")), 0, 4);
    addInput(grid, 1, ContactServer::Input::Cts, tr("CTS contact (pins 7-8)"));
    addInput(grid, 2, ContactServer::Input::Dsr, tr("DSR contact (pins 7-6)"));
    addInput(grid, 3, ContactServer::Input::Cd, tr("CD"));
    addInput(grid, 4, ContactServer::Input::Ring, tr("RI"));

    auto *drop = new QPushButton(tr("Drop the client"));
    drop->setToolTip(tr("Closes the connection, as a device server that restarts does"));
    connect(drop, &QPushButton::clicked, &m_server, &ContactServer::dropClient);
    grid->addWidget(drop, 5, 3);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_status);
    layout->addLayout(grid);
    layout->addWidget(new QLabel(tr("What the client sets and sends:")));
    layout->addWidget(m_log, 1);
    resize(600, 480);

    connect(&m_server, &ContactServer::logged, this, &SimWindow::append);
    connect(&m_server, &ContactServer::stateChanged, this, &SimWindow::showLevels);
    connect(&m_server, &ContactServer::clientChanged, this, &SimWindow::showClient);
    showClient(false);
}

void SimWindow::addInput(QGridLayout *grid, int row, ContactServer::Input input, const QString &name)
{
    auto *toggle = new QPushButton(tr("Open"));
    toggle->setCheckable(true);
    auto *width = new QSpinBox;
    width->setRange(0, 60000);
    width->setValue(100);
    width->setToolTip(tr("0 closes and opens the contact between two looks of the server"));
    auto *pulse = new QPushButton(tr("pulse"));
    auto *level = new QLabel;
    m_levels[static_cast<int>(input)] = level;

    grid->addWidget(new QLabel(name), row, 0);
    grid->addWidget(toggle, row, 1);
    grid->addWidget(width, row, 2);
    grid->addWidget(pulse, row, 3);
    grid->addWidget(level, row, 4);

    connect(toggle, &QPushButton::toggled, this, [this, input](bool closed) { m_server.setContact(input, closed); });
    // The contact may also move by a pulse: the button follows it.
    connect(&m_server, &ContactServer::stateChanged, toggle, [this, toggle, input] {
        const QSignalBlocker block(toggle);
        toggle->setChecked(m_server.contact(input));
        toggle->setText(toggle->isChecked() ? tr("Closed") : tr("Open"));
    });
    connect(pulse, &QPushButton::clicked, this, [this, width, input] { m_server.pulse(input, width->value()); });
}

void SimWindow::append(const QString &line)
{
    m_log->addItem(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")) + QStringLiteral("  ") + line);
    while (m_log->count() > MaxLogLines)
        delete m_log->takeItem(0);
    m_log->scrollToBottom();
}

void SimWindow::showLevels()
{
    using namespace vantor::serial::rfc2217;
    const std::uint8_t state = m_server.modemState();
    const std::uint8_t bits[] = {modem::Cts, modem::Dsr, modem::Cd, modem::Ring};
    for (int i = 0; i < ContactServer::InputCount; ++i)
        m_levels[i]->setText((state & bits[i]) ? tr("ON") : tr("OFF"));
}

void SimWindow::showClient(bool connected)
{
    m_status->setText(tr("Serving the Com Port option on 127.0.0.1:%1 - client: %2")
                          .arg(m_server.port())
                          .arg(connected ? tr("connected") : tr("none")));
    showLevels();
}
