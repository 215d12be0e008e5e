#include "app/processsetup.h"

#include "service/intakesettings.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"
#include "sync/checkedconnect.h"

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
    // Only async-signal-safe work here: wake the event loop through the pipe.
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
    const QCommandLineOption listen("listen",
        "Take frames from lighting programs on the network: LIST is ddp, e131 and artnet "
        "separated by commas, or all (default: none, also listen= under [intake] in the token "
        "profile, where timeout= sets the seconds after which a silent DDP or Art-Net sender "
        "counts as gone, default 5). Any host on the network can reach these ports.",
        "LIST");
    const QCommandLineOption listenAddress("listen-address",
        "The local IPv4 address to take them on (default: every interface; also address= under "
        "[intake]).",
        "ADDR");
    const QCommandLineOption universe("universe",
        "The E1.31 universe the first device starts in, Art-Net Port-Address N - 1 (default: 1; "
        "also universe= under [intake]).",
        "N");
    parser.addOption(help);
    parser.addOption(resume);
    parser.addOption(listen);
    parser.addOption(listenAddress);
    parser.addOption(universe);
    // The usage names the tool, not the path it was started by.
    QString usage = parser.helpText();
    usage.replace(0, usage.indexOf(" [options]"), "Usage: prismara-nanoleaf-tool");
    QString problem;
    NetworkIntakeSettings check;
    QString why;
    if (!parser.parse(arguments))
        problem = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        problem = "Unexpected argument '" + parser.positionalArguments().first() + "'.";
    else if (parser.isSet(listen) && !check.readListen(parser.value(listen), why))
        problem = "--listen: " + why + ".";
    else if (parser.isSet(listenAddress) && !check.readAddress(parser.value(listenAddress), why))
        problem = "--listen-address: " + why + ".";
    else if (parser.isSet(universe) && !check.readUniverse(parser.value(universe), why))
        problem = "--universe: " + why + ".";
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
    if (parser.isSet(listen))
        options.listen = parser.value(listen);
    if (parser.isSet(listenAddress))
        options.listenAddress = parser.value(listenAddress);
    if (parser.isSet(universe))
        options.universe = parser.value(universe);
    return -1;
}

void StartOptions::applyIntake(NetworkIntakeSettings& settings) const
{
    QString checked; // readStartOptions() refused what cannot be read
    if (listen)
        settings.readListen(*listen, checked);
    if (listenAddress)
        settings.readAddress(*listenAddress, checked);
    if (universe)
        settings.readUniverse(*universe, checked);
}

void startNetworkIntake(nanoleafAPIsync* service, const StartOptions& options)
{
    NetworkIntakeSettings settings;
    QStringList problems;
    TokenProfile::readIntake(settings, problems);
    for (const QString& problem : problems)
        std::fprintf(stderr, "prismara-nanoleaf-tool: token profile %s: %s, left out\n",
            qPrintable(TokenProfile::fileName()), qPrintable(problem));
    options.applyIntake(settings);
    service->startIntake(settings);
}
