#include "ui/CRegisterMapSave.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include "app/CLogFile.h"
#include "storage/CDataBaseHandler.h"
#include "storage/CRegisterMapExport.h"

namespace {
const QString TITLE = QStringLiteral("Register map");
const QString LOG_WRITTEN =
    QStringLiteral("INFO: [CRegisterMapSave::ask] Register map with %1 registers written to [%2]");
const QString LOG_NOT_WRITTEN =
    QStringLiteral("ERROR: [CRegisterMapSave::ask] Register map not written to [%1]: %2");
} // namespace

void CRegisterMapSave::ask(QWidget* parent)
{
    const QString path = QFileDialog::getSaveFileName(
        parent, TITLE, QDir::home().filePath("register-map.csv"), QStringLiteral("CSV (*.csv)"));
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (path.isEmpty() || !storage)
        return;
    int registers = 0;
    QString error;
    if (!CRegisterMapExport::write(path, CRegisterMapExport::csv(storage, &registers), error)) {
        addLog(LOG_NOT_WRITTEN.arg(path, error));
        QMessageBox::warning(parent, TITLE, QStringLiteral("Not written to %1: %2").arg(path, error));
        return;
    }
    addLog(LOG_WRITTEN.arg(QString::number(registers), path));
    QMessageBox::information(
        parent, TITLE, QStringLiteral("%1 registers written to %2").arg(QString::number(registers), path));
}
