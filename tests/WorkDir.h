#pragma once

// Every file of the gateway is relative to the working directory: each test
// runs in a fresh temporary one, with its own history.log, and leaves it after.

#include <memory>

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "app/CLogFile.h"
#include "app/global.h"

class CWorkDir
{
public:
    explicit CWorkDir(bool withLog = true) : previous(QDir::currentPath())
    {
        entered = dir.isValid() && QDir::setCurrent(dir.path());
        if (entered && withLog)
            CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    }
    ~CWorkDir()
    {
        delete CLogFile::getInstance();
        QDir::setCurrent(previous);
    }

    bool isValid() const { return entered; }
    QString path() const { return dir.path(); }

    static QString log()
    {
        QCoreApplication::processEvents();
        QFile file(COMM::LOG_FILENAME);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QString previous;
    QTemporaryDir dir;
    bool entered = false;
};
