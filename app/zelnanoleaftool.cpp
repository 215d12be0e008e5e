#include "app/zelnanoleaftool.h"
#include "platform/hotpath.h"

#include "service/checkedconnect.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"
#include "sync/hostmessageserver.h"
#include "views/applocation.h"
#include "views/connect_view.h"
#include "views/pair_view.h"
#include "views/trayicon.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QLabel>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QMovie>
#include <QPushButton>
#include <QStandardItemModel>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <future>

#ifdef _WIN32
#include "sync/win32hostadapter.h"
#include <windows.h>
#endif

ZelNanoleafTool::ZelNanoleafTool(QWidget* parent)
    : QMainWindow(parent)
{
    applicationLocation = QCoreApplication::applicationDirPath() + "/";
    qDebug() << "applicationDirPath" << applicationLocation;
    setWindowFlags(Qt::FramelessWindowHint);
    qDebug() << "applicationLocation" << applicationLocation;
    setWindowTitle("Prismara Nanoleaf Tool");
    setFixedSize(400, 600);

    auto* background = new QLabel(this);
    background->setGeometry(0, 0, width(), height());
    background->setStyleSheet(
        "border-image: url(\"" + applicationLocation + "Image/background.png\");");

    pairView = new Pair_View(this);
    pairView->setGeometry(20, 95, width() - 40, 250);
    pairView->setStyleSheet("background:transparent;");
    pairView->setWindowOpacity(1.0);
    checkedConnect(pairView, SIGNAL(searchDeive_noBonjour()), this, SLOT(searchDeive()));
    checkedConnect(pairView, SIGNAL(signal_Pair(int, QString, QString)), this,
        SLOT(slot_Pair(int, QString, QString)));
    checkedConnect(pairView, SIGNAL(signal_UnPair(int, QString, QString)), this,
        SLOT(slot_UnPair(int, QString, QString)));

    loadingTimer = new QTimer;
    checkedConnect(loadingTimer, SIGNAL(timeout()), pairView, SLOT(closeLoading()));

    workerThread = new QThread;
    service = new nanoleafAPIsync;
    service->moveToThread(workerThread);
    workerThread->start(QThread::InheritPriority);

    checkedConnect(service, SIGNAL(bonjourGetIpName(QString, QString)), this,
        SLOT(bonjourGetIpName(QString, QString)));
    checkedConnect(service, SIGNAL(showTokenPage(int)), pairView, SLOT(slot_showTokenImply(int)));
    checkedConnect(this, SIGNAL(showTokenPage(int)), pairView, SLOT(slot_showTokenImply(int)));
    checkedConnect(service, SIGNAL(refreshIsPaired()), this, SLOT(refreshIsPaired()));
    checkedConnect(service, SIGNAL(networkSourcesLive()), this, SLOT(refreshIntakeState()));
    checkedConnect(service, SIGNAL(networkSourcesGone()), this, SLOT(refreshIntakeState()));
    checkedConnect(service, SIGNAL(scanFinished(bool)), this, SLOT(scanFinished(bool)));
    qDebug() << "main thread:" << QThread::currentThreadId();
    checkedConnect(this, SIGNAL(startScan()), service, SLOT(searchDeive_noBonjour()));
    checkedConnect(this, SIGNAL(startScan()), this, SLOT(startLoadingTimer()));

    sendTimer = new QTimer;
    checkedConnect(sendTimer, SIGNAL(timeout()), this, SLOT(slot_SendData()), Qt::DirectConnection);

    const QString buttonSheet = "QPushButton:hover{border-image:url(\"" + applicationLocation
        + "Image/Button_H.png\"); border:0px;}QPushButton{color:white; "
          "border:0px;border-image:url(\""
        + applicationLocation + "Image/Button.png\");}";
    searchButton = new QPushButton(this);
    searchButton->setGeometry(20, 37, 80, 40);
    searchButton->setText("SEARCH");
    searchButton->setStyleSheet(buttonSheet);
    checkedConnect(searchButton, SIGNAL(released()), this, SLOT(slot_Scan()));
    pairButton = new QPushButton(this);
    pairButton->setGeometry(110, 37, 80, 40);
    pairButton->setText("PAIR");
    pairButton->setStyleSheet(buttonSheet);
    checkedConnect(pairButton, SIGNAL(released()), pairView, SLOT(slot_PairPressed()));
    unpairButton = new QPushButton(this);
    unpairButton->setGeometry(200, 37, 80, 40);
    unpairButton->setText("UNPAIR");
    unpairButton->setStyleSheet(buttonSheet);
    checkedConnect(unpairButton, SIGNAL(released()), pairView, SLOT(slot_UnPairPressed()));

    connectView = new Connect_View(this);
    connectView->setGeometry(20, 380, width() - 40, 125);
    connectView->setHidden(false);
    checkedConnect(connectView, SIGNAL(signal_OpenSync(int)), this, SLOT(slot_OpenSync(int)));
    checkedConnect(
        this, SIGNAL(signal_SyncBtnCheck(int)), connectView, SLOT(slot_SyncBtnCheck(int)));
    qDebug() << "connect_View width is" << width();
    qDebug() << "this width" << width() / 2;

    auto* logo = new QLabel(this);
    logo->setGeometry(width() / 2 - 65, 535, 130, 21);
    logo->setStyleSheet("border-image:url(\"" + applicationLocation + "Image/LOGO.png\");");

    titleImage = new QLabel(this);
    titleImage->setText(QString());
    titleImage->setGeometry(0, 0, 400, 30);
    titleImage->setStyleSheet("border-image: url(\"" + applicationLocation + "Image/title.png\");");

    titleText = new QLabel(this);
    titleText->setText("Prismara Nanoleaf Tool");
    titleText->setGeometry(15, 5, 400, 22);
    titleText->setFont(QFont("Arial", 12, -1, false));
    titleText->setStyleSheet("color:lightGray");

    minButton = new QPushButton(this);
    minButton->setText(QString());
    minButton->setGeometry(336, 5, 22, 22);
    minButton->setObjectName("Min_Window");
    checkedConnect(minButton, SIGNAL(released()), this, SLOT(showMinimized()));
    minButton->setFlat(true);
    minButton->setStyleSheet(
        "border-image: url(\"" + applicationLocation + "Image/btn_min.png\");");

    closeButton = new QPushButton(this);
    closeButton->setText(QString());
    closeButton->setGeometry(368, 5, 22, 22);
    closeButton->setObjectName("Close_Window");
    checkedConnect(closeButton, SIGNAL(released()), this, SLOT(hide()));
    closeButton->setFlat(true);
    closeButton->setStyleSheet(
        "border-image: url(\"" + applicationLocation + "Image/btn_close.png\");");

    const QString logoFile = applicationLocation + "Image/prismara-nanoleaf-tool.png";
    setWindowIcon(QIcon(logoFile));
    // The way back to a hidden window, where the desktop has a tray.
    tray = new TrayIcon(this, logoFile, this);
    checkedConnect(tray, SIGNAL(showWindowRequested()), this, SLOT(bringToFront()));
    refreshTray();

#ifndef _WIN32
    // Without window messages, hosts reach the intake through a local socket.
    hostEndpoint = new HostMessageServer(this, this);
    // Without the endpoint no host can reach the tool: say so on standard error
    // even when debug output is filtered.
    if (!hostEndpoint->listen())
        std::fprintf(stderr, "prismara-nanoleaf-tool: host endpoint not listening: %s\n",
            qPrintable(hostEndpoint->errorString()));
#endif
}

