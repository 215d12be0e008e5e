#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

struct NetworkIntakeSettings;

// What the command line asks of the tool. A later start hands its command line to
// the running tool, which reads it into the same struct (see app/instancechannel.h).
struct StartOptions {
    bool help = false;
    bool version = false;
    // Write the diagnostic log (every qDebug line) to standard error.
    bool verbose = false;
    // Keep the window hidden.
    bool hidden = false;
    // Search once and pair every device found that has a stored token.
    bool resume = false;
    // End the running tool instead of starting one.
    bool quit = false;
    // The network intake's options as given (checked when read): --listen,
    // --listen-address and --universe. Each one given replaces the token profile's
    // [intake] value.
    std::optional<QString> listen;
    std::optional<QString> listenAddress;
    std::optional<QString> universe;
    // Devices discovery cannot see, HOST[:PORT] each (--add, repeatable).
    QStringList add;

    bool hasIntake() const { return listen || listenAddress || universe; }
    // Puts the intake options given into settings.
    void applyIntake(NetworkIntakeSettings& settings) const;
};

// One option of the command line. Everything --help (and so the man page) says
// about options comes from these rows, and parsing reads them too: an option
// added later is one more row and one more member of StartOptions, and reaches a
// running tool the same way. An option with a value has value instead of flag.
struct ToolOption {
    const char* name; // long name, without the dashes
    char shortName; // '\0' for none
    const char* valueName; // null for a switch
    const char* description;
    const char* defaultText; // what holds without the option; null when nothing does
    bool StartOptions::*flag; // set by the switch
    std::optional<QString> StartOptions::*value = nullptr; // set to the option's value
    QStringList StartOptions::*values = nullptr; // every value of a repeatable option
};

// One setting of the token profile, read at start. Listed by --help like the options.
struct ToolSetting {
    const char* group;
    const char* key;
    const char* valueName;
    const char* description;
    const char* defaultText;
};

const std::vector<ToolOption>& toolOptions();
const std::vector<ToolSetting>& toolSettings();

// The text of --help: usage, every option and every setting with its default,
// and the environment variables the tool reads.
QString usageText();
// The text of --version: "prismara-nanoleaf-tool <version>".
QString versionText();

// Reads the tool's options from arguments (the program name first), without
// printing. False, with problem describing it, for an unknown option, a missing
// value or an argument that is no option.
bool parseStartOptions(const QStringList& arguments, StartOptions& options, QString& problem);

// Reads the tool's own options from the arguments the application object left (it
// takes Qt's own, such as -platform, out first). Returns -1 to go on, or the exit
// code to end with: 0 after --help or --version (on standard output), 2 after a
// problem (the problem and the usage on standard error).
int readStartOptions(const QStringList& arguments, StartOptions& options);
