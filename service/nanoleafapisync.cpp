#include "service/nanoleafapisync.h"
#include "platform/hotpath.h"

#include "service/checkedconnect.h"
#include "service/deviceregistry.h"
#include "service/intakesettings.h"
#include "service/networkintake.h"
#include "service/openapiformat.h"
#include "service/ssdpreader.h"
#include "service/streamoutput.h"
#include "service/tokenprofile.h"
#include "stream/panelmodel.h"
#include "stream/streamdatagram.h"
#include "zeroconf/addressprobe.h"

#include <QDebug>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimer>
#include <QUdpSocket>
#include <QUrl>
#include <QVariant>

#include <condition_variable>
#include <cstdio>
#include <mutex>

Q_DECLARE_METATYPE(nanoleafAPIsync::CurrentDevice)

namespace
{

const char* const kTooLargeProperty = "prismaraAnswerTooLarge";
// Marks a layout request made with a token the device handed out just before.
const QNetworkRequest::Attribute kFreshTokenAttribute = QNetworkRequest::User;
// The device a request was sent for (name, base URL, token, row) and the action
// it belongs to: its answer belongs to that device, whatever the current device
// has become meanwhile.
const QNetworkRequest::Attribute kTargetAttribute
    = static_cast<QNetworkRequest::Attribute>(QNetworkRequest::User + 1);

nanoleafAPIsync::CurrentDevice laneOf(const QNetworkRequest& request)
{
    return request.attribute(kTargetAttribute).value<nanoleafAPIsync::CurrentDevice>();
}

QJsonObject objectOf(const QByteArray& utf8)
{
    return QJsonDocument::fromJson(utf8).object();
}

QNetworkRequest requestFor(const nanoleafAPIsync::CurrentDevice& target, const QString& path)
{
    QNetworkRequest request(QUrl(target.nanoIP + path, QUrl::TolerantMode));
    request.setAttribute(kTargetAttribute, QVariant::fromValue(target));
    return request;
}

// A PUT with a JSON body to one of the device's resources ("effects", "state").
QNetworkRequest putRequest(
    const nanoleafAPIsync::CurrentDevice& target, const QString& resource, const QByteArray& body)
{
    QNetworkRequest request = requestFor(target, "/api/v1/" + target.nanoToken + "/" + resource);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setHeader(QNetworkRequest::ContentLengthHeader, QByteArray::number(body.size()));
    return request;
}

// The HTTP status of an answer, 0 when none came (refused, timed out, aborted).
int statusOf(QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

struct nanoleafAPIsync::ExitWait {
    std::mutex mutex;
    std::condition_variable changed;
    bool issued = false;
    int pending = 0;
};

nanoleafAPIsync::nanoleafAPIsync(QObject* parent)
    : QThread(parent)
    , udpSocket(new QUdpSocket(this))
    , output(new StreamOutput)
    , intake(new NetworkIntake(*output,
          [this](bool live) {
              // On the receiver's thread: the signals go out on this one.
              QMetaObject::invokeMethod(
                  this,
                  [this, live] {
                      if (live) {
                          // The first network frame after the scenes came back
                          // takes the devices again, as a host frame does.
                          takeDevicesAgain();
                          emit networkSourcesLive();
                      } else {
                          // The lighting program is gone: each device shows its
                          // scene until the next frame.
                          restoreScenes();
                          emit networkSourcesGone();
                      }
                  },
                  Qt::QueuedConnection);
          }))
    , scanThread(new QThread)
    , scanner(new QObject)
{
    deviceMap.clear();
    scanThread->setObjectName("scan");
    scanner->moveToThread(scanThread.get());
    scanThread->start();
    // Returns once the scan thread runs its event loop, so the service is whole
    // (threads and descriptors) when construction ends, not some time later.
    if (!QMetaObject::invokeMethod(
            scanner, [] {}, Qt::BlockingQueuedConnection))
        qFatal("nanoleafAPIsync: the scan thread did not start");
}

nanoleafAPIsync::~nanoleafAPIsync()
{
    // No network frame, live change or map refresh reaches a service that is going.
    if (intakeStarted)
        deviceMap.onTargetsRenewed({});
    intake->stop();
    // A running scan stops listening within a tenth of a second; the scans
    // waiting behind it and its report to this service are dropped, so nothing
    // runs on or emits from a service that is gone.
    *scanCancel = true;
    scanThread->requestInterruption();
    scanThread->quit();
    scanThread->wait();
    delete scanner;
}

nanoleafAPIsync::CurrentDevice nanoleafAPIsync::targetOf(QNetworkReply* reply) const
{
    const QVariant target = reply->request().attribute(kTargetAttribute);
    return target.isValid() ? target.value<CurrentDevice>() : currentDevice();
}

nanoleafAPIsync::CurrentDevice nanoleafAPIsync::currentDevice() const
{
    QMutexLocker lock(&currentLock);
    CurrentDevice current;
    current.nanoIP = nanoIP;
    current.nanoAddress = nanoAddress;
    current.nanoName = nanoName;
    current.nanoToken = nanoToken;
    current.nanoRow = nanoRow;
    current.action = actions.value(nanoName);
    return current;
}

quint64 nanoleafAPIsync::actionOf(const QString& name) const
{
    QMutexLocker lock(&currentLock);
    return actions.value(name);
}

bool nanoleafAPIsync::stillWanted(const CurrentDevice& target) const
{
    return target.action == actionOf(target.nanoName);
}

bool nanoleafAPIsync::hasRequestsFor(const QString& name) const
{
    QMutexLocker lock(&currentLock);
    return outstanding.value(name) > 0;
}

QString nanoleafAPIsync::apiUrl(const QString& name, const QString& ip) const
{
    QMutexLocker lock(&currentLock);
    return "http://" + ip + ":" + QString::number(apiPorts.value(name, AddressProbe::kApiPort));
}

void nanoleafAPIsync::addDevices(const QStringList& entries)
{
    QMutexLocker lock(&currentLock);
    for (const QString& entry : entries)
        if (!commandLineAdded.contains(entry))
            commandLineAdded.append(entry);
}

void nanoleafAPIsync::setScanTime(int seconds)
{
    scanTime = seconds;
}

void nanoleafAPIsync::onServiceThread(std::function<void()> work)
{
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    // A request that is never issued would leave its flow waiting for ever.
    if (!QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection))
        qFatal("nanoleafAPIsync: could not post work to the service thread");
}

// ---------------------------------------------------------------- registry

void nanoleafAPIsync::setNanoIP(QString url, QString ip, QString name, int row, bool reset)
{
    {
        QMutexLocker lock(&currentLock);
        nanoIP = url;
        nanoAddress = ip;
        nanoName = name;
        nanoRow = row;
        // A PAIR or UNPAIR: whatever the device's earlier one still has on its way
        // starts nothing more.
        ++actions[name];
    }
    qDebug() << "setNanoIP test";
    if (!reset) {
        qDebug() << "setNanoIP false";
        return;
    }
    DeviceRecord record = DeviceRecord::defaultRecord();
    record.ip = ip;
    record.deviceName = name;
    deviceMap.insert(name, record);
}

// ---------------------------------------------------------------- requests

namespace
{

// The transfer time-out only ends a request that makes no progress; a device that
// trickles a byte now and then would hold it open for ever. So every request is
// also aborted this long after it was issued, which ends it like a time-out.
void setDeadline(QNetworkReply* reply, int ms)
{
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    checkedConnect(deadline, SIGNAL(timeout()), reply, SLOT(abort()));
    checkedConnect(reply, SIGNAL(finished()), deadline, SLOT(stop()));
    deadline->start(ms);
}

} // namespace

class nanoleafAPIsync::Turn
{
public:
    Turn(nanoleafAPIsync* service, const QString& name)
        : service(service)
        , name(name)
    {
    }
    ~Turn() { service->turnOver(name); }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

private:
    nanoleafAPIsync* const service;
    const QString name;
};

void nanoleafAPIsync::issue(
    Answer kind, const QByteArray& verb, const QNetworkRequest& request, const QByteArray& body)
{
    const QString name = laneOf(request).nanoName;
    {
        QMutexLocker lock(&currentLock);
        ++outstanding[name];
    }
    onServiceThread([this, name, kind, verb, request, body]() {
        lanes[name].waiting.push_back(Pending { kind, verb, request, body });
        sendNext(name);
    });
}

void nanoleafAPIsync::sendNext(const QString& name)
{
    const auto lane = lanes.find(name);
    if (lane == lanes.end() || lane->busy)
        return;
    if (lane->waiting.empty()) {
        lanes.erase(lane);
        return;
    }
    const Pending next = lane->waiting.front();
    lane->waiting.pop_front();
    lane->busy = true;
    send(next);
}

void nanoleafAPIsync::turnOver(const QString& name)
{
    {
        QMutexLocker lock(&currentLock);
        if (--outstanding[name] <= 0)
            outstanding.remove(name);
    }
    const auto lane = lanes.find(name);
    if (lane != lanes.end())
        lane->busy = false;
    sendNext(name);
}

void nanoleafAPIsync::send(const Pending& pending)
{
    auto* manager = new QNetworkAccessManager(this);
    const char* answerSlot = nullptr;
    switch (pending.kind) {
    case Answer::Layout:
        layoutManager = manager;
        answerSlot = SLOT(getPanelNumber(QNetworkReply*));
        break;
    case Answer::Token:
        requestManager = manager;
        answerSlot = SLOT(serviceReturnToken(QNetworkReply*));
        break;
    case Answer::ExternalControl:
        requestManager = manager;
        answerSlot = SLOT(ResponseExternalControl(QNetworkReply*));
        break;
    case Answer::Static:
        requestManager = manager;
        answerSlot = SLOT(ResponseStatic(QNetworkReply*));
        break;
    case Answer::Restore:
        requestManager = manager;
        answerSlot = SLOT(ResponseRestore(QNetworkReply*));
        break;
    case Answer::Watch:
        requestManager = manager;
        answerSlot = SLOT(ResponseWatch(QNetworkReply*));
        break;
    }
    checkedConnect(manager, SIGNAL(finished(QNetworkReply*)), this, answerSlot);

    QNetworkRequest bounded(pending.request);
    bounded.setTransferTimeout(kRequestTimeoutMs);
    QNetworkReply* reply = nullptr;
    if (pending.verb == "GET")
        reply = manager->get(bounded);
    else if (pending.verb == "POST")
        reply = manager->post(
            bounded, pending.body); // an empty body still goes out as Content-Length: 0
    else
        reply = manager->put(bounded, pending.body);
    // Holding back past the bound keeps a runaway answer from filling memory;
    // guardAnswerSize then aborts it.
    reply->setReadBufferSize(kMaxAnswerBytes + 1);
    checkedConnect(reply, SIGNAL(readyRead()), this, SLOT(guardAnswerSize()));
    setDeadline(reply, kRequestTimeoutMs);
}

void nanoleafAPIsync::guardAnswerSize()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply || reply->property(kTooLargeProperty).toBool())
        return;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const bool announcedTooLarge = announced.isValid() && announced.toLongLong() > kMaxAnswerBytes;
    if (announcedTooLarge || reply->bytesAvailable() > kMaxAnswerBytes) {
        qDebug() << "answer too large, dropped" << reply->url().toString();
        reply->setProperty(kTooLargeProperty, true);
        reply->abort();
    }
}

