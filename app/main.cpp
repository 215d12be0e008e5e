#include "app/processsetup.h"
#include "app/zelnanoleaftool.h"

#include <QApplication>

int main(int argc, char** argv)
{
    prepareProcess();
    QApplication app(argc, argv);
    quitOnlyOnTerminationSignals(&app);
    ZelNanoleafTool window;
    window.show();
    return QApplication::exec();
}
