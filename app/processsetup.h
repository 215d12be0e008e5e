#pragma once

#include "app/tooloptions.h"

#ifndef _WIN32
#include "app/instancechannel.h"
#endif

class QGuiApplication;
class ZelNanoleafTool;

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

// The diagnostic log (every qDebug line) on or off; off unless asked for, so a
// terminal or the session's journal gets warnings and notices only. Off is a
// filter rule that QT_LOGGING_CONF and QT_LOGGING_RULES still overrule.
void setDebugLog(bool on);

// What options ask of the tool: at its start (starting), or handed over by a later
// start, which shows the window, adds its --add devices, resumes without looking at
// the token profile and restarts the network intake as its --listen,
// --listen-address and --universe ask.
void applyOptions(ZelNanoleafTool& window, const StartOptions& options, bool starting);

#ifndef _WIN32
// Makes this process the session's one tool, or hands arguments (the program name
// first) to the tool that runs and, for --quit, waits until it has ended. Returns
// -1 when this process is the tool and goes on, else the exit code to end with.
int claimSession(
    InstanceChannel& instance, const StartOptions& options, const QStringList& arguments);

// The running tool's answer to a later start's arguments (program name left out):
// reads and applies them; --quit ends the event loop once the answer is out.
InstanceChannel::Answer answerLaterStart(ZelNanoleafTool& window, const QStringList& arguments);
#endif

// Caps each device's frames as the token profile's [settings] max_fps asks; a value
// that cannot be read is named on standard error and left out (no cap).
void capFrameRate(ZelNanoleafTool& window);

// Starts the network intake as the token profile's [intake] group and the command
// line ask (the command line wins); a profile value that cannot be read is named on
// standard error and left out.
void startNetworkIntake(ZelNanoleafTool& window, const StartOptions& options);