QByteArray nanoleafAPIsync::takeAnswer(QNetworkReply* reply)
{
    // A reply cut off for its size, or closed by its time-out, has nothing to read.
    if (reply->property(kTooLargeProperty).toBool() || !reply->isOpen())
        return QByteArray();
    return reply->readAll();
}

void nanoleafAPIsync::release(QNetworkReply* reply)
{
    QNetworkAccessManager* manager = reply->manager();
    reply->deleteLater();
    if (manager == layoutManager)
        layoutManager = nullptr;
    if (manager == requestManager)
        requestManager = nullptr;
    if (manager)
        manager->deleteLater();
}

// ---------------------------------------------------------------- pairing

QString nanoleafAPIsync::profileDirectory()
{
    return TokenProfile::directory();
}

QString nanoleafAPIsync::profileFileName()
{
    return TokenProfile::fileName();
}

QString nanoleafAPIsync::checkQfileToken(QString name)
{
    qDebug() << "Profile_RW::readDevice--location:" << profileDirectory();
    if (!TokenProfile::exists())
        return QString();
    const QString token = TokenProfile::read(name);
    qDebug() << "Profile read ok token is" << token;
    if (token.isEmpty())
        return QString();
    QMutexLocker lock(&currentLock);
    nanoToken = token;
    return token;
}

