#include "app/processsetup.h"

#include "app/zelnanoleaftool.h"
#ifndef _WIN32
#include "platform/termination.h"
#endif
#include "service/checkedconnect.h"
#include "service/intakesettings.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>

void prepareProcess()
{
#if !defined(_WIN32) && !defined(__APPLE__)
    const bool platformChosen = std::getenv("QT_QPA_PLATFORM") != nullptr;
    const bool hasDisplay = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
    if (!platformChosen && !hasDisplay)
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
#endif
}

void quitOnlyOnTerminationSignals(QGuiApplication* app)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
#ifndef _WIN32
    const int woken = Platform::watchTerminationSignals();
    if (woken < 0)
        return;
    auto* notifier = new QSocketNotifier(woken, QSocketNotifier::Read, app);
    checkedConnect(notifier, SIGNAL(activated(int)), app, SLOT(quit()));
#else
    (void)app;
#endif
}

void setDebugLog(bool on)
{
    QLoggingCategory::setFilterRules(on ? QString() : QStringLiteral("default.debug=false"));
}

void applyOptions(ZelNanoleafTool& window, const StartOptions& options, bool starting)
{
    if (options.verbose)
        setDebugLog(true);
    if (!options.hidden) {
        if (starting)
            window.show();
        else
            window.bringToFront();
    }
    // Before resuming, so that the search finds them too.
    if (!options.add.isEmpty())
        window.service->addDevices(options.add);
    if (options.resume || (starting && TokenProfile::resumeAtStart()))
        window.resumeDevices();
    // At start the intake was started before the window showed.
    if (!starting && options.hasIntake())
        startNetworkIntake(window, options);
}

#ifndef _WIN32
namespace
{

// A tool that holds the session but does not answer is waited for this long: it
// may be starting, or ending and restoring its devices.
constexpr int kClaimMs = 20000;
constexpr int kAnswerMs = 20000;
constexpr int kEndMs = 30000;

void say(const QString& text)
{
    std::fprintf(stderr, "prismara-nanoleaf-tool: %s\n", qPrintable(text));
}

} // namespace

int claimSession(
    InstanceChannel& instance, const StartOptions& options, const QStringList& arguments)
{
    switch (instance.claim(kClaimMs, !options.quit)) {
    case InstanceChannel::Role::First:
        if (options.quit) {
            say(QStringLiteral("no tool is running, nothing to quit"));
            return 1;
        }
        if (!instance.errorString().isEmpty())
            say("later starts cannot reach this tool: " + instance.errorString());
        return -1;
    case InstanceChannel::Role::Failed:
        if (options.quit) {
            say("cannot tell whether a tool is running: " + instance.errorString());
            return 1;
        }
        // Forwarding matters more than keeping to one tool: run unguarded.
        say("cannot check for a running tool, starting anyway: " + instance.errorString());
        return -1;
    case InstanceChannel::Role::Unanswered:
        say(instance.errorString());
        return 1;
    case InstanceChannel::Role::Later:
        break;
    }
    const InstanceChannel::Answer answer = instance.handOver(arguments.mid(1), kAnswerMs);
    if (!answer.error.isEmpty())
        say(answer.error);
    if (answer.exitCode != 0 || !options.quit)
        return answer.exitCode;
    if (instance.waitForEnd(kEndMs))
        return 0;
    say(QStringLiteral("the running tool was asked to quit but still runs after %1 s")
            .arg(kEndMs / 1000));
    return 1;
}

InstanceChannel::Answer answerLaterStart(ZelNanoleafTool& window, const QStringList& arguments)
{
    StartOptions options;
    QString problem;
    if (!parseStartOptions(QStringList { "prismara-nanoleaf-tool" } + arguments, options, problem))
        return { 2, problem };
    if (options.quit) {
        // Queued: the answer goes out first.
        QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
        return { 0, QString() };
    }
    applyOptions(window, options, false);
    return { 0, QString() };
}
#endif

namespace
{

void sayProfileProblems(const QStringList& problems)
{
    for (const QString& problem : problems)
        std::fprintf(stderr, "prismara-nanoleaf-tool: token profile %s: %s, left out\n",
            qPrintable(TokenProfile::fileName()), qPrintable(problem));
}

} // namespace

void capFrameRate(ZelNanoleafTool& window)
{
    QStringList problems;
    const int fps = TokenProfile::maxFps(problems);
    sayProfileProblems(problems);
    // Without a cap the stream stays as it always was: no pacer thread at all.
    if (fps > 0)
        window.service->setMaxFps(fps);
}

void startNetworkIntake(ZelNanoleafTool& window, const StartOptions& options)
{
    NetworkIntakeSettings settings;
    QStringList problems;
    TokenProfile::readIntake(settings, problems);
    sayProfileProblems(problems);
    options.applyIntake(settings);
    window.service->startIntake(settings);
    window.refreshIntakeState();
}
