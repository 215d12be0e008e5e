#pragma once

#include "sync/hostmessagehandler.h"

#include <QMainWindow>
#include <QPoint>
#include <QSet>
#include <QStringList>

#include <atomic>
#include <cstdint>

class Connect_View;
class HostMessageServer;
class Pair_View;
class QLabel;
class QPushButton;
class QThread;
class QTimer;
class TrayIcon;
class nanoleafAPIsync;

// The tool's one window and its controller: a frameless 400 x 600 window drawn
// from images, dragged by its top strip, which wires the device table, the
// source buttons and the device service together and takes the host's messages.
class ZelNanoleafTool : public QMainWindow, public HostMessageHandler
{
    Q_OBJECT

public:
    explicit ZelNanoleafTool(QWidget* parent = nullptr);
    ~ZelNanoleafTool() override;

    Pair_View* pairView;
    Connect_View* connectView;
    QTimer* sendTimer;
    QTimer* loadingTimer;
    QPushButton* searchButton;
    QPushButton* pairButton;
    QPushButton* unpairButton;
    QPushButton* closeButton;
    QPushButton* minButton;
    QLabel* titleImage;
    QLabel* titleText;
    const std::uint64_t CUSTOM_TYPE_RGB = 10001;
    // How long the end of the tool waits for the devices to take their scenes back.
    static constexpr int kRestoreAtExitMs = 2000;
    int currentRow = 0;
    nanoleafAPIsync* service;
    // Host messages are taken on the threads serving the host connections, the
    // source buttons on the GUI thread.
    std::atomic<int> syncDeviceType { 1 };
    bool dragging = false;
    QPoint dragStart;

    QThread* serviceThread() const { return workerThread; }
    // Takes one host message (a colour frame or a sync-type switch), whichever way
    // it arrived: a window message on Windows, the local endpoint elsewhere.
    HostIntake::HostAnswer hostMessage(const HostIntake::Message& message) override;
    // The local endpoint hosts connect to (null on Windows, where window messages
    // are the host transport).
    HostMessageServer* hostServer() const { return hostEndpoint; }

    // How long the spinner may run after a search starts (15 s in the product).
    void setLoadingInterval(int milliseconds) { loadingInterval = milliseconds; }

    // Brings back the devices paired before: searches as SEARCH does and, once that
    // scan is over, pairs every device it found that has a stored token, as PAIR
    // does, at the address it answered from. Devices without a token are only
    // listed; later searches pair nothing by themselves.
    void resumeDevices();

    // The tool's entry in the system tray (in the tray only where there is one).
    TrayIcon* trayIcon() const { return tray; }
    // What the network intake does, in one line for the tray's tooltip; empty
    // leaves the line out.
    void setIntakeState(const QString& text);

signals:
    void showTokenPage(int);
    void startScan();
    void signal_SyncBtnCheck(int);

public slots:
    // Shows the network intake's state (listening, live sources) in the tray.
    void refreshIntakeState();
    void slot_Connect();
    void searchDeive();
    void slot_Pair(int row, QString name, QString ip);
    void slot_UnPair(int row, QString name, QString ip);
    void slot_SendData();
    void bonjourGetIpName(QString DeviceName, QString Ip);
    void isStartUpdate(bool on);
    void slot_OpenSync(int type);
    void refreshIsPaired();
    void startLoadingTimer();
    void slot_Scan();
    // A scan's reports are all in: the table shows what answered it, beside the
    // devices the user set up (paired, with a stored token, or being paired).
    void scanFinished(bool completed);
    // Shows the window, also when hidden or minimised, above the others.
    void bringToFront();
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

protected:
    bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;

private:
    // The end of the resuming scan: pairs what it found.
    void pairResumed();
    // The tray's device counts, from the registry.
    void refreshTray();
    // The intake behind hostMessage; firstLine is the log line said first (on Windows
    // nativeEvent writes its own for every native message, host message or not).
    HostIntake::HostAnswer takeHostMessage(
        const HostIntake::Message& message, const char* firstLine = nullptr);
    QThread* workerThread = nullptr;
    int loadingInterval = 15000;
    HostMessageServer* hostEndpoint = nullptr;
    // Refreshes the table once for however many reports are waiting.
    void refreshTableSoon();
    TrayIcon* tray = nullptr;
    // Set while the resuming scan runs: the names it reported, in order.
    bool resuming = false;
    QStringList resumeFound;
    // The names reported since the last scan ended.
    QSet<QString> answered;
    bool tableRefreshQueued = false;
};
