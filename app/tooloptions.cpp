#include "app/tooloptions.h"

#include "platform/buildinfo.h"
#include "service/intakesettings.h"
#include "zeroconf/addressprobe.h"

#include <QCommandLineParser>

#include <cstdio>

namespace
{

constexpr int kHelpWidth = 79;
constexpr int kNameColumn = 24;

// name, then description from the description column on (name on a line of its
// own when it reaches that column), wrapped at kHelpWidth.
QString helpRow(const QString& name, const QString& description)
{
    const QString indent(kNameColumn, ' ');
    QString text;
    QString line = "  " + name;
    if (line.size() >= kNameColumn) {
        text = line + '\n';
        line = indent;
    } else {
        line = line.leftJustified(kNameColumn);
    }
    bool lineEmpty = true; // nothing after the indent yet
    for (const QString& word : description.split(' ', Qt::SkipEmptyParts)) {
        if (!lineEmpty && line.size() + 1 + word.size() > kHelpWidth) {
            text += line + '\n';
            line = indent;
            lineEmpty = true;
        }
        line += (lineEmpty ? QString() : QStringLiteral(" ")) + word;
        lineEmpty = false;
    }
    return text + line + '\n';
}

QString withDefault(const char* description, const char* defaultText)
{
    QString text = QString::fromUtf8(description);
    if (defaultText != nullptr)
        text += QStringLiteral(" Default: %1.").arg(QString::fromUtf8(defaultText));
    return text;
}

} // namespace

const std::vector<ToolOption>& toolOptions()
{
    static const std::vector<ToolOption> options = {
        { "help", 'h', nullptr, "Show this help and end.", nullptr, &StartOptions::help },
        { "version", '\0', nullptr, "Show the version and end.", nullptr, &StartOptions::version },
        { "verbose", '\0', nullptr,
            "Write the diagnostic log to standard error (QT_LOGGING_RULES can turn it on or "
            "off as well). Handed to a running tool, turns its log on.",
            "warnings and notices only", &StartOptions::verbose },
        { "hidden", '\0', nullptr,
            "Keep the window hidden: the tool runs in the tray, or in the background without "
            "one, and a later start shows the window.",
            "the window is shown", &StartOptions::hidden },
        { "resume", '\0', nullptr,
            "Search once and pair every device found that has a stored token, as PAIR does. "
            "Handed to a running tool, does so there.",
            "off, unless resume is on in [settings]", &StartOptions::resume },
        { "quit", '\0', nullptr,
            "End the running tool cleanly, as SIGTERM does, and wait until it has ended; "
            "exit code 1 when no tool runs.",
            nullptr, &StartOptions::quit },
        { "listen", '\0', "LIST",
            "Take frames from lighting programs on the network: ddp, e131 and artnet separated "
            "by commas, or all. Any host on the network can reach these ports. Handed to a "
            "running tool, listens there as asked.",
            "none, unless listen is set in [intake]", nullptr, &StartOptions::listen },
        { "listen-address", '\0', "ADDR", "The local IPv4 address to take those frames on.",
            "every interface, unless address is set in [intake]", nullptr,
            &StartOptions::listenAddress },
        { "universe", '\0', "N",
            "The E1.31 universe the strip starts in (1 to 63999); Art-Net's Port-Address is "
            "N - 1.",
            "1, unless universe is set in [intake]", nullptr, &StartOptions::universe },
        { "add", '\0', "HOST[:PORT]",
            "A device discovery cannot see, by IPv4 address or host name (.local names "
            "included), with its port when not 16021; repeatable. Listed at every SEARCH. "
            "Handed to a running tool, adds it there.",
            "none, beside add in [settings]", nullptr, nullptr, &StartOptions::add },
    };
    return options;
}

const std::vector<ToolSetting>& toolSettings()
{
    static const std::vector<ToolSetting> settings = {
        { "settings", "resume", "BOOL",
            "Search and pair at every start, as --resume does; true, 1, yes or on turn it on.",
            "false" },
        { "settings", "restore", "on|off",
            "Give each device the scene it showed before streaming back when the tool ends and "
            "when the last network source is gone; off leaves the devices as they are.",
            "on" },
        { "settings", "unpair", "static|restore",
            "What UNPAIR leaves on the device: the static warm colour, or its scene from "
            "before streaming.",
            "static" },
        { "settings", "watch", "SECONDS",
            "How often each streamed device is asked what it shows (1 to 3600), so a device "
            "that restarted is taken again.",
            "30" },
        { "settings", "light_stream", "v1|v2",
            "How Light Panels are streamed: their one-byte records on 60221, or the v2 "
            "datagram of every panel like the later models.",
            "v1" },
        { "settings", "add", "HOST[:PORT],...",
            "Devices discovery cannot see, as --add takes them.", "none" },
        { "settings", "max_fps", "N",
            "At most N frames per second to each device (1 to 1000), for panels that cannot "
            "keep up: a frame that comes too soon waits for the device's next turn, a newer one "
            "replaces it, nothing queues.",
            "none: every frame as it comes" },
        { "intake", "listen", "LIST", "The network intake's protocols, as --listen takes them.",
            "none" },
        { "intake", "address", "ADDR", "The address it listens on, as --listen-address.",
            "every interface" },
        { "intake", "universe", "N", "The strip's first E1.31 universe, as --universe.", "1" },
        { "intake", "timeout", "SECONDS",
            "How long a DDP or Art-Net sender may stay silent before it counts as gone "
            "(0.1 to 3600).",
            "5" },
    };
    return settings;
}