ZelNanoleafTool::~ZelNanoleafTool()
{
    // Stop what has no parent: the timers first (nothing fires into a half-gone
    // window), then the service, then its thread; the service waits for a running
    // scan and drops the rest, so no report of a scan reaches this window.
    if (hostEndpoint != nullptr)
        hostEndpoint->close(); // no host message reaches a half-gone window
    sendTimer->stop();
    loadingTimer->stop();
    // No frame comes any more to take them again (no host, no network source):
    // the devices get their scenes back, and a device that does not answer in time
    // keeps the tool no longer.
    service->stopIntake();
    service->restoreBeforeExit(kRestoreAtExitMs);
    // The service ends on its own thread: requests a device left unanswered still
    // hold their deadline timers there, and a timer is stopped only by its thread.
    std::promise<void> gone;
    QMetaObject::invokeMethod(
        service,
        [this, &gone] {
            delete service;
            gone.set_value();
        },
        Qt::QueuedConnection);
    gone.get_future().wait();
    service = nullptr;
    workerThread->quit();
    workerThread->wait();
    delete workerThread;
    delete sendTimer;
    delete loadingTimer;
}

// ---------------------------------------------------------------- controller

void ZelNanoleafTool::slot_Connect()
{
    qDebug() << "ZelNanoleafTool::slot_Connect()";
    if (pairView)
        pairView->hide();
    if (connectView)
        connectView->show();
}

