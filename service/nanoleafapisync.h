#pragma once

#include "platform/socketlayer.h"
#include "service/openapiformat.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QNetworkRequest>
#include <QSet>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class QUdpSocket;

namespace Zeroconf
{
struct Reply;
}
namespace AddressProbe
{
struct Entry;
struct Result;
} // namespace AddressProbe
class NetworkIntake;
class StreamOutput;
struct NetworkIntakeSettings;

// The device service: the one object through which the program talks to Nanoleaf
// devices (pairing, token profile, layout query, effect commands, discovery and
// the external-control stream).
//
// It lives on the service thread; the controller calls some of its operations
// directly from the GUI thread. Every network request is issued on the service
// thread, so every answer slot runs there too, and the current-device members,
// which both threads touch, are only reached under currentLock. A scan listens
// on a thread of its own, so requests and answers go on meanwhile; what it found
// is reported back on the service thread.
//
// Requests to one device go out one at a time, in the order they were asked
// for: the next waits for the answer to the one before (or for its deadline).
// Every PAIR or UNPAIR (setNanoIP) starts a new action on its device; an answer
// that belongs to an action overridden since changes no record, shows no hint
// and starts no further request.
//
// A device switched into external control keeps, here and in the token profile,
// the scene it showed before; restoreScenes() gives it back. While a device is
// streamed it is asked now and then what it shows: one that was gone and is back
// is switched into external control again, one whose owner chose another effect
// meanwhile is let go.
class nanoleafAPIsync : public QThread
{
    Q_OBJECT

public:
    explicit nanoleafAPIsync(QObject* parent = nullptr);
    ~nanoleafAPIsync() override;

    // A device that accepts the connection and never answers, or answers a byte
    // now and then, must not keep a request pending for ever: each request ends
    // this long after it was issued and then counts as failed (empty answer).
    static constexpr int kRequestTimeoutMs = 5000;
    // A real device description is a few kilobytes; an answer past this bound
    // comes from a broken or hostile device and counts as failed.
    static constexpr qint64 kMaxAnswerBytes = 1024 * 1024;

    // The current device: the one the latest pair or unpair request was about.
    struct CurrentDevice {
        QString nanoIP; // "http://" + address + ":16021"
        QString nanoAddress;
        QString nanoName;
        QString nanoToken;
        int nanoRow = 0;
        // The device's latest action (PAIR or UNPAIR) when this was taken; a
        // request carries the action it belongs to.
        quint64 action = 0;
    };
    CurrentDevice currentDevice() const;

    void setNanoIP(QString url, QString ip, QString name, int row, bool reset);
    // A host frame to every streamed device; held while a network source is live.
    // With the debug log on, firstLine (if any) is written after the sends and before
    // the frame's own lines. Any thread.
    void sendUdpDAta(int count, const int* red, const int* green, const int* blue,
        const char* firstLine = nullptr);
    // At most maxFps frames per second to each device, host and network frames alike
    // (0: each frame as it comes). Call from one thread.
    void setMaxFps(int maxFps);

    // Lighting programs on the network as a source of frames (off unless settings
    // ask for a protocol). What the user must know (ports that cannot be bound, the
    // pixel map whenever it changes, the first source live and the last one gone) goes
    // to `console`, standard error when none is given. Called again (a later start's
    // --listen), the intake starts afresh as the new settings ask, or stops when they
    // ask for no protocol. Call from one thread.
    void startIntake(const NetworkIntakeSettings& settings,
        std::function<void(const std::string&)> console = {});
    // Stops the network intake for good: no network frame goes out any more.
    void stopIntake();
    // For the tray's tooltip, e.g. "listening: DDP, E1.31; live: 1 source". Any thread.
    QString intakeState() const;
    void reportReplies(const std::vector<Zeroconf::Reply>& replies);
    void debugPrint(const char* text);

    // Directory of the token profile: the "nanoleaf" folder beside the per-user
    // INI file that QSettings names for "Zel" / "application".
    static QString profileDirectory();
    static QString profileFileName();

    // Time a scan listens for answers, in seconds (3 in the product).
    void setScanTime(int seconds);
    // Runs done on the service thread once every scan asked for so far has been
    // reported (its "END" line logged).
    void afterScans(std::function<void()> done);

