#include "app/StartFailures.h"

#include <QDir>

#include "app/global.h"

namespace {
const QString HELD_DIR = QStringLiteral("CRITICAL_ERROR! [main] %1 This one stops.");
const QString NOT_WRITABLE =
    QStringLiteral("CRITICAL_ERROR! [main] Working directory [%1] is not writable. The gateway stops.");
const QString NO_STORAGE = QStringLiteral(
    "CRITICAL_ERROR! [main] Data base [%1] cannot be opened in [%2]. The gateway stops; see history.log.");
} // namespace

QString heldDirFailure(const QString& holder)
{
    return HELD_DIR.arg(holder);
}

QString notWritableFailure()
{
    return NOT_WRITABLE.arg(QDir::currentPath());
}

QString noStorageFailure()
{
    return NO_STORAGE.arg(DB::DB_FILENAME, QDir::currentPath());
}
