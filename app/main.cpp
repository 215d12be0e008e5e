#include "app/processsetup.h"
#include "app/zelnanoleaftool.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"

#include <QApplication>

int main(int argc, char** argv)
{
    prepareProcess();
    QApplication app(argc, argv);
    StartOptions options;
    const int early = readStartOptions(QCoreApplication::arguments(), options);
    if (early >= 0)
        return early;
    quitOnlyOnTerminationSignals(&app);
    ZelNanoleafTool window;
    window.service->setAddedDevices(options.add);
    window.show();
    if (options.resume || TokenProfile::resumeAtStart())
        window.resumeDevices();
    return QApplication::exec();
}
