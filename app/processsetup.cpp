#include "app/processsetup.h"

#include "sync/checkedconnect.h"
#include "zeroconf/addressprobe.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

void prepareProcess()
{
#if !defined(_WIN32) && !defined(__APPLE__)
    const bool platformChosen = std::getenv("QT_QPA_PLATFORM") != nullptr;
    const bool hasDisplay = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
    if (!platformChosen && !hasDisplay)
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
#endif
}

#ifndef _WIN32
namespace
{

int signalPipe[2] = { -1, -1 };

extern "C" void onTerminationSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: wake the event loop through the pipe. The
    // next signal takes its default action, so a second Ctrl+C or SIGTERM ends the
    // tool at once even while it waits for devices to take their scenes back.
    struct sigaction fallBack = {};
    fallBack.sa_handler = SIG_DFL;
    sigemptyset(&fallBack.sa_mask);
    sigaction(SIGINT, &fallBack, nullptr);
    sigaction(SIGTERM, &fallBack, nullptr);
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written;
}

} // namespace
#endif

void quitOnlyOnTerminationSignals(QGuiApplication* app)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
#ifndef _WIN32
    // A plain pipe: the handler writes one byte, the event loop wakes and quits. Never
    // blocking, so a burst of signals cannot stall the handler on a full pipe.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    checkedConnect(notifier, SIGNAL(activated(int)), app, SLOT(quit()));
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#else
    (void)app;
#endif
}

int readStartOptions(const QStringList& arguments, StartOptions& options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Forwards a host application's colours to Nanoleaf light panels on the local network.");
    const QCommandLineOption help({ "h", "help" }, "Show this help and end.");
    const QCommandLineOption resume("resume",
        "Search once at start and pair every device found that has a stored token "
        "(also the setting resume=true in the token profile's [settings] group).");
    const QCommandLineOption add("add",
        "A device discovery cannot see, by IPv4 address or host name, with its port when not "
        "16021; repeatable (also add=HOST[:PORT],... in the token profile's [settings] group).",
        "HOST[:PORT]");
    parser.addOption(help);
    parser.addOption(resume);
    parser.addOption(add);
    // The usage names the tool, not the path it was started by.
    QString usage = parser.helpText();
    usage.replace(0, usage.indexOf(" [options]"), "Usage: prismara-nanoleaf-tool");
    QString problem;
    if (!parser.parse(arguments))
        problem = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        problem = "Unexpected argument '" + parser.positionalArguments().first() + "'.";
    for (const QString& entry : parser.values(add)) {
        AddressProbe::Entry parsed;
        if (problem.isEmpty() && !AddressProbe::parseEntry(entry.toStdString(), parsed))
            problem = "--add '" + entry + "' is not HOST or HOST:PORT.";
    }
    if (!problem.isEmpty()) {
        std::fprintf(
            stderr, "prismara-nanoleaf-tool: %s\n\n%s", qPrintable(problem), qPrintable(usage));
        return 2;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(usage), stdout);
        return 0;
    }
    options.resume = parser.isSet(resume);
    options.add = parser.values(add);
    return -1;
}
