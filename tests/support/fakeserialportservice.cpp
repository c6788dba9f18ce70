#include "fakeserialportservice.h"

#include "errortrap/runtimeerror.h"

using vantor::RuntimeError;
using namespace vantor::serial;

void FakeSerialPortService::openDevice()
{
    if (openError) {
        const qint32 number = *std::exchange(openError, std::nullopt);
        throw RuntimeError(number, "Scripted open failure");
    }
    if (!existing.contains(commPort()))
        throw RuntimeError(8002, "Invalid port number");
    ++opens;
}

void FakeSerialPortService::changeCts(bool level)
{
    cts = level;
    post({comm::Cts, level, {}, Clock::now()});
}

void FakeSerialPortService::changeDsr(bool level)
{
    dsr = level;
    post({comm::Dsr, level, {}, Clock::now()});
}

void FakeSerialPortService::raise(qint16 code, const QByteArray &data)
{
    post({code, false, data, Clock::now()});
}

void FakeSerialPortService::setDeviceDtr(bool asserted)
{
    if (dtrError)
        throw RuntimeError(*dtrError, "Scripted DTR failure");
    dtrLevels << asserted;
}
