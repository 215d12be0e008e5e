#include "tools/autopilot/autopilot.h"

#include "app/zelnanoleaftool.h"
#include "service/checkedconnect.h"
#include "service/nanoleafapisync.h"
#include "sync/hostmessageserver.h"
#include "views/pair_view.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardItemModel>
#include <QTableView>

#include <cstdio>

namespace
{

constexpr int kPollMs = 50;

// Resident memory of this process in KiB (VmRSS), -1 when unknown.
qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

QString seconds(qint64 ms)
{
    return QString::number(static_cast<double>(ms) / 1000.0, 'f', 1) + QStringLiteral(" s");
}

} // namespace

Autopilot::Autopilot(ZelNanoleafTool* window, const AutopilotOptions& wanted)
    : QObject(window)
    , tool(window)
    , options(wanted)
{
    poll.setInterval(kPollMs);
    searchDeadline.setSingleShot(true);
    holdTimer.setSingleShot(true);
    holdTimer.setTimerType(Qt::PreciseTimer);
    checkedConnect(&poll, SIGNAL(timeout()), this, SLOT(tick()));
    checkedConnect(&searchDeadline, SIGNAL(timeout()), this, SLOT(searchTimedOut()));
    checkedConnect(&holdTimer, SIGNAL(timeout()), this, SLOT(holdOver()));
    // Queued from the service thread, after the tool's own slot for the same report.
    checkedConnect(tool->service, SIGNAL(bonjourGetIpName(QString, QString)), this,
        SLOT(deviceReported(QString, QString)));
}

void Autopilot::say(const QString& line)
{
    std::printf("autopilot: %s\n", qPrintable(line));
    std::fflush(stdout);
}

void Autopilot::start()
{
    QMetaObject::invokeMethod(this, "begin", Qt::QueuedConnection);
}

void Autopilot::begin()
{
    say(QStringLiteral("the tool window is up (%1); token profile: %2")
            .arg(tool->isVisible() ? QStringLiteral("shown") : QStringLiteral("not shown"),
                nanoleafAPIsync::profileFileName()));
    poll.start();
    if (options.search)
        beginSearch();
    else
        beginPairing();
}

int Autopilot::exitCode() const
{
    if (interrupted)
        return Interrupted;
    return failures.isEmpty() ? Ok : StepFailed;
}

void Autopilot::fail(const QString& what)
{
    failures.append(what);
}

// ---------------------------------------------------------------- search

void Autopilot::beginSearch()
{
    phase = Phase::Searching;
    reported.clear();
    scanComplete = false;
    stepClock.start();
    say(QStringLiteral("search: pressing SEARCH"));
    tool->slot_Scan();
    // The scan listens on the service's scan thread and reports each device by a
    // queued signal. Once the slot has taken the scan on the service thread, a
    // probe set behind it comes back after every report it made.
    nanoleafAPIsync* service = tool->service;
    QMetaObject::invokeMethod(
        service,
        [this, service] {
            service->afterScans(
                [this] { QMetaObject::invokeMethod(this, "scanEnded", Qt::QueuedConnection); });
        },
        Qt::QueuedConnection);
    searchDeadline.start(options.searchTimeoutMs);
}

void Autopilot::deviceReported(QString name, QString ip)
{
    if (phase != Phase::Searching)
        return;
    say(QStringLiteral("search: found \"%1\" at %2").arg(name, ip));
    if (!reported.contains(name))
        reported.append(name);
}

void Autopilot::scanEnded()
{
    if (phase == Phase::Searching)
        endSearch(true);
}

void Autopilot::searchTimedOut()
{
    if (phase == Phase::Searching)
        endSearch(false);
}

void Autopilot::endSearch(bool complete)
{
    searchDeadline.stop();
    scanComplete = complete;
    if (complete)
        say(QStringLiteral("search: scan over after %1, %2 device(s) answered")
                .arg(seconds(stepClock.elapsed()))
                .arg(reported.size()));
    else
        say(QStringLiteral("search: the scan did not end within %1; going on with the %2 device(s) "
                           "reported so far")
                .arg(seconds(options.searchTimeoutMs))
                .arg(reported.size()));
    if (reported.isEmpty())
        fail(QStringLiteral("search: no device answered"));
    beginPairing();
}

