#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair for tests: the slave's path serves as a serial device; the test
// plays the far end on the master.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }

    // Sends bytes from the far end.
    bool send(const QByteArray &bytes);
    // What arrives at the far end within the time (returns early once `expected` bytes came).
    QByteArray receive(int timeoutMs, int expected = -1);
    // Hangs up the far end: the slave reads EIO from then on.
    void closeMaster();

private:
    int m_master = -1;
    QString m_slavePath;
};
