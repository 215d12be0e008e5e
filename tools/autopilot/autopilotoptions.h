#pragma once

#include <QString>
#include <QStringList>

// What prismara-autopilot is asked to do, read from its command line.
struct AutopilotOptions {
    bool search = false;
    bool pairAll = false;
    QStringList pairNames; // --pair NAME, in the order given
    double holdSeconds = 0; // 0: exit as soon as the steps are done
    bool hide = false;
    int cycles = 0; // --cycles N: unpair and pair again the first paired device N times
    QString reportFile;

    // Bounds of the waits. A scan listens for 3 s and reports at its end; a
    // pairing is up to three requests of at most 5 s each.
    int searchTimeoutMs = 10000;
    int pairTimeoutMs = 20000;
    // After the tool shows its pairing hint, how long a new token may still
    // arrive (a stale stored token is followed by a fresh pairing request).
    int afterHintMs = 6000;
    // After the last pairing, how long its requests may still take (each ends
    // after 5 s without progress).
    int settleTimeoutMs = 10000;

    // Reads argv into options. Returns true to go on; otherwise exitCode says
    // how to end: 0 after --help, 2 for a bad command line (message on stderr).
    static bool parse(const QStringList& arguments, AutopilotOptions& options, int& exitCode);
};
