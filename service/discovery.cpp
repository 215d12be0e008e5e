// The discovery scan of the device service: one DNS-SD query, every answering
// device reported by name and address.

#include "service/nanoleafapisync.h"

#include "platform/debugchannel.h"
#include "platform/socketlayer.h"
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

QString fromUtf8UpToZero(const std::string& bytes)
{
    const std::size_t zero = bytes.find('\0');
    const std::string cut = zero == std::string::npos ? bytes : bytes.substr(0, zero);
    return QString::fromUtf8(cut.data(), static_cast<int>(cut.size()));
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
    const bool posted = QMetaObject::invokeMethod(
        scanner, [this, seconds] { listenForDevices(seconds); }, Qt::QueuedConnection);
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

void nanoleafAPIsync::listenForDevices(int seconds)
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

    std::vector<Zeroconf::Reply> replies;
    const bool completed = Zeroconf::QueryService(queryText(), seconds, replies);
    Platform::Net::cleanup();

    // Reported on the service thread, so the service's signals all come from there.
    const bool posted = QMetaObject::invokeMethod(
        this, [this, completed, replies] { reportScan(completed, replies); }, Qt::QueuedConnection);
    if (!posted)
        qWarning() << "searchDeive_noBonjour: the scan's result was lost";
}

void nanoleafAPIsync::reportScan(bool completed, const std::vector<Zeroconf::Reply>& replies)
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

    printLine(kSeparatorLine);
    qDebug() << "SeparatorLine2:" << kSeparatorLine;
    printLine("Hello, world");
    qDebug() << "END";
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
            const std::string& label = reply.records[1].name;
            debugPrint(label.c_str());
            const QString name = fromUtf8UpToZero(label);
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