void ZelNanoleafTool::searchDeive()
{
    qDebug() << "searchDeive()";
}

void ZelNanoleafTool::slot_Scan()
{
    qDebug() << "Pair_View::slot_Scan()";
    pairView->loadingMovie->start();
    pairView->loadingLabel->show();
    qDebug() << "Pair_View::slot_Scan() movie->start";
    pairView->model->clear();
    pairView->setHeaders();
    emit startScan();
    qDebug() << "main thread 2:" << QThread::currentThreadId();
}

void ZelNanoleafTool::startLoadingTimer()
{
    loadingTimer->start(loadingInterval);
}

void ZelNanoleafTool::bonjourGetIpName(QString DeviceName, QString Ip)
{
    qDebug() << "bonjourGetIpName" << DeviceName << Ip;
    qDebug() << "bonjourGetIpName  token" << service->currentDevice().nanoToken;
    // A device already listed keeps its record: SEARCH while streaming must not
    // unpair anything. One that answers from a new address is streamed there, and
    // when paired it is switched into external control there again.
    DeviceRecord record;
    const DeviceRegistry::Found found = deviceMap.discovered(DeviceName, Ip, &record);
    if (found == DeviceRegistry::Found::Moved && record.isPaired) {
        qDebug() << "bonjourGetIpName moved" << DeviceName << Ip;
        service->followDevice(deviceMap.snapshot().keys().indexOf(DeviceName), DeviceName, Ip);
    }
    answered.insert(DeviceName);
    if (resuming && !resumeFound.contains(DeviceName))
        resumeFound.append(DeviceName);
    qDebug() << "bonjourGetIpName  deviceMap" << record.deviceName;
    qDebug() << "bonjourGetIpName deviceMap.count()" << deviceMap.count();
    refreshTableSoon();
    pairView->loadingMovie->stop();
    pairView->loadingLabel->hide();
}

void ZelNanoleafTool::refreshTableSoon()
{
    if (tableRefreshQueued)
        return;
    tableRefreshQueued = true;
    // Behind the reports already waiting, so a burst of them costs one refresh.
    QMetaObject::invokeMethod(
        this,
        [this] {
            tableRefreshQueued = false;
            pairView->setListView();
            refreshTray();
        },
        Qt::QueuedConnection);
}

void ZelNanoleafTool::scanFinished(bool completed)
{
    qDebug() << "ZelNanoleafTool::scanFinished" << completed << answered.size();
    // A failed scan says nothing about who is there.
    if (completed) {
        const QStringList tokens = TokenProfile::names();
        QStringList gone;
        const QMap<QString, DeviceRecord> devices = deviceMap.snapshot();
        for (auto it = devices.cbegin(); it != devices.cend(); ++it) {
            const QString& name = it.key();
            if (!answered.contains(name) && !it.value().isPaired && !tokens.contains(name)
                && !service->hasRequestsFor(name))
                gone.append(name);
        }
        if (!gone.isEmpty())
            qDebug() << "scanFinished no longer answering" << deviceMap.forget(gone) << gone;
    }
    answered.clear();
    pairView->setListView();
    refreshTray();
}

void ZelNanoleafTool::slot_Pair(int row, QString name, QString ip)
{
    currentRow = row;
    const DeviceRecord record = deviceMap.value(name);
    qDebug() << "slot_Pair has token DeviceName" << record.deviceName;
    qDebug() << "slot_Pair has token panelNumbers" << record.panelNumbers;
    qDebug() << "slot_Pair has token panelNumbers pidArrray" << record.pidArrray;
    qDebug() << "slot_Pair has token ip" << record.ip;
    qDebug() << "ZelNanoleafTool::slot_Pair" << name << ip;
    const QString url = service->apiUrl(name, ip);
    service->setNanoIP(url, ip, name, currentRow, true);
    const QString token = service->checkQfileToken(name);
    if (token.isEmpty()) {
        qDebug() << "no save token";
        service->getToken();
    } else {
        qDebug() << "has token" << service->currentDevice().nanoToken;
        service->GetRequestBtn();
    }
}