void nanoleafAPIsync::getToken()
{
    requestToken(currentDevice());
}

void nanoleafAPIsync::requestToken(const CurrentDevice& target)
{
    qDebug() << "nanoIP is" << target.nanoIP;
    QNetworkRequest request = requestFor(target, "/api/v1/new");
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    issue(Answer::Token, "POST", request, QByteArray());
}

void nanoleafAPIsync::serviceReturnToken(QNetworkReply* reply)
{
    const QByteArray answer = takeAnswer(reply);
    CurrentDevice target = targetOf(reply);
    const Turn turn(this, target.nanoName);
    release(reply);
    const QString text = QString::fromUtf8(answer);
    qDebug() << "serviceRequestFinish string is" << text;
    const QJsonObject object = objectOf(answer);
    qDebug() << "object:" << object;
    const QString token = OpenApiFormat::pairingToken(answer);
    if (object.contains("auth_token")) {
        qDebug() << "GET object ";
        qDebug() << "GET value token " << token;
    }
    const bool wanted = stillWanted(target);
    if (token.isEmpty()) {
        if (wanted)
            emit showTokenPage(target.nanoRow);
        return;
    }
    target.nanoToken = token;
    {
        // Another device may have become current while this one was answering;
        // its token stays.
        QMutexLocker lock(&currentLock);
        if (nanoName == target.nanoName && nanoIP == target.nanoIP)
            nanoToken = token;
    }
    // Kept even when the user has moved on: the device handed it out, and the
    // next PAIR then needs no button.
    qDebug() << "Profile_RW::writeDevice";
    TokenProfile::write(target.nanoName, token);
    if (!wanted) {
        qDebug() << "serviceReturnToken overridden since, no layout request for" << target.nanoName;
        return;
    }
    requestLayout(target, true);
}

// ---------------------------------------------------------------- layout