// ---------------------------------------------------------------- pairing

int Autopilot::rowOf(const QString& name) const
{
    const QStandardItemModel* model = tool->pairView->model;
    for (int row = 0; row < model->rowCount(); ++row)
        if (cell(row, 0) == name)
            return row;
    return -1;
}

QString Autopilot::cell(int row, int column) const
{
    return tool->pairView->model->index(row, column).data().toString();
}

void Autopilot::beginPairing()
{
    attempts.clear();
    nextAttempt = 0;
    QStringList names;
    if (options.pairAll) {
        for (int row = 0; row < tool->pairView->model->rowCount(); ++row) {
            const QString name = cell(row, 0);
            if (!name.isEmpty() && !names.contains(name))
                names.append(name);
        }
        if (names.isEmpty()) {
            say(QStringLiteral("pair: the device table is empty, nothing to pair"));
            fail(QStringLiteral("pair: the device table is empty"));
        }
    }
    for (const QString& name : options.pairNames) {
        if (names.contains(name))
            continue;
        if (rowOf(name) < 0) {
            say(QStringLiteral("pair: \"%1\" is not in the device table").arg(name));
            fail(QStringLiteral("pair: \"%1\" is not in the device table").arg(name));
            continue;
        }
        names.append(name);
    }
    if (names.isEmpty()) {
        beginHold();
        return;
    }
    phase = Phase::Pairing;
    for (const QString& name : names) {
        PairAttempt attempt;
        attempt.name = name;
        attempts.push_back(attempt);
    }
    say(QStringLiteral("pair: %1 device(s) to pair, one after the other").arg(attempts.size()));
    pairNext();
}

// One device at a time: the tool's service keeps a single current device, so a
// second PAIR before the first one's answers are in would pair the wrong name.
void Autopilot::pairNext()
{
    while (nextAttempt < attempts.size()) {
        PairAttempt& attempt = attempts[nextAttempt];
        stepClock.start();
        const int row = rowOf(attempt.name);
        if (row < 0) {
            say(QStringLiteral("pair: \"%1\" is no longer in the device table").arg(attempt.name));
            attemptRunning = true;
            finishAttempt(false, QStringLiteral("not in the device table"));
            continue;
        }
        attempt.ip = cell(row, 1);
        const QModelIndex index = tool->pairView->model->index(row, 0);
        say(QStringLiteral("pair: selecting row %1: \"%2\" at %3, status \"%4\"")
                .arg(row)
                .arg(attempt.name, attempt.ip, cell(row, 2)));
        // A mouse click both highlights the row and picks it for PAIR.
        tool->pairView->tableView->setCurrentIndex(index);
        tool->pairView->itemClicked(index);
        attemptRunning = true;
        hintSeen = false;
        if (cell(row, 2) == QLatin1String("Paired")) {
            say(QStringLiteral("pair: \"%1\" is already paired").arg(attempt.name));
            finishAttempt(true, QStringLiteral("already paired"));
            continue;
        }
        say(QStringLiteral("pair: pressing PAIR for \"%1\"").arg(attempt.name));
        tool->pairView->slot_PairPressed();
        return; // tick() watches the row from here
    }
    say(QStringLiteral("pair: done"));
    beginSettle();
}

// A row shows "Paired" as soon as the layout answer is in; the request that
// switches the device to external control is still on its way then. Leaving
// before it is answered would leave the device as it was.
void Autopilot::beginSettle()
{
    phase = Phase::Settling;
    stepClock.start();
    probeRequests();
}