void ZelNanoleafTool::slot_UnPair(int row, QString name, QString ip)
{
    currentRow = row;
    const DeviceRecord record = deviceMap.value(name);
    qDebug() << "slot_UnPair has token DeviceName" << record.deviceName;
    qDebug() << "slot_UnPair has token panelNumbers" << record.panelNumbers;
    qDebug() << "slot_UnPair has token" << name << record.pidArrray;
    qDebug() << "slot_UnPair has token ispair" << record.isPaired;
    qDebug() << "ZelNanoleafTool::slot_UnPair" << name << ip;
    const QString url = service->apiUrl(name, ip);
    service->setNanoIP(url, ip, name, currentRow, false);
    const QString token = service->checkQfileToken(name);
    if (token.isEmpty()) {
        qDebug() << "no save token";
        service->getToken();
        return;
    }
    qDebug() << "slot_UnPair has token" << service->currentDevice().nanoToken;
    const DeviceRecord unpaired
        = deviceMap.update(name, [](DeviceRecord& changed) { changed.isPaired = false; });
    qDebug() << "slot_UnPair has token ispair" << unpaired.isPaired;
    pairView->setListView();
    refreshTray();
    service->releaseDevice(name);
}

void ZelNanoleafTool::resumeDevices()
{
    qDebug() << "ZelNanoleafTool::resumeDevices";
    resuming = true;
    resumeFound.clear();
    slot_Scan();
    // searchDeive_noBonjour hands the scan to the scan thread on the service
    // thread; a probe queued there behind it comes back after that scan's reports.
    nanoleafAPIsync* worker = service;
    QMetaObject::invokeMethod(
        worker,
        [this, worker] {
            worker->afterScans([this] {
                QMetaObject::invokeMethod(
                    this, [this] { pairResumed(); }, Qt::QueuedConnection);
            });
        },
        Qt::QueuedConnection);
}

void ZelNanoleafTool::pairResumed()
{
    resuming = false;
    // Rows as the table lists them: the registry in name order.
    const QMap<QString, DeviceRecord> devices = deviceMap.snapshot();
    const QStringList rows = devices.keys();
    for (const QString& name : qAsConst(resumeFound)) {
        const DeviceRecord record = devices.value(name);
        // A device given by address that did not answer would only bring the hint.
        if (!devices.contains(name) || record.isPaired || !record.note.isEmpty())
            continue;
        if (TokenProfile::read(name).isEmpty()) {
            qDebug() << "resumeDevices: no stored token, listed only" << name;
            continue;
        }
        qDebug() << "resumeDevices: pairing" << name << record.ip;
        slot_Pair(rows.indexOf(name), name, record.ip);
    }
    resumeFound.clear();
}

void ZelNanoleafTool::refreshIsPaired()
{
    pairView->setListView();
    refreshTray();
}

void ZelNanoleafTool::refreshTray()
{
    int paired = 0;
    int streamed = 0;
    // Held here: the service thread may renew the registry's targets meanwhile.
    const DeviceRegistry::StreamTargets targets = deviceMap.streamTargets();
    for (const StreamDevice& target : *targets) {
        paired += target.isPaired ? 1 : 0;
        streamed += target.streamed() ? 1 : 0;
    }
    tray->setDevices(paired, streamed);
}

void ZelNanoleafTool::setIntakeState(const QString& text)
{
    tray->setIntakeState(text);
}

void ZelNanoleafTool::refreshIntakeState()
{
    setIntakeState(service->intakeState());
}

void ZelNanoleafTool::bringToFront()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    // Offscreen there is nothing to be above, and Qt would warn on every start.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return;
    raise();
    activateWindow();
}

void ZelNanoleafTool::slot_OpenSync(int type)
{
    qDebug() << "ZelNanoleafTool::slot_OpenSync" << type;
    syncDeviceType = type;
}

void ZelNanoleafTool::isStartUpdate(bool on)
{
    qDebug() << "ZelNanoleafTool::isStartUpdate" << on;
    if (on)
        sendTimer->start(1000);
    else
        sendTimer->stop();
}