void nanoleafAPIsync::GetRequestBtn()
{
    requestLayout(currentDevice(), false);
}

void nanoleafAPIsync::requestLayout(const CurrentDevice& target, bool freshToken)
{
    qDebug() << "GetRequestBtn nanoToken" << target.nanoToken;
    QNetworkRequest request = requestFor(target, "/api/v1/" + target.nanoToken + "/");
    request.setAttribute(kFreshTokenAttribute, freshToken);
    issue(Answer::Layout, "GET", request, QByteArray());
}

void nanoleafAPIsync::getPanelNumber(QNetworkReply* reply)
{
    const QByteArray answer = takeAnswer(reply);
    const bool freshToken = reply->request().attribute(kFreshTokenAttribute).toBool();
    const CurrentDevice target = targetOf(reply);
    const Turn turn(this, target.nanoName);
    release(reply);
    const QString text = QString::fromUtf8(answer);
    qDebug() << "getPanelNumber string is" << text;
    // The user pressed PAIR or UNPAIR on the device again meanwhile: this answer
    // records nothing and asks for nothing; the newer request decides.
    if (!stillWanted(target)) {
        qDebug() << "getPanelNumber overridden since, nothing recorded for" << target.nanoName;
        return;
    }
    if (text.isEmpty()) {
        emit showTokenPage(target.nanoRow);
        // A stored token that the device refuses is replaced by a new pairing
        // request. A token the device has just handed out and then refuses would
        // make that a loop (a new hint and a new token every round trip, for as
        // long as pairing mode lasts), so that case stops at the hint.
        if (freshToken)
            qDebug() << "getPanelNumber fresh token refused, no new pairing request";
        else
            requestToken(target);
        return;
    }

    const QJsonObject object = objectOf(answer);
    qDebug() << "getPanelNumber obj is" << object;
    const OpenApiFormat::Info layout = OpenApiFormat::parseInfo(answer);
    if (!layout.ok) {
        // Recording it would list a device that does not exist and mark it paired.
        qDebug() << "getPanelNumber layout unreadable, nothing recorded for" << target.nanoName;
        return;
    }
    const QJsonObject inner = object.value("panelLayout").toObject().value("layout").toObject();
    qDebug() << "positionData array" << inner.value("positionData").toArray();
    qDebug() << "totalPanelNumbers" << layout.count;
    const QVector<int>& pid = layout.pidArrray;
    for (int i = 0; i < layout.mPidArray.size(); ++i) {
        const int id = layout.mPidArray[i];
        if (layout.model == StreamDatagram::Model::Light) {
            qDebug() << "panelId array is" << pid.mid(0, i + 1);
            qDebug() << "panelId array id is" << id;
        }
        qDebug() << "panelId is";
        if (layout.model == StreamDatagram::Model::Canvas)
            qDebug() << "panelId /" << id / 256;
        qDebug() << "panelId %" << id % 256;
    }
    qDebug() << "panelId array" << pid;
    qDebug() << "getPanelNumber deviceMap isPaired" << deviceMap.value(layout.name).isPaired;

    const TokenProfile::Settings settings = TokenProfile::settings();
    // A device given by address answers with its own name: from now on it is
    // listed, paired and resumed under that name, its token stored under it too.
    CurrentDevice device = target;
    bool byAddress = false;
    {
        QMutexLocker lock(&currentLock);
        byAddress = addressNames.contains(target.nanoName) && layout.name != target.nanoName;
        if (byAddress) {
            addressNames.remove(target.nanoName);
            apiPorts.insert(layout.name, apiPorts.value(target.nanoName, AddressProbe::kApiPort));
            device.nanoName = layout.name;
            device.action = ++actions[layout.name];
            if (nanoName == target.nanoName)
                nanoName = layout.name;
        }
    }
    if (byAddress) {
        qDebug() << "getPanelNumber device at" << target.nanoName << "is" << layout.name;
        TokenProfile::write(layout.name, target.nanoToken);
        TokenProfile::writeAddedName(target.nanoName, layout.name);
        deviceMap.rename(target.nanoName, layout.name);
    }

    // A name of neither "Light" nor "Canvas": the model number of the info
    // answer decides. The v2 models get their lit panels in position order; any
    // other model is recorded as before, paired and not streamed. With
    // light_stream=v2 the Light Panels, by name or by number, are streamed so too.
    PanelModel::Model panelModel = PanelModel::Model::Unknown;
    QVector<int> litIds;
    bool v2 = false;
    const bool byNumber = layout.model == StreamDatagram::Model::None;
    if (byNumber || (settings.lightStreamV2 && layout.model == StreamDatagram::Model::Light)) {
        const OpenApiFormat::Info::V2& info = layout.v2;
        if (info.ok)
            panelModel = PanelModel::fromModelNumber(info.model.toStdString());
        const bool lightPanels = layout.model == StreamDatagram::Model::Light
            || panelModel == PanelModel::Model::LightPanels;
        v2 = PanelModel::streamsV2(panelModel)
            || (info.ok && settings.lightStreamV2 && lightPanels);
        if (v2) {
            for (std::uint16_t id : PanelModel::orderLitPanels(info.panels, info.globalOrientation))
                litIds.append(id);
            qDebug() << "getPanelNumber model" << info.model << PanelModel::name(panelModel)
                     << "lit panels" << litIds;
        } else if (byNumber) {
            qDebug() << "getPanelNumber model not streamed:" << info.model
                     << PanelModel::name(panelModel) << layout.name;
        }
    }

    // What the device shows now comes back when the tool lets it go. A device
    // already streaming (the tool ended without giving it back, or another
    // program drives it) shows nothing of its own: the scene kept the last time
    // is the one to give back.
    OpenApiFormat::Scene scene = layout.scene;
    const QString kept = TokenProfile::readScene(layout.name);
    if (scene.ok && scene.externalControl()) {
        scene = OpenApiFormat::parseScene(kept.toUtf8());
        if (scene.externalControl())
            scene = OpenApiFormat::Scene();
        qDebug() << "getPanelNumber already in external control, scene from the profile:"
                 << (scene.ok ? scene.effect : QStringLiteral("none")) << layout.name;
    } else if (scene.ok) {
        qDebug() << "getPanelNumber scene" << scene.effect << scene.on << scene.brightness
                 << layout.name;
        // The profile keeps the last scene the user set up: a temporary one (the
        // warm colour of UNPAIR included) cannot be shown again after a crash.
        const QString text = QString::fromUtf8(OpenApiFormat::sceneText(scene));
        const bool own = scene.selectable() || scene.mode != OpenApiFormat::Scene::Mode::Effect;
        if (settings.restore && own && text != kept)
            TokenProfile::writeScene(layout.name, text);
    }

    // Checked again under the registry's lock: an UNPAIR that came meanwhile
    // either finds the record paired and unpairs it, or this finds it overridden.
    bool recorded = false;
    const DeviceRecord stored = deviceMap.update(layout.name, [&](DeviceRecord& record) {
        if (!stillWanted(device))
            return;
        recorded = true;
        record.panelNumbers = layout.count;
        record.pidArrray = layout.pidArrray;
        record.mPidArray = layout.mPidArray;
        record.panelModel = panelModel;
        record.lightV2 = v2 && !PanelModel::streamsV2(panelModel);
        record.streamPort = 0;
        record.note.clear();
        if (v2) {
            record.panelNumbers = litIds.size();
            record.pidArrray = litIds;
            record.mPidArray = litIds;
        }
        record.isPaired = true;
    });
    qDebug() << "getPanelNumber deviceMap" << stored.deviceName;
    qDebug() << "getPanelNumber deviceMap" << stored.panelNumbers;
    qDebug() << "getPanelNumber deviceMap" << stored.pidArrray;
    qDebug() << "getPanelNumber deviceMap isPaired" << stored.isPaired;
    if (!recorded) {
        qDebug() << "getPanelNumber overridden since, nothing recorded for" << target.nanoName;
        return;
    }

    Life& life = lives[layout.name];
    life.state = Life::State::Opening;
    life.scene = scene;
    life.target = device;
    life.missed = false;
    emit refreshIsPaired();
    openExternalControl(device);
}