QString usageText()
{
    QString text = "Usage: prismara-nanoleaf-tool [options]\n"
                   "Forwards a host application's colours to Nanoleaf light panels on the\n"
                   "local network. One tool runs per user session: a later start hands its\n"
                   "options to the running tool, shows its window and ends.\n\nOptions:\n";
    for (const ToolOption& option : toolOptions()) {
        QString name = option.shortName != '\0'
            ? QStringLiteral("-%1, --%2").arg(QChar(option.shortName)).arg(option.name)
            : QStringLiteral("--%1").arg(option.name);
        if (option.valueName != nullptr)
            name += QStringLiteral(" <%1>").arg(option.valueName);
        text += helpRow(name, withDefault(option.description, option.defaultText));
    }
    // "Files:" and "Environment:" become the man page's sections of those names.
    text += "\nFiles:\nThe token profile, $XDG_CONFIG_HOME/Zel/nanoleaf/nanoleafInfo.ini\n"
            "(XDG_CONFIG_HOME is ~/.config when unset), holds the paired devices' tokens\n"
            "and these settings:\n";
    for (const ToolSetting& setting : toolSettings())
        text += helpRow(
            QStringLiteral("[%1] %2=%3").arg(setting.group, setting.key, setting.valueName),
            withDefault(setting.description, setting.defaultText));
    text += "\nEnvironment:\n";
    text += helpRow("QT_LOGGING_RULES",
        "Qt's logging rules; default.debug=true turns the diagnostic log on, as --verbose does.");
    text += helpRow("PRISMARA_HOST_SOCKET",
        "Where hosts connect: a name in $XDG_RUNTIME_DIR (else in "
        "/tmp/prismara-nanoleaf-<uid>) or an absolute path. Default: prismara-nanoleaf-host. "
        "One tool runs per endpoint; the next start finds it beside the endpoint.");
    return text;
}

QString versionText()
{
    return QStringLiteral("prismara-nanoleaf-tool %1\n").arg(QString::fromUtf8(prismaraVersion()));
}

bool parseStartOptions(const QStringList& arguments, StartOptions& options, QString& problem)
{
    QCommandLineParser parser;
    std::vector<QCommandLineOption> parsed;
    for (const ToolOption& option : toolOptions()) {
        QStringList names { QString::fromUtf8(option.name) };
        if (option.shortName != '\0')
            names.prepend(QString(QChar(option.shortName)));
        parsed.emplace_back(names, QString::fromUtf8(option.description),
            option.valueName != nullptr ? QString::fromUtf8(option.valueName) : QString());
        parser.addOption(parsed.back());
    }
    if (!parser.parse(arguments)) {
        problem = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        problem = "Unexpected argument '" + parser.positionalArguments().first() + "'.";
        return false;
    }
    StartOptions read;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        const ToolOption& option = toolOptions()[i];
        if (option.flag != nullptr)
            read.*option.flag = parser.isSet(parsed[i]);
        if (option.value != nullptr && parser.isSet(parsed[i]))
            read.*option.value = parser.value(parsed[i]);
        if (option.values != nullptr)
            read.*option.values = parser.values(parsed[i]);
    }
    for (const QString& entry : read.add) {
        AddressProbe::Entry device;
        if (!AddressProbe::parseEntry(entry.toStdString(), device)) {
            problem = "--add '" + entry + "' is not HOST or HOST:PORT.";
            return false;
        }
    }
    // The intake's values are read the way the token profile's are, so a value is
    // refused here, with the reason, rather than left out later.
    NetworkIntakeSettings check;
    QString why;
    if (read.listen && !check.readListen(*read.listen, why))
        problem = "--listen: " + why + ".";
    else if (read.listenAddress && !check.readAddress(*read.listenAddress, why))
        problem = "--listen-address: " + why + ".";
    else if (read.universe && !check.readUniverse(*read.universe, why))
        problem = "--universe: " + why + ".";
    if (!problem.isEmpty())
        return false;
    options = read;
    return true;
}

int readStartOptions(const QStringList& arguments, StartOptions& options)
{
    QString problem;
    if (!parseStartOptions(arguments, options, problem)) {
        std::fprintf(stderr, "prismara-nanoleaf-tool: %s\n\n%s", qPrintable(problem),
            qPrintable(usageText()));
        return 2;
    }
    if (options.help || options.version) {
        std::fputs(qPrintable(options.help ? usageText() : versionText()), stdout);
        return 0;
    }
    return -1;
}

void StartOptions::applyIntake(NetworkIntakeSettings& settings) const
{
    QString checked; // parseStartOptions() refused what cannot be read
    if (listen)
        settings.readListen(*listen, checked);
    if (listenAddress)
        settings.readAddress(*listenAddress, checked);
    if (universe)
        settings.readUniverse(*universe, checked);
}
