#pragma once

// One gateway per working directory: two of them would write into the same
// server.db and history.log.

#include <QLockFile>
#include <QString>

namespace LOCK {
inline const QString LOCK_FILENAME = QStringLiteral("tarnwick.lock");
inline const QString HELD_BY = QStringLiteral("Another gateway (process %1) runs in [%2].");
} // namespace LOCK

enum ELockResult
{
    LOCK_TAKEN = 0,
    LOCK_HELD = 1,   // another live process holds it
    LOCK_FAILED = 2, // the file cannot be made, e.g. a read-only directory
};

// Tries the lock of the current directory once. A lock left by a process that
// died is taken over. When held, text names the holder's process id.
ELockResult lockWorkDir(QLockFile& lock, QString& text);
