#pragma once

class QCoreApplication;

// Before the application object exists: with no display to talk to, fall back to
// Qt's offscreen platform so the tool still runs (and forwards host colours)
// on a headless machine. An explicit QT_QPA_PLATFORM always wins.
void prepareProcess();

// After the application object exists: SIGINT and SIGTERM end the event loop, so
// the window's destructor stops the service thread cleanly (the window itself
// only hides on close, so a signal is how a service manager or a terminal ends
// the tool). No effect on Windows.
void quitOnTerminationSignals(QCoreApplication* app);