// Each request of the service has a network manager of its own, a child of the
// service until its answer is handled; counts them on the service's thread and
// hands the count to the named slot of this object.
void Autopilot::countRequests(const char* answerSlot)
{
    nanoleafAPIsync* service = tool->service;
    QMetaObject::invokeMethod(
        service,
        [this, service, answerSlot] {
            const int count
                = service
                      ->findChildren<QNetworkAccessManager*>(QString(), Qt::FindDirectChildrenOnly)
                      .size();
            QMetaObject::invokeMethod(this, answerSlot, Qt::QueuedConnection, Q_ARG(int, count));
        },
        Qt::QueuedConnection);
}

void Autopilot::probeRequests()
{
    if (phase != Phase::Settling)
        return;
    countRequests("requestsInFlight");
}

void Autopilot::requestsInFlight(int count)
{
    if (phase != Phase::Settling)
        return;
    if (count == 0) {
        say(QStringLiteral("pair: every request of the tool is answered"));
        afterSettle();
        return;
    }
    if (stepClock.elapsed() >= options.settleTimeoutMs) {
        say(QStringLiteral("pair: %1 request(s) of the tool still unanswered after %2; going on")
                .arg(count)
                .arg(seconds(options.settleTimeoutMs)));
        afterSettle();
        return;
    }
    QTimer::singleShot(kPollMs, this, SLOT(probeRequests()));
}

void Autopilot::finishAttempt(bool paired, const QString& outcome)
{
    if (!attemptRunning || nextAttempt >= attempts.size())
        return;
    attemptRunning = false;
    PairAttempt& attempt = attempts[nextAttempt];
    attempt.paired = paired;
    attempt.outcome = outcome;
    attempt.seconds = stepClock.isValid() ? static_cast<double>(stepClock.elapsed()) / 1000.0 : 0;
    if (!paired)
        fail(QStringLiteral("pair: \"%1\": %2").arg(attempt.name, outcome));
    ++nextAttempt;
}

// The hint is a modal message box that waits for OK; nobody is there to press
// it, so close it the way OK would and note it.
bool Autopilot::closePairingHint()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr)
        return false;
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
        say(QStringLiteral("pair: the tool shows its pairing hint (%1); closing it")
                .arg(phase == Phase::Pairing && nextAttempt < attempts.size()
                        ? QStringLiteral("\"%1\" gave no token, or refused the stored one")
                              .arg(attempts[nextAttempt].name)
                        : QStringLiteral("outside a pairing step")));
        dialog->reject();
    } else {
        modal->close();
    }
    return true;
}

void Autopilot::tick()
{
    if (closePairingHint()) {
        // Leave the hint's own event loop before doing anything else.
        if (phase == Phase::Pairing && attemptRunning && !hintSeen) {
            hintSeen = true;
            hintClock.start();
        }
        return;
    }
    if (phase != Phase::Pairing || !attemptRunning)
        return;
    const PairAttempt& attempt = attempts[nextAttempt];
    const int row = rowOf(attempt.name);
    if (row >= 0 && cell(row, 2) == QLatin1String("Paired")) {
        say(QStringLiteral("pair: \"%1\" shows \"Paired\" after %2")
                .arg(attempt.name, seconds(stepClock.elapsed())));
        finishAttempt(true, QStringLiteral("paired"));
        pairNext();
        return;
    }
    if (hintSeen && hintClock.elapsed() >= options.afterHintMs) {
        say(QStringLiteral("pair: \"%1\" is not paired %2 after the pairing hint; giving up on it")
                .arg(attempt.name, seconds(options.afterHintMs)));
        finishAttempt(false, QStringLiteral("the device gave no token (pairing hint shown)"));
        pairNext();
        return;
    }
    if (stepClock.elapsed() >= options.pairTimeoutMs) {
        say(QStringLiteral("pair: \"%1\" did not show \"Paired\" within %2; giving up on it")
                .arg(attempt.name, seconds(options.pairTimeoutMs)));
        finishAttempt(
            false, QStringLiteral("not \"Paired\" within %1").arg(seconds(options.pairTimeoutMs)));
        pairNext();
    }
}