    // A paired device that now answers at another address: it is switched into
    // external control there, with its stored token, once the requests before
    // are answered. Not an action of its own: a PAIR or UNPAIR on its way stays.
    void followDevice(int row, const QString& name, const QString& ip);
    // Whether a request to the device is waiting or on its way. Any thread.
    bool hasRequestsFor(const QString& name) const;

    // The base URL of a device's OpenAPI: "http://" + ip + ":" + its port (16021,
    // or the one a device given by address was given with). Any thread.
    QString apiUrl(const QString& name, const QString& ip) const;
    // Devices given on the command line (HOST[:PORT] each), probed at every scan
    // beside those of "add" in the token profile's [settings] and those given
    // before (a later start's --add adds to them).
    void addDevices(const QStringList& entries);

    // UNPAIR's last step for the current device, after setNanoIP: the static warm
    // colour, or with unpair=restore its scene. The device is watched no more.
    void releaseDevice(QString name);
    // At exit, on the GUI thread: gives every streamed device its scene and waits
    // for the devices' answers, at most timeoutMs. True when all answered. The
    // watch stops for good.
    bool restoreBeforeExit(int timeoutMs);

signals:
    void getNanoIp(QString);
    void showTokenPage(int);
    void refreshIsPaired();
    void bonjourGetIpName(QString, QString);
    void startScan();
    // After a scan's reports: whether it listened its time (false: it failed).
    void scanFinished(bool);
    // The first network source became live (its frames are shown, the host's held),
    // and the last one is gone (nothing more is sent from the network; host frames go
    // out again). Emitted on the service thread.
    void networkSourcesLive();
    void networkSourcesGone();

public slots:
    // Gives every device in external control the scene it showed before it was
    // switched (effect first, then its state); the next frame switches it back.
    // Any thread. Does nothing with restore=off.
    void restoreScenes();
    void GetRequestBtn();
    void getPanelNumber(QNetworkReply* reply);
    QString checkQfileToken(QString name);
    void getToken();
    void serviceReturnToken(QNetworkReply* reply);
    void ResponseExternalControl(QNetworkReply* reply);
    void ResponseStatic(QNetworkReply* reply);
    void ResponseRestore(QNetworkReply* reply);
    void ResponseWatch(QNetworkReply* reply);
    void OpenExternalControl();
    void receiveIP();
    void searchDeive_noBonjour();
    QString decToHex(QString* text);
    QByteArray HexToQbyteArray(QString* text);
    QByteArray DexToQbyteArray(QString* text);
    void SendStaticMode(QString name);

private slots:
    void guardAnswerSize();
    void watchDevices();

private:
    enum class Answer { Layout, Token, ExternalControl, Static, Restore, Watch };

    // What the service knows of a device it switched into external control.
    // Service thread only.
    struct Life {
        enum class State {
            Opening, // the switch is on its way
            Streaming, // switched (or tried while it did not answer): watched
            Restored // shows its scene until the next frame
        };
        State state = State::Opening;
        OpenApiFormat::Scene scene; // not ok: nothing to give back
        CurrentDevice target; // where and with which token it is reached
        bool missed = false; // did not answer the last look
        bool watching = false; // a look is on its way
    };
    struct ExitWait;

    // A request waiting for its device's turn.
    struct Pending {
        Answer kind;
        QByteArray verb;
        QNetworkRequest request;
        QByteArray body;
    };
    // One device's requests: the one on its way, and those waiting behind it.
    struct Lane {
        bool busy = false;
        std::deque<Pending> waiting;
    };
    // Ends the turn of the answered request at the end of its answer slot, so
    // that a further request it starts goes before the ones waiting.
    class Turn;

