#include "tools/autopilot/autopilotoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cmath>
#include <cstdio>

namespace
{

const char* const kDescription
    = "Runs the Prismara Nanoleaf Tool window in this process and drives it through its\n"
      "own slots, the way a user would:\n"
      "  --search     presses SEARCH and waits (at most 10 s) for the scan to end;\n"
      "  --pair-all   selects each row of the device table in turn and presses PAIR,\n"
      "               waiting (at most 20 s each) until the row shows \"Paired\";\n"
      "  --pair NAME  the same for the row of that device (repeatable); after the\n"
      "               last one it waits (at most 10 s) until the tool's requests to\n"
      "               the devices are answered (external control switched on);\n"
      "  --cycles N   unpairs and pairs again the first paired device N times,\n"
      "               each time waiting (at most 20 s) until it shows the new status\n"
      "               and every request is answered; prints VmRSS every 1000;\n"
      "  --hide       hides the window as its close button does (before the cycles);\n"
      "  --hold S     keeps the tool running for S seconds, forwarding host colour\n"
      "               frames from the host endpoint ($PRISMARA_HOST_SOCKET).\n"
      "Steps run in that order. Devices must be in pairing mode unless a token for\n"
      "them is already stored in the profile under $XDG_CONFIG_HOME.\n"
      "Each step is logged on standard output; the tool's own debug log goes to\n"
      "standard error as usual (QT_LOGGING_RULES applies). SIGINT or SIGTERM during\n"
      "--hold ends the hold early and cleanly.\n"
      "\n"
      "Exit status: 0 when every requested step succeeded, 1 when one failed, 2 on a\n"
      "bad command line, 3 when stopped by a signal before the steps were done.";

bool fail(const char* what, int& exitCode)
{
    std::fprintf(stderr, "prismara-autopilot: %s (see --help)\n", what);
    exitCode = 2;
    return false;
}

} // namespace

bool AutopilotOptions::parse(const QStringList& arguments, AutopilotOptions& options, int& exitCode)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    const QCommandLineOption searchOpt(
        QStringLiteral("search"), QStringLiteral("Press SEARCH and wait for the scan."));
    const QCommandLineOption pairAllOpt(QStringLiteral("pair-all"),
        QStringLiteral("Pair every device in the table, one after the other."));
    const QCommandLineOption pairOpt(QStringLiteral("pair"),
        QStringLiteral("Pair the device of this name (repeatable)."), QStringLiteral("NAME"));
    const QCommandLineOption holdOpt(QStringLiteral("hold"),
        QStringLiteral("Keep forwarding host frames this long, then exit."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption cyclesOpt(QStringLiteral("cycles"),
        QStringLiteral("Unpair and pair the first paired device N times."), QStringLiteral("N"));
    const QCommandLineOption hideOpt(
        QStringLiteral("hide"), QStringLiteral("Hide the window as its close button does."));
    const QCommandLineOption reportOpt(QStringLiteral("report"),
        QStringLiteral("Write what was found and paired to FILE (JSON)."), QStringLiteral("FILE"));
    for (const QCommandLineOption* opt :
        { &searchOpt, &pairAllOpt, &pairOpt, &cyclesOpt, &holdOpt, &hideOpt, &reportOpt })
        parser.addOption(*opt);

    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "prismara-autopilot: %s\n", qPrintable(parser.errorText()));
        exitCode = 2;
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::printf("%s", qPrintable(parser.helpText()));
        exitCode = 0;
        return false;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail("unexpected arguments", exitCode);

    options.search = parser.isSet(searchOpt);
    options.pairAll = parser.isSet(pairAllOpt);
    options.hide = parser.isSet(hideOpt);
    options.reportFile = parser.value(reportOpt);
    if (parser.isSet(reportOpt) && options.reportFile.isEmpty())
        return fail("--report wants a file name", exitCode);
    for (const QString& name : parser.values(pairOpt)) {
        if (name.isEmpty())
            return fail("--pair wants a device name", exitCode);
        if (!options.pairNames.contains(name))
            options.pairNames.append(name);
    }
    if (parser.isSet(cyclesOpt)) {
        bool ok = false;
        options.cycles = parser.value(cyclesOpt).toInt(&ok);
        if (!ok || options.cycles < 0 || options.cycles > 1000000)
            return fail("--cycles wants a count from 0 to 1000000", exitCode);
    }
    if (parser.isSet(holdOpt)) {
        bool ok = false;
        const double seconds = parser.value(holdOpt).toDouble(&ok);
        // A day is far beyond any demo or benchmark, and keeps the milliseconds
        // within an int for the hold timer.
        if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > 86400)
            return fail("--hold wants a number of seconds from 0 to 86400", exitCode);
        options.holdSeconds = seconds;
    }
    exitCode = 0;
    return true;
}
