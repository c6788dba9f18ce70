#pragma once

#include "contactserver.h"

#include <QWidget>

class QGridLayout;
class QLabel;
class QListWidget;

// The simulator's window: a toggle and a pulse button for each contact, what the client
// reads on each line, and a log of what the client sets and sends.
class SimWindow : public QWidget
{
    Q_OBJECT

public:
    explicit SimWindow(ContactServer &server, QWidget *parent = nullptr);

private:
    void addInput(QGridLayout *grid, int row, ContactServer::Input input, const QString &name);
    void append(const QString &line);
    void showLevels();
    void showClient(bool connected);

    ContactServer &m_server;
    QLabel *m_status;
    QListWidget *m_log;
    QLabel *m_levels[ContactServer::InputCount] = {};
};