    // The requests of a pairing, each bound to the device it is sent for: its
    // answer acts on that device, not on whichever device is current by then.
    void requestToken(const CurrentDevice& target);
    void requestLayout(const CurrentDevice& target, bool freshToken);
    void openExternalControl(const CurrentDevice& target);
    // The device a reply's request was sent for (the current one for a request
    // that names none).
    CurrentDevice targetOf(QNetworkReply* reply) const;
    // Runs work on the service thread: at once when already there, else queued
    // (queued calls keep their order).
    void onServiceThread(std::function<void()> work);
    // The blocking part of a scan, on the scan thread; the result goes back to
    // the service thread for reportScan. own: the names always kept (taken on the
    // service thread); added: the devices given by address, probed meanwhile;
    // cancel: set when the service goes.
    void listenForDevices(int seconds, const QSet<QString>& own,
        const std::vector<AddressProbe::Entry>& added,
        const std::shared_ptr<std::atomic<bool>>& cancel);
    void reportScan(bool completed, const std::vector<Zeroconf::Reply>& replies, int dropped,
        int merged, const std::vector<AddressProbe::Result>& added);
    // The devices given by address, from the command line and the profile.
    std::vector<AddressProbe::Entry> addedEntries();
    // Lists the devices given by address; answeredAt: name by address of the
    // devices the query found.
    void reportAdded(const std::vector<AddressProbe::Result>& results,
        const QHash<QString, QString>& answeredAt);
    // The PUT of the static warm colour to target, with the layout of name.
    void sendStatic(const CurrentDevice& target, const QString& name);
    // Sends target the requests that show scene; returns how many.
    int restore(const CurrentDevice& target, const OpenApiFormat::Scene& scene);
    // Restores every device in external control; returns the requests sent.
    int restoreAll(bool reopenOnNextFrame);
    // Switches the devices showing their scenes into external control again.
    void reopenRestored();
    // Called with every frame, from any thread: after restoreScenes() the first
    // frame has reopenRestored() run on the service thread.
    void takeDevicesAgain();
    void startWatch();
    // Queues one request for its device; on the service thread it goes out
    // through a manager of its own, whose finished(QNetworkReply*) is connected
    // to the answer slot of kind, once the device's earlier requests are answered.
    void issue(Answer kind, const QByteArray& verb, const QNetworkRequest& request,
        const QByteArray& body);
    // Sends the next request waiting for the device, if none is on its way.
    void sendNext(const QString& name);
    void send(const Pending& pending);
    // Marks the answered request's turn over and sends the next one.
    void turnOver(const QString& name);
    // The current action on the device, taken with the request and compared
    // with the device's action when the answer comes.
    quint64 actionOf(const QString& name) const;
    // Whether the action a request belongs to is still its device's latest.
    bool stillWanted(const CurrentDevice& target) const;
    // The whole answer body, or nothing when the answer was cut off for its size.
    QByteArray takeAnswer(QNetworkReply* reply);
    // Releases a finished reply and the manager that made it.
    void release(QNetworkReply* reply);

    mutable QMutex currentLock;
    QString nanoIP;
    QString nanoAddress;
    QString nanoName;
    QString nanoToken;
    int nanoRow = 0;
    // Per device name, under currentLock: the latest action and the requests not
    // answered yet.
    QHash<QString, quint64> actions;
    QHash<QString, int> outstanding;
    // Service thread only.
    QHash<QString, Lane> lanes;
    QHash<QString, Life> lives;
    QTimer* watchTimer = nullptr;
    bool closing = false;
    // Restore requests not answered yet, and the exit waiting for them.
    int restoresPending = 0;
    std::shared_ptr<ExitWait> exitWait;
    // Set once scenes are shown; the next frame, on whichever thread, clears it
    // and has the devices switched back.
    std::atomic<bool> reopenOnFrame { false };
    // Under currentLock: devices given by address (command line), each one's
    // OpenAPI port by device name, and the names that are still an address.
    QStringList commandLineAdded;
    QHash<QString, quint16> apiPorts;
    QSet<QString> addressNames;
    QNetworkAccessManager* layoutManager = nullptr;
    QNetworkAccessManager* requestManager = nullptr;
    QUdpSocket* udpSocket = nullptr;

    // The stream goes out through sockets of its own, one per device, usable from
    // the threads that send colour frames (the host endpoint's intake thread, the
    // GUI thread on Windows and for the test timer, the network receiver's thread),
    // not the service thread's socket.
    std::unique_ptr<StreamOutput> output;
    // Listening once startIntake() started it; its map follows the registry's
    // targets, refreshed on this thread (one refresh queued at a time).
    std::unique_ptr<NetworkIntake> intake;
    std::atomic<bool> intakeStarted { false };
    std::atomic<bool> mapRefreshQueued { false };
    int scanTime = 3;
    // Scans run one after the other on this thread, through events posted to
    // scanner, which lives there. The destructor stops it before anything else.
    std::unique_ptr<QThread> scanThread;
    QObject* scanner = nullptr;
    // Set when the service goes: a running scan stops listening at once. Shared
    // with the scans, which may still hold it while the service is taken down.
    const std::shared_ptr<std::atomic<bool>> scanCancel
        = std::make_shared<std::atomic<bool>>(false);
};