// ---------------------------------------------------------------- effects

namespace
{

QNetworkRequest effectsRequest(const nanoleafAPIsync::CurrentDevice& target, const QByteArray& body)
{
    QNetworkRequest request = requestFor(target, "/api/v1/" + target.nanoToken + "/effects");
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setHeader(QNetworkRequest::ContentLengthHeader, QByteArray::number(body.size()));
    return request;
}

} // namespace

void nanoleafAPIsync::OpenExternalControl()
{
    openExternalControl(currentDevice());
}

void nanoleafAPIsync::followDevice(int row, const QString& name, const QString& ip)
{
    CurrentDevice target;
    target.nanoIP = apiUrl(name, ip);
    target.nanoAddress = ip;
    target.nanoName = name;
    target.nanoRow = row;
    target.nanoToken = TokenProfile::read(name);
    {
        QMutexLocker lock(&currentLock);
        if (nanoName == name) {
            nanoIP = target.nanoIP;
            nanoAddress = ip;
            // Paired in this run with a profile that could not be written.
            if (target.nanoToken.isEmpty())
                target.nanoToken = nanoToken;
        }
        target.action = actions.value(name);
    }
    if (target.nanoToken.isEmpty()) {
        qDebug() << "followDevice no token for" << name;
        return;
    }
    qDebug() << "followDevice" << name << ip;
    openExternalControl(target);
}

void nanoleafAPIsync::openExternalControl(const CurrentDevice& target)
{
    const QByteArray body = OpenApiFormat::externalControlBody();
    issue(Answer::ExternalControl, "PUT", effectsRequest(target, body), body);
}

