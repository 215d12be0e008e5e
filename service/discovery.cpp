// The discovery scan of the device service: one DNS-SD query, every answering
// device reported by name and address.

#include "service/nanoleafapisync.h"

#include "platform/debugchannel.h"
#include "platform/socketlayer.h"
#include "service/deviceregistry.h"
#include "service/scanbudget.h"
#include "service/tokenprofile.h"
#include "zeroconf/zeroconf.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QThread>

#include <iostream>

namespace
{

const char* const kSeparatorLine = "--------------------";

// Built once, on first use; function-local statics are initialised safely even
// when two threads get here first at the same time.
const std::string& queryText()
{
    static const std::string text = "_nanoleafapi._tcp.local";
    return text;
}

const std::string& foundText()
{
    static const std::string text = "find nanoleaf Device ip is \n";
    return text;
}

// Diagnostics like the qDebug lines beside them, so they follow the same switch.
void printLine(const std::string& text)
{
    const QLoggingCategory* log = QLoggingCategory::defaultCategory();
    if (log == nullptr || log->isDebugEnabled())
        std::cout << text << std::endl;
}

// The devices the user set up (paired, or with a stored token): a scan lists
// them whatever else answers it.
QSet<QString> ownDevices()
{
    QSet<QString> own;
    const QMap<QString, DeviceRecord> devices = deviceMap.snapshot();
    for (auto it = devices.cbegin(); it != devices.cend(); ++it)
        if (it.value().isPaired)
            own.insert(it.key());
    for (const QString& name : TokenProfile::names())
        own.insert(name);
    return own;
}

} // namespace

void nanoleafAPIsync::searchDeive_noBonjour()
{
    qDebug() << "from thread slot:" << QThread::currentThreadId();
    qDebug() << "searchDeive_noBonjour";

    // A scan blocks its thread for one to two scan times, so it listens on a
    // thread of its own and requests and their answers go on meanwhile. A scan
    // asked for while another runs waits there until that one has ended.
    const int seconds = scanTime;
    const QSet<QString> own = ownDevices();
    const std::shared_ptr<std::atomic<bool>> cancel = scanCancel;
    const bool posted = QMetaObject::invokeMethod(
        scanner, [this, seconds, own, cancel] { listenForDevices(seconds, own, cancel); },
        Qt::QueuedConnection);
    if (!posted)
        qWarning() << "searchDeive_noBonjour: the scan thread took no scan";
}

void nanoleafAPIsync::afterScans(std::function<void()> done)
{
    const bool posted = QMetaObject::invokeMethod(
        scanner,
        [this, done] {
            // Behind the report that the last scan posted before it got here.
            QMetaObject::invokeMethod(this, done, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    if (!posted)
        qWarning() << "afterScans: the scan thread took nothing";
}

void nanoleafAPIsync::listenForDevices(
    int seconds, const QSet<QString>& own, const std::shared_ptr<std::atomic<bool>>& cancel)
{
    // The service is going away: the scans still waiting are dropped.
    if (QThread::currentThread()->isInterruptionRequested())
        return;
    if (Platform::Net::startup() != 0) {
        printLine("E: Unable to initialize WinSock");
        qDebug() << "Unable to initialize WinSock";
    }

    printLine("Query: " + queryText());
    debugPrint(queryText().c_str());
    qDebug() << "Test";

    ScanBudget budget(own);
    Zeroconf::ScanControl control;
    control.cancel = cancel.get();
    control.keep = [&budget](const Zeroconf::Reply& reply) { return budget.keep(reply); };
    std::vector<Zeroconf::Reply> replies;
    const bool completed = Zeroconf::QueryService(queryText(), seconds, replies, control);
    Platform::Net::cleanup();
    if (cancel->load())
        return;

    // Reported on the service thread, so the service's signals all come from there.
    const int dropped = budget.dropped();
    const int merged = budget.merged();
    const bool posted = QMetaObject::invokeMethod(
        this,
        [this, completed, replies, dropped, merged] {
            reportScan(completed, replies, dropped, merged);
        },
        Qt::QueuedConnection);
    if (!posted)
        qWarning() << "searchDeive_noBonjour: the scan's result was lost";
}

void nanoleafAPIsync::reportScan(
    bool completed, const std::vector<Zeroconf::Reply>& replies, int dropped, int merged)
{
    printLine(kSeparatorLine);
    qDebug() << "SeparatorLine1:" << kSeparatorLine;
    if (!completed) {
        printLine("MDNS query failed");
        qDebug() << "MDNS query failed";
    } else if (replies.empty()) {
        printLine("No replies");
        qDebug() << "No replies";
    } else {
        qDebug() << "PrintResult";
        reportReplies(replies);
    }
    if (dropped > 0 || merged > 0) {
        // The rest of the answers, in one line however many there were.
        printLine("Dropped replies: " + std::to_string(dropped) + " beyond "
            + std::to_string(ScanBudget::kMaxNames) + " names, " + std::to_string(merged)
            + " repeating a name");
        qDebug() << "Dropped replies:" << dropped << "merged:" << merged;
    }

    printLine(kSeparatorLine);
    qDebug() << "SeparatorLine2:" << kSeparatorLine;
    printLine("Hello, world");
    qDebug() << "END";
    emit scanFinished(completed);
}

void nanoleafAPIsync::reportReplies(const std::vector<Zeroconf::Reply>& replies)
{
    for (std::size_t i = 0; i < replies.size(); ++i) {
        const Zeroconf::Reply& reply = replies[i];
        const std::string ipText = Platform::Net::peerAddressToText(reply.peer);
        const QString ip = QString::fromUtf8(ipText.c_str());
        printLine("Peer: " + ipText);
        printLine("Query: " + foundText());
        debugPrint(foundText().c_str());
        debugPrint(ipText.c_str());
        qDebug() << "getDeviceIp::" << ip;

        if (reply.records.size() >= 2) {
            debugPrint(reply.records[1].name.c_str());
            const QString name = announcedName(reply);
            qDebug() << "::aaaaa::" << name;
            emit bonjourGetIpName(name, ip);
        }

        if (i + 1 < replies.size())
            printLine(kSeparatorLine);
    }
}

void nanoleafAPIsync::debugPrint(const char* text)
{
    // Plain text, never a format: a device name with a percent sign goes out as is.
    const std::string cut = Platform::debugChannelCut(text);
    Platform::debugChannelWrite(cut.c_str());
}
