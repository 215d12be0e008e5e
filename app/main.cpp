#include "app/processsetup.h"
#include "app/zelnanoleaftool.h"
#include "service/checkedconnect.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    prepareProcess();
    QApplication app(argc, argv);
    StartOptions options;
    const int early = readStartOptions(QCoreApplication::arguments(), options);
    if (early >= 0)
        return early;
    setDebugLog(options.verbose);
#ifndef _WIN32
    InstanceChannel instance;
    const int handedOver = claimSession(instance, options, QCoreApplication::arguments());
    if (handedOver >= 0)
        return handedOver;
    // A start while this one ends waits for the end and becomes the next tool.
    checkedConnect(&app, SIGNAL(aboutToQuit()), &instance, SLOT(close()));
#else
    // The host starts and ends the tool here: there is no running tool to reach.
    if (options.quit) {
        std::fputs("prismara-nanoleaf-tool: --quit is not available on this system\n", stderr);
        return 1;
    }
#endif
    quitOnlyOnTerminationSignals(&app);
    ZelNanoleafTool window;
    capFrameRate(window);
    startNetworkIntake(window, options);
    applyOptions(window, options, true);
#ifndef _WIN32
    instance.serve(
        [&window](const QStringList& arguments) { return answerLaterStart(window, arguments); });
#endif
    return QApplication::exec();
}
