#pragma once

class QGuiApplication;

// Before the application object exists: with no display to talk to, fall back to
// Qt's offscreen platform so the tool still runs (and forwards host colours)
// on a headless machine. An explicit QT_QPA_PLATFORM always wins.
void prepareProcess();

// After the application object exists: the event loop ends on SIGINT and SIGTERM
// only, never because a window closed. The main window only hides on close, so
// a parentless box (the pairing hint) can be the last visible window; closing it
// must not end a tool that is still forwarding host colours. On Windows there are
// no signals: the main window ends the loop on the host's close request itself.
// A signal lets the window's destructor stop the service thread cleanly.
void quitOnlyOnTerminationSignals(QGuiApplication* app);
