#pragma once

#include "serial/service/serialportservice.h"

#include <QByteArray>
#include <QList>
#include <QSet>

#include <optional>

// A serial-port service for tests: ports that "exist" are listed, failures are scripted,
// line levels are set by hand and events are raised on demand.
class FakeSerialPortService : public vantor::serial::SerialPortService
{
    Q_OBJECT

public:
    using SerialPortService::SerialPortService;

    QSet<int> existing{1};           // ports that open
    std::optional<qint32> openError; // next open fails with this number
    bool cts = false;
    bool dsr = false;
    QByteArray written;
    QList<bool> dtrLevels;          // every level DTR was set to, in order
    std::optional<qint32> dtrError; // setting DTR fails with this number
    int opens = 0;
    int closes = 0;

    // Sets the line and queues its change event (as the watcher thread would).
    void changeCts(bool level);
    void changeDsr(bool level);
    void raise(qint16 code, const QByteArray &data = {});
    void lose(qint32 number, const QString &description) { postLost(number, description); }

protected:
    void openDevice() override;
    void closeDevice() override { ++closes; }
    bool presentCts() const override { return cts; }
    bool presentDsr() const override { return dsr; }
    void writeDevice(const QByteArray &bytes) override { written += bytes; }
    void setDeviceDtr(bool asserted) override;
};
