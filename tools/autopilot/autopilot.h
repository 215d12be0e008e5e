#pragma once

#include "tools/autopilot/autopilotoptions.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <vector>

class ZelNanoleafTool;

// Drives a running tool window through its own slots, as a user would: SEARCH,
// then PAIR on each wanted row, then leaves the tool forwarding host frames for
// a while. Every wait is bounded; every step is logged on standard output.
//
// Create it as a child of the window: the window's destructor stops the service
// thread before its children go, so nothing the scan probe posts from that
// thread can reach a destroyed autopilot.
class Autopilot : public QObject
{
    Q_OBJECT

public:
    enum ExitCode { Ok = 0, StepFailed = 1, Interrupted = 3 };

    Autopilot(ZelNanoleafTool* tool, const AutopilotOptions& options);

    // Starts the first step once the event loop runs.
    void start();
    // The event loop ended (a termination signal) before finished() was emitted:
    // ends a hold cleanly, counts any other step as interrupted, and reports.
    void stopEarly();
    bool isDone() const { return phase == Phase::Done; }
    int exitCode() const;

signals:
    void finished(int exitCode);

private slots:
    void begin();
    void deviceReported(QString name, QString ip);
    void scanEnded();
    void searchTimedOut();
    void tick();
    void countRequests(const char* answerSlot);
    void probeRequests();
    void requestsInFlight(int count);
    void holdOver();
    void cycleStep();
    void cycleState(int requests);

private:
    enum class Phase { Idle, Searching, Pairing, Settling, Cycling, Holding, Done };

    struct PairAttempt {
        QString name;
        QString ip;
        QString outcome; // what happened, in plain words
        bool paired = false;
        double seconds = 0;
    };

    void beginSearch();
    void endSearch(bool scanComplete);
    void beginPairing();
    void pairNext();
    void finishAttempt(bool paired, const QString& outcome);
    bool closePairingHint();
    void beginSettle();
    void hideWindow();
    void beginCycles();
    void afterSettle();
    void beginHold();
    void finish();

    int rowOf(const QString& name) const;
    QString cell(int row, int column) const;
    void fail(const QString& what);
    void writeReport() const;
    void printSummary() const;
    static void say(const QString& line);

    ZelNanoleafTool* tool;
    AutopilotOptions options;
    Phase phase = Phase::Idle;
    QTimer poll;
    QTimer searchDeadline;
    QTimer holdTimer;
    QElapsedTimer stepClock;

    QStringList reported; // names reported by the scan, in arrival order
    bool scanComplete = false;
    std::vector<PairAttempt> attempts;
    std::size_t nextAttempt = 0;
    bool attemptRunning = false;
    bool hintSeen = false;
    QElapsedTimer hintClock;
    QStringList failures;
    bool holdEndedEarly = false;
    bool interrupted = false;
    // --cycles: the device cycled, how many cycles are done, and whether the
    // current one waits for "Unpaired" (true) or "Paired" (false).
    QString cycleName;
    QString cycleIp;
    int cyclesDone = 0;
    bool cycleUnpairing = false;
};