// ---------------------------------------------------------------- cycles

void Autopilot::afterSettle()
{
    // A hidden window paints nothing while the cycles run, as in everyday use.
    hideWindow();
    if (options.cycles > 0)
        beginCycles();
    else
        beginHold();
}

// Unpair and pair one device again and again, each step through the tool's own
// slots, waiting until its row shows the new status and no request is left.
void Autopilot::beginCycles()
{
    cycleName.clear();
    for (const PairAttempt& attempt : attempts) {
        if (attempt.paired) {
            cycleName = attempt.name;
            cycleIp = attempt.ip;
            break;
        }
    }
    if (cycleName.isEmpty()) {
        say(QStringLiteral("cycles: no paired device to cycle"));
        fail(QStringLiteral("cycles: no paired device"));
        beginHold();
        return;
    }
    phase = Phase::Cycling;
    poll.stop(); // the cycle waits below watch for the hint themselves
    cyclesDone = 0;
    say(QStringLiteral("cycles: VmRSS %1 KiB before the first of %2 unpair/pair cycles of \"%3\"")
            .arg(residentKiB())
            .arg(options.cycles)
            .arg(cycleName));
    cycleUnpairing = true;
    stepClock.start();
    tool->slot_UnPair(rowOf(cycleName), cycleName, cycleIp);
    cycleStep();
}

void Autopilot::cycleStep()
{
    if (phase != Phase::Cycling)
        return;
    countRequests("cycleState");
}

void Autopilot::cycleState(int requests)
{
    if (phase != Phase::Cycling)
        return;
    closePairingHint();
    const int row = rowOf(cycleName);
    const QString wanted = cycleUnpairing ? QStringLiteral("Unpaired") : QStringLiteral("Paired");
    if (row >= 0 && requests == 0 && cell(row, 2) == wanted) {
        if (!cycleUnpairing) {
            ++cyclesDone;
            if (cyclesDone % 1000 == 0 || cyclesDone == options.cycles)
                say(QStringLiteral("cycles: %1 done; VmRSS %2 KiB")
                        .arg(cyclesDone)
                        .arg(residentKiB()));
            if (cyclesDone >= options.cycles) {
                beginHold();
                return;
            }
        }
        cycleUnpairing = !cycleUnpairing;
        stepClock.start();
        if (cycleUnpairing)
            tool->slot_UnPair(row, cycleName, cycleIp);
        else
            tool->slot_Pair(row, cycleName, cycleIp);
    } else if (stepClock.elapsed() >= options.pairTimeoutMs) {
        say(QStringLiteral("cycles: cycle %1 did not show \"%2\" within %3; stopping")
                .arg(cyclesDone + 1)
                .arg(wanted, seconds(options.pairTimeoutMs)));
        fail(QStringLiteral("cycles: stuck in cycle %1").arg(cyclesDone + 1));
        beginHold();
        return;
    }
    cycleStep();
}

// ---------------------------------------------------------------- hold

void Autopilot::hideWindow()
{
    if (!options.hide || tool->isHidden())
        return;
    say(QStringLiteral("hide: pressing the close button (the window hides, forwarding goes on)"));
    tool->closeButton->click();
    if (!tool->isHidden())
        fail(QStringLiteral("hide: the window is still shown"));
}

void Autopilot::beginHold()
{
    hideWindow();
    if (options.holdSeconds <= 0) {
        finish();
        return;
    }
    const HostMessageServer* endpoint = tool->hostServer();
    if (endpoint == nullptr || !endpoint->isListening()) {
        say(QStringLiteral(
            "hold: the host endpoint is not listening, so no host frame can arrive"));
        fail(QStringLiteral("hold: the host endpoint is not listening"));
        finish();
        return;
    }
    phase = Phase::Holding;
    // Nothing left to watch: no wake-ups of our own while frames are timed.
    poll.stop();
    stepClock.start();
    printSummary();
    writeReport();
    say(QStringLiteral("hold: forwarding host frames from %1 for %2 s")
            .arg(endpoint->fullServerName())
            .arg(options.holdSeconds));
    holdTimer.start(static_cast<int>(options.holdSeconds * 1000.0));
}

