#pragma once

#include <QHash>
#include <QString>

// Keeps a client that keeps trying from flooding the log: one line per source
// at most once a minute, counting the refusals in between.
class CRefusedClientLog
{
public:
    static constexpr qint64 INTERVAL_MS = 60 * 1000;
    // Sources remembered at most; older ones are forgotten first.
    static constexpr int MAX_SOURCES = 1024;

    // Refusals of the source to write in a line now (this one included), or
    // 0 when it was written less than a minute ago.
    int refused(const QString& source, qint64 nowMs);

private:
    struct SSource
    {
        qint64 loggedMs = 0;
        int unlogged = 0;
    };
    void forgetOld(qint64 nowMs);

    QHash<QString, SSource> sources;
};
