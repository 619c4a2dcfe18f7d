#include "app/InstanceLock.h"

#include <QDir>

ELockResult lockWorkDir(QLockFile& lock, QString& text)
{
    // Only a dead holder makes a lock stale, however long a gateway runs.
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return LOCK_TAKEN;
    if (lock.error() != QLockFile::LockFailedError)
        return LOCK_FAILED;
    qint64 pid = 0;
    QString host;
    QString application;
    lock.getLockInfo(&pid, &host, &application);
    text = LOCK::HELD_BY.arg(QString::number(pid), QDir::currentPath());
    return LOCK_HELD;
}
