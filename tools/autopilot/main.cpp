// prismara-autopilot: runs the real tool window in this process and presses its
// buttons through its own slots (SEARCH, PAIR, close), so a demo or a benchmark
// gets a paired, forwarding tool with one command. See --help.

#include "app/processsetup.h"
#include "app/zelnanoleaftool.h"
#include "service/checkedconnect.h"
#include "tools/autopilot/autopilot.h"
#include "tools/autopilot/autopilotoptions.h"

#include <QApplication>

int main(int argc, char** argv)
{
    prepareProcess();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("prismara-autopilot"));

    AutopilotOptions options;
    int code = 0;
    if (!AutopilotOptions::parse(QCoreApplication::arguments(), options, code))
        return code;

    quitOnlyOnTerminationSignals(&app);
    ZelNanoleafTool window;
    window.show();

    // A child of the window, so it goes only after the service thread has stopped.
    auto* pilot = new Autopilot(&window, options);
    checkedConnect(pilot, SIGNAL(finished(int)), &app, SLOT(quit()));
    pilot->start();
    QApplication::exec();
    // The loop also ends on SIGINT / SIGTERM, possibly before the steps are done.
    if (!pilot->isDone())
        pilot->stopEarly();
    return pilot->exitCode();
}