void nanoleafAPIsync::SendStaticMode(QString name)
{
    sendStatic(currentDevice(), name);
}

void nanoleafAPIsync::sendStatic(const CurrentDevice& target, const QString& name)
{
    qDebug() << "SendStaticMode DeviceName" << name;
    const DeviceRecord record = deviceMap.value(name);
    const QString animData = OpenApiFormat::staticAnimData(record.panelNumbers, record.mPidArray);
    const QByteArray body = OpenApiFormat::staticEffectBody(animData);
    const QNetworkRequest request = effectsRequest(target, body);
    qDebug() << "serviceUrl" << request.url();
    qDebug() << "totalDataString mPidArray" << record.mPidArray << "deviceMap[DeviceName].pidArrray"
             << record.pidArrray;
    qDebug() << "totalDataString first" << QString();
    qDebug() << "totalDataString" << QString::number(record.panelNumbers);
    qDebug() << "totalDataString panelNumbers" << record.panelNumbers;
    qDebug() << "totalDataString" << animData;
    qDebug() << "json2" << objectOf(body);
    issue(Answer::Static, "PUT", request, body);
}

void nanoleafAPIsync::ResponseExternalControl(QNetworkReply* reply)
{
    const CurrentDevice target = targetOf(reply);
    const Turn turn(this, target.nanoName);
    const int status = statusOf(reply);
    const QByteArray answer = takeAnswer(reply);
    release(reply);
    const QString text = QString::fromUtf8(answer);
    qDebug() << "ResponseExternalControl string is" << text;
    qDebug() << objectOf(answer);

    // Light Panels name where their stream goes; with light_stream=v2 they are sent
    // it there, otherwise where they always were.
    const OpenApiFormat::StreamAddress stream = OpenApiFormat::parseStreamAddress(answer);
    if (!stream.address.isEmpty() || stream.port != 0)
        qDebug() << "ResponseExternalControl stream address" << stream.address << "port"
                 << stream.port << target.nanoName;
    // The life is kept under the name the layout answer gave.
    QString name = target.nanoName;
    for (auto it = lives.cbegin(); it != lives.cend(); ++it)
        if (it->target.nanoName == target.nanoName)
            name = it.key();
    if (stream.port != 0 && TokenProfile::settings().lightStreamV2 && deviceMap.contains(name))
        deviceMap.update(name, [&stream](DeviceRecord& record) {
            if (record.lightV2)
                record.streamPort = static_cast<std::uint16_t>(stream.port);
        });

    const auto life = lives.find(name);
    if (life == lives.end())
        return;
    if (status >= 200 && status < 300) {
        // Switched, perhaps at a new address: watched and given back there.
        life->target = target;
        life->state = Life::State::Streaming;
        life->missed = false;
    } else if (status == 0 && life->state == Life::State::Opening) {
        // Not reached now; the watch switches it when it answers again.
        life->state = Life::State::Streaming;
        life->missed = true;
    } else {
        qDebug() << "ResponseExternalControl not switched" << status << name;
        return;
    }
    startWatch();
}

void nanoleafAPIsync::ResponseStatic(QNetworkReply* reply)
{
    const Turn turn(this, targetOf(reply).nanoName);
    const QString text = QString::fromUtf8(takeAnswer(reply));
    release(reply);
    qDebug() << "ResponseStatic string is" << text;
    qDebug() << objectOf(text.toUtf8());
}

// ---------------------------------------------------------------- scenes

void nanoleafAPIsync::releaseDevice(QString name)
{
    const CurrentDevice target = currentDevice();
    onServiceThread([this, name, target] {
        const Life life = lives.take(name);
        const TokenProfile::Settings settings = TokenProfile::settings();
        if (settings.restore && settings.unpairRestore && life.scene.ok) {
            qDebug() << "releaseDevice scene" << life.scene.effect << name;
            restore(target, life.scene);
            return;
        }
        sendStatic(target, name);
    });
}

void nanoleafAPIsync::restoreScenes()
{
    onServiceThread([this] { restoreAll(true); });
}

int nanoleafAPIsync::restoreAll(bool reopenOnNextFrame)
{
    if (!TokenProfile::settings().restore) {
        qDebug() << "restoreScenes off (restore=off)";
        return 0;
    }
    const QMap<QString, DeviceRecord> devices = deviceMap.snapshot();
    int sent = 0;
    for (auto it = lives.begin(); it != lives.end(); ++it) {
        Life& life = it.value();
        if (life.state == Life::State::Restored || !devices.value(it.key()).isPaired)
            continue;
        if (!life.scene.ok) {
            qDebug() << "restoreScenes no scene kept for" << it.key();
            continue;
        }
        qDebug() << "restoreScenes" << it.key() << life.scene.effect << life.scene.on
                 << life.scene.brightness;
        sent += restore(life.target, life.scene);
        life.state = Life::State::Restored;
        life.watching = false;
    }
    if (sent > 0 && reopenOnNextFrame)
        reopenOnFrame = true;
    return sent;
}