void ZelNanoleafTool::slot_SendData()
{
    qDebug() << "ZelNanoleafTool::slot_SendData()";
    int red[12];
    int green[12];
    int blue[12];
    for (int i = 0; i < 12; ++i) {
        red[i] = std::rand() % 255;
        green[i] = std::rand() % 255;
        blue[i] = std::rand() % 255;
    }
    service->sendUdpDAta(12, red, green, blue);
}

// ---------------------------------------------------------------- window drag

void ZelNanoleafTool::mousePressEvent(QMouseEvent* event)
{
    dragStart = event->pos();
    if (event->pos().y() < 45 && event->pos().x() < 825)
        dragging = true;
}

void ZelNanoleafTool::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging)
        move(pos() + (event->pos() - dragStart));
}

void ZelNanoleafTool::mouseReleaseEvent(QMouseEvent* event)
{
    Q_UNUSED(event);
    dragging = false;
}

// ---------------------------------------------------------------- host intake

namespace
{

// A qDebug() line costs an allocation even when the debug log is off: the frame
// path asks first.
bool debugLogOn()
{
    const QLoggingCategory* log = QLoggingCategory::defaultCategory();
    return log == nullptr || log->isDebugEnabled();
}

} // namespace

PRISMARA_HOT HostIntake::HostAnswer ZelNanoleafTool::hostMessage(const HostIntake::Message& message)
{
    return takeHostMessage(message, "ZelRGBMemoryControl::nativeEvent");
}

PRISMARA_HOT HostIntake::HostAnswer ZelNanoleafTool::takeHostMessage(
    const HostIntake::Message& message, const char* firstLine)
{
    const HostIntake::Decision decision
        = HostIntake::evaluate(message, syncDeviceType, CUSTOM_TYPE_RGB);
    // A frame's colours go out before any line of the log, firstLine included.
    if (decision.action == HostIntake::Action::Forward) {
        service->sendUdpDAta(
            HostIntake::kColourEntries, decision.red, decision.green, decision.blue, firstLine);
    } else if (firstLine != nullptr) {
        qDebug() << firstLine;
    }
    switch (decision.action) {
    case HostIntake::Action::Ignore:
        break;
    case HostIntake::Action::Decline:
        qDebug() << "aaa";
        break;
    case HostIntake::Action::ShortFrame:
        qDebug() << "aaa";
        qDebug() << "WM_COPYDATA = CUSTOM_TYPE_RGB" << message.cbData;
        qDebug() << "nanoleafData too short, not forwarded" << message.cbData;
        break;
    case HostIntake::Action::Forward:
    case HostIntake::Action::Drop:
        if (!debugLogOn())
            break;
        qDebug() << "aaa";
        qDebug() << "WM_COPYDATA = CUSTOM_TYPE_RGB" << message.cbData;
        qDebug() << "nanoleafData" << decision.record.reserved << int(decision.record.colour[0][0]);
        qDebug() << "syncDeviceType"
                 << "nanoleafData.syncDeviceType" << syncDeviceType.load()
                 << decision.record.syncDeviceType;
        if (decision.action == HostIntake::Action::Forward)
            qDebug() << "send data";
        break;
    case HostIntake::Action::SyncSwitch:
        qDebug() << "ZelRGBMemoryControl::0x8111";
        syncDeviceType = decision.syncDeviceType;
        qDebug() << "syncDeviceType now is" << decision.syncDeviceType;
        emit signal_SyncBtnCheck(decision.syncDeviceType);
        break;
    }
    return HostIntake::HostAnswer { decision.handled, decision.result };
}

bool ZelNanoleafTool::nativeEvent(const QByteArray& eventType, void* message, long* result)
{
#ifdef _WIN32
    const MSG* msg = static_cast<const MSG*>(message);
    qDebug() << "ZelRGBMemoryControl::nativeEvent";
    // Closing a window never ends the event loop (the close button only hides,
    // and the pairing hint may be the last visible window), so a close request
    // from the host or the system ends it here. WM_QUIT posted to the thread ends
    // it in Qt's event dispatcher.
    if (msg->message == WM_CLOSE)
        QCoreApplication::quit();
    HostIntake::Message hostMessageIn;
    if (Platform::hostMessageFromWindowMessage(
            msg->message, msg->wParam, msg->lParam, hostMessageIn))
        return Platform::applyHostAnswer(takeHostMessage(hostMessageIn), result);
#endif
    return QMainWindow::nativeEvent(eventType, message, result);
}
