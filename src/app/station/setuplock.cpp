#include "app/station/setuplock.h"

#include "app/station/setupfile.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace vantor::app {

SetupLock::SetupLock(const QString &setupPath)
    : m_setupPath(setupPath)
{
    const QString target = SetupFile::regularTarget(setupPath);
    m_lockPath = (target.isEmpty() ? QFileInfo(setupPath).absoluteFilePath() : target) + QStringLiteral(".lock");
    QDir().mkpath(QFileInfo(m_lockPath).absolutePath());
    const LockedFile lock = lockRegularFile(m_lockPath);
    if (lock.fd < 0) {
        m_outcome = lock.inUse ? Outcome::InUse : Outcome::Refused;
        m_reason = lock.reason;
        return;
    }
    m_fd = lock.fd;
    m_outcome = Outcome::Held;
}

QString SetupLock::refusal() const
{
    switch (m_outcome) {
    case Outcome::Held: return {};
    case Outcome::InUse:
        return QStringLiteral("--restore %1: the set-up file is in use by another running program (%2 is locked)")
            .arg(m_setupPath, m_lockPath);
    case Outcome::Refused: break;
    }
    return QStringLiteral("--restore %1: the set-up file cannot be locked (%2: %3), and without the lock a second "
                          "program could save over its set-up: not started")
        .arg(m_setupPath, m_lockPath, m_reason);
}

std::unique_ptr<SetupLock> lockForStart(const QString &setupPath, RefusalBox *box)
{
    auto lock = std::make_unique<SetupLock>(setupPath);
    if (lock->outcome() == SetupLock::Outcome::Held)
        return lock;
    const QString text = lock->refusal();
    std::fprintf(stderr, "vantor-listener: %s\n", qPrintable(text));
    std::fflush(stderr);
    if (box)
        box->show(text);
    return {};
}

} // namespace vantor::app
