#pragma once

#include <QStringList>

class QGuiApplication;

// What the command line asks of the tool.
struct StartOptions {
    // Search once at start and pair every device found that has a stored token.
    bool resume = false;
    // Devices discovery cannot see, HOST[:PORT] each (--add, repeatable).
    QStringList add;
};

// Before the application object exists: with no display to talk to, fall back to
// Qt's offscreen platform so the tool still runs (and forwards host colours)
// on a headless machine. An explicit QT_QPA_PLATFORM always wins.
void prepareProcess();

// After the application object exists: the event loop ends on SIGINT and SIGTERM
// only, never because a window closed. The main window only hides on close, so
// a parentless box (the pairing hint) can be the last visible window; closing it
// must not end a tool that is still forwarding host colours. On Windows there are
// no signals: the main window ends the loop on the host's close request itself.
// A signal lets the window's destructor stop the service thread cleanly; a second
// one, while that still waits for the devices, ends the process at once.
void quitOnlyOnTerminationSignals(QGuiApplication* app);

// Reads the tool's own options from the arguments the application object left
// (it takes Qt's own, such as -platform, out first). Returns -1 to go on, or the
// exit code to end with: 0 after --help (usage on standard output), 2 after an
// unknown option, an argument or an --add that is not HOST[:PORT] (usage on
// standard error).
int readStartOptions(const QStringList& arguments, StartOptions& options);
