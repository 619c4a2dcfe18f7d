#include <clocale>

#include <QApplication>
#include <QWidget>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/global.h"

int main(int argc, char* argv[])
{
    setlocale(LC_ALL, "");
    QApplication app(argc, argv);
    globalVarInit();
    CSettings::getInstance(SETT::SETT_FILENAME);
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    QWidget w;
    w.setWindowTitle(COMM::TITLE);
    w.show();
    return app.exec();
}