void Autopilot::holdOver()
{
    if (phase != Phase::Holding)
        return;
    say(QStringLiteral("hold: over after %1").arg(seconds(stepClock.elapsed())));
    finish();
}

void Autopilot::stopEarly()
{
    if (phase == Phase::Done)
        return;
    holdTimer.stop();
    searchDeadline.stop();
    if (phase == Phase::Holding) {
        holdEndedEarly = true;
        say(QStringLiteral("hold: ended by a termination signal after %1")
                .arg(seconds(stepClock.elapsed())));
    } else {
        interrupted = true;
        say(QStringLiteral("stopped by a termination signal before the steps were done"));
        fail(QStringLiteral("interrupted"));
    }
    finish();
}

// ---------------------------------------------------------------- end

void Autopilot::finish()
{
    poll.stop();
    holdTimer.stop();
    phase = Phase::Done;
    printSummary();
    writeReport();
    emit finished(exitCode());
}

void Autopilot::printSummary() const
{
    int paired = 0;
    for (const PairAttempt& attempt : attempts)
        paired += attempt.paired ? 1 : 0;
    const QStandardItemModel* model = tool->pairView->model;
    say(QStringLiteral("summary: %1 device(s) found, %2 of %3 paired")
            .arg(options.search ? reported.size() : model->rowCount())
            .arg(paired)
            .arg(attempts.size()));
    for (int row = 0; row < model->rowCount(); ++row)
        say(QStringLiteral("  %1  %2  %3").arg(cell(row, 0), cell(row, 1), cell(row, 2)));
    if (phase != Phase::Done)
        return;
    if (failures.isEmpty())
        say(QStringLiteral("result: every requested step succeeded"));
    else
        say(QStringLiteral("result: %1").arg(failures.join(QStringLiteral("; "))));
}

void Autopilot::writeReport() const
{
    if (options.reportFile.isEmpty())
        return;
    QJsonArray table;
    for (int row = 0; row < tool->pairView->model->rowCount(); ++row)
        table.append(QJsonObject { { QStringLiteral("name"), cell(row, 0) },
            { QStringLiteral("ip"), cell(row, 1) }, { QStringLiteral("status"), cell(row, 2) } });
    QJsonArray pairs;
    int paired = 0;
    for (const PairAttempt& attempt : attempts) {
        paired += attempt.paired ? 1 : 0;
        pairs.append(QJsonObject { { QStringLiteral("name"), attempt.name },
            { QStringLiteral("ip"), attempt.ip }, { QStringLiteral("paired"), attempt.paired },
            { QStringLiteral("outcome"), attempt.outcome },
            { QStringLiteral("seconds"), attempt.seconds } });
    }
    const char* phaseName = phase == Phase::Holding ? "holding"
        : phase == Phase::Done                      ? "done"
                                                    : "running";
    QJsonObject report {
        { QStringLiteral("phase"), QLatin1String(phaseName) },
        { QStringLiteral("found"), QJsonArray::fromStringList(reported) },
        { QStringLiteral("scan_complete"), scanComplete },
        { QStringLiteral("table"), table },
        { QStringLiteral("pair"), pairs },
        { QStringLiteral("paired"), paired },
        { QStringLiteral("window_hidden"), tool->isHidden() },
        { QStringLiteral("host_endpoint"),
            tool->hostServer() ? tool->hostServer()->fullServerName() : QString() },
        { QStringLiteral("hold_ended_early"), holdEndedEarly },
        { QStringLiteral("failures"), QJsonArray::fromStringList(failures) },
    };
    if (phase == Phase::Done)
        report.insert(QStringLiteral("exit_code"), exitCode());
    QSaveFile file(options.reportFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(report).toJson()) < 0
        || !file.commit())
        say(QStringLiteral("cannot write the report %1").arg(options.reportFile));
}