int nanoleafAPIsync::restore(const CurrentDevice& target, const OpenApiFormat::Scene& scene)
{
    const QVector<OpenApiFormat::Request> requests = OpenApiFormat::restoreRequests(scene);
    for (const OpenApiFormat::Request& request : requests) {
        issue(Answer::Restore, "PUT",
            putRequest(target, QString::fromLatin1(request.resource), request.body), request.body);
        ++restoresPending;
    }
    return requests.size();
}

void nanoleafAPIsync::ResponseRestore(QNetworkReply* reply)
{
    const QString name = targetOf(reply).nanoName;
    const Turn turn(this, name);
    const int status = statusOf(reply);
    const QString text = QString::fromUtf8(takeAnswer(reply));
    const QString resource = reply->url().path().section('/', -1);
    release(reply);
    qDebug() << "ResponseRestore string is" << text << status << resource << name;
    --restoresPending;
    if (exitWait) {
        std::lock_guard<std::mutex> lock(exitWait->mutex);
        exitWait->pending = restoresPending;
        exitWait->changed.notify_all();
    }
}

PRISMARA_HOT void nanoleafAPIsync::takeDevicesAgain()
{
    // Any thread, per frame: one relaxed load while nothing is restored.
    if (reopenOnFrame.load(std::memory_order_relaxed) && reopenOnFrame.exchange(false))
        QMetaObject::invokeMethod(
            this, [this] { reopenRestored(); }, Qt::QueuedConnection);
}

void nanoleafAPIsync::reopenRestored()
{
    for (auto it = lives.begin(); it != lives.end(); ++it) {
        if (it->state != Life::State::Restored || closing)
            continue;
        qDebug() << "reopenRestored" << it.key();
        it->state = Life::State::Opening;
        openExternalControl(it->target);
    }
}

