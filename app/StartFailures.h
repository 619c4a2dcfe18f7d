#pragma once

// Why a gateway stops before it runs, in the same words on stderr, in the
// message box and in history.log, whichever front end was started.

#include <QString>

// The holder as lockWorkDir names it.
QString heldDirFailure(const QString& holder);
// Both name the current directory.
QString notWritableFailure();
QString noStorageFailure();
