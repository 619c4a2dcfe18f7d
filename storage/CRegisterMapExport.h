#pragma once

#include <QString>
#include <QStringList>

class CDataBaseHandler;

// The register map of every registered device as CSV, for the PLC programmer:
// one line per register, ordered by port and address, with its address from 0
// and as holding and input reference, its width, type, word order and scaling.
// The window and the command line both write it through here.
class CRegisterMapExport
{
public:
    static const QStringList HEADER;

    // registers, when given, gets the number of registers listed.
    static QString csv(CDataBaseHandler* storage, int* registers = nullptr);
    // Replaces the file whole with the map's text; false with the reason in error.
    static bool write(const QString& path, const QString& csvText, QString& error);
};