bool nanoleafAPIsync::restoreBeforeExit(int timeoutMs)
{
    const auto wait = std::make_shared<ExitWait>();
    onServiceThread([this, wait] {
        closing = true;
        if (watchTimer != nullptr)
            watchTimer->stop();
        exitWait = wait;
        restoreAll(false);
        std::lock_guard<std::mutex> lock(wait->mutex);
        wait->issued = true;
        wait->pending = restoresPending;
        wait->changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(wait->mutex);
    const bool answered = wait->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
        [&wait] { return wait->issued && wait->pending <= 0; });
    qDebug() << "restoreBeforeExit" << (answered ? "answered" : "not all answered in time")
             << wait->pending;
    return answered;
}

// ---------------------------------------------------------------- watch

void nanoleafAPIsync::startWatch()
{
    if (closing)
        return;
    if (watchTimer == nullptr) {
        watchTimer = new QTimer(this);
        checkedConnect(watchTimer, SIGNAL(timeout()), this, SLOT(watchDevices()));
    }
    if (!watchTimer->isActive())
        watchTimer->start(TokenProfile::settings().watchSeconds * 1000);
}

void nanoleafAPIsync::watchDevices()
{
    // One small request per streamed device and round; none while none is streamed.
    const QMap<QString, DeviceRecord> devices = deviceMap.snapshot();
    bool any = false;
    for (auto it = lives.begin(); it != lives.end(); ++it) {
        Life& life = it.value();
        if (life.state != Life::State::Streaming || !devices.value(it.key()).isPaired)
            continue;
        any = true;
        if (life.watching)
            continue;
        life.watching = true;
        issue(Answer::Watch, "GET",
            requestFor(life.target, "/api/v1/" + life.target.nanoToken + "/effects/select"),
            QByteArray());
    }
    if (!any)
        watchTimer->stop();
}

void nanoleafAPIsync::ResponseWatch(QNetworkReply* reply)
{
    const CurrentDevice target = targetOf(reply);
    const Turn turn(this, target.nanoName);
    const int status = statusOf(reply);
    const QByteArray answer = takeAnswer(reply);
    release(reply);
    QString shown;
    const bool answered = status == 200 && OpenApiFormat::parseSelected(answer, shown);
    qDebug() << "ResponseWatch" << target.nanoName << status << shown;
    auto life = lives.begin();
    while (life != lives.end() && life->target.nanoName != target.nanoName)
        ++life;
    if (life == lives.end())
        return;
    life->watching = false;
    if (life->state != Life::State::Streaming || closing)
        return;
    const QString name = life.key();
    if (!answered) {
        if (!life->missed)
            qWarning().noquote() << QStringLiteral("Device \"%1\" does not answer: it is switched "
                                                   "into external control again when it does")
                                        .arg(name);
        life->missed = true;
        return;
    }
    if (shown == QLatin1String("*ExtControl*")) {
        life->missed = false;
        return;
    }
    if (life->missed) {
        // Back after a power cut or an update: it shows its own effect again.
        qWarning().noquote() << QStringLiteral(
            "Device \"%1\" is back: switched into external control again")
                                    .arg(name);
        life->missed = false;
        life->state = Life::State::Opening;
        openExternalControl(life->target);
        return;
    }
    // Reachable at every look, and showing something else: its owner chose it.
    qWarning().noquote() << QStringLiteral("Device \"%1\" shows \"%2\", chosen by its owner: "
                                           "no longer streamed until PAIR")
                                .arg(name, shown);
    lives.erase(life);
    deviceMap.update(name, [](DeviceRecord& record) { record.isPaired = false; });
    emit refreshIsPaired();
}

// ---------------------------------------------------------------- stream

PRISMARA_HOT void nanoleafAPIsync::sendUdpDAta(
    int count, const int* red, const int* green, const int* blue, const char* firstLine)
{
    // Runs once per host frame, and every device should show the frame at once.
    // The diagnostic lines (a datagram dump, a line per panel) cost many times the
    // sends themselves, so every datagram goes out first and the lines follow, in
    // their usual order, and are only built when the debug log is on. What depends
    // on the devices alone (model, address, ids, every byte but the colours) is
    // laid out when the registry's targets change; here only the colours are
    // written.
    // The first frame after the scenes came back takes the devices again.
    takeDevicesAgain();
    const bool sent = output->sendHost(count, red, green, blue);
    const QLoggingCategory* debugLog = QLoggingCategory::defaultCategory();
    if (debugLog && !debugLog->isDebugEnabled())
        return;
    if (firstLine != nullptr)
        qDebug() << firstLine;
    if (sent)
        output->logHostFrame(count, red, green, blue, currentDevice().nanoIP);
}

void nanoleafAPIsync::setMaxFps(int maxFps)
{
    output->setMaxFps(maxFps);
}

// ---------------------------------------------------------------- network intake

void nanoleafAPIsync::startIntake(
    const NetworkIntakeSettings& settings, std::function<void(const std::string&)> console)
{
    if (!console)
        console = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    // Asked again (a later start's --listen): the intake starts afresh as asked, or
    // stops when asked for no protocol.
    if (intakeStarted) {
        intake->start(settings, std::move(console));
        return;
    }
    if (!settings.any())
        return;
    intakeStarted = true;
    intake->start(settings, std::move(console));
    // Never per frame: the map follows the targets when they are renewed. The
    // registry calls back on whichever thread changed it, under its lock, so the
    // refresh is always queued to this thread.
    const auto refresh = [this] {
        mapRefreshQueued = false;
        intake->refreshMap();
    };
    deviceMap.onTargetsRenewed([this, refresh] {
        if (!mapRefreshQueued.exchange(true))
            QMetaObject::invokeMethod(this, refresh, Qt::QueuedConnection);
    });
    // Whatever changed between the map start() made and the callback's start.
    QMetaObject::invokeMethod(this, refresh, Qt::QueuedConnection);
}

void nanoleafAPIsync::stopIntake()
{
    intake->stop();
}

QString nanoleafAPIsync::intakeState() const
{
    return QString::fromStdString(intake->state());
}

// ---------------------------------------------------------------- SSDP reader

void nanoleafAPIsync::receiveIP()
{
    int budget = 1024; // never spin for ever on a flooded socket
    while (udpSocket->hasPendingDatagrams() && budget-- > 0) {
        QByteArray datagram;
        const qint64 size = udpSocket->pendingDatagramSize();
        datagram.resize(static_cast<int>(qMax<qint64>(0, size)));
        const qint64 read = udpSocket->readDatagram(datagram.data(), datagram.size());
        if (read < 0)
            break;
        datagram.resize(static_cast<int>(read));
        qDebug() << "Message receive: " << datagram;
        const SsdpReader::Reply reply = SsdpReader::readReply(datagram);
        qDebug() << "DataAsString" << reply.text;
        if (!reply.matches)
            continue;
        qDebug() << "firstIndex" << reply.firstIndex;
        qDebug() << "lastIndex" << reply.lastIndex;
        qDebug() << "ip is" << reply.location;
        QString stored;
        {
            QMutexLocker lock(&currentLock);
            nanoIP = reply.location;
            stored = nanoIP;
        }
        emit getNanoIp(stored);
    }
}

// ---------------------------------------------------------------- conversions

QString nanoleafAPIsync::decToHex(QString* text)
{
    return QString::number(text->toInt(nullptr, 10), 16);
}

QByteArray nanoleafAPIsync::DexToQbyteArray(QString* text)
{
    QString hex = decToHex(text);
    const QByteArray bytes = QByteArray::fromHex(hex.toUtf8());
    qDebug() << "ByteHex" << bytes;
    return bytes;
}

QByteArray nanoleafAPIsync::HexToQbyteArray(QString* text)
{
    const QByteArray bytes = QByteArray::fromHex(text->toUtf8());
    qDebug() << "ByteHex" << bytes;
    return bytes;
}
