// The discovery scan of the device service: one DNS-SD query, every answering
// device reported by name and address.

#include "service/nanoleafapisync.h"

#include "platform/debugchannel.h"
#include "platform/socketlayer.h"
#include "service/deviceregistry.h"
#include "service/scanbudget.h"
#include "service/tokenprofile.h"
#include "zeroconf/addressprobe.h"
#include "zeroconf/zeroconf.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QThread>

#include <iostream>

namespace
{

const char* const kSeparatorLine = "--------------------";

// How long a scan waits for the devices given by address, from its start: a name
// the system takes longer to look up counts as not resolving. A connect that
// nothing answers ends after kConnectMs.
constexpr std::int64_t kAddedBoundMs = 4000;
constexpr int kConnectMs = 3000;

QString dotted(const std::array<std::uint8_t, 4>& address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address[0])
        .arg(address[1])
        .arg(address[2])
        .arg(address[3]);
}

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
    const std::vector<AddressProbe::Entry> added = addedEntries();
    const std::shared_ptr<std::atomic<bool>> cancel = scanCancel;
    const bool posted = QMetaObject::invokeMethod(
        scanner,
        [this, seconds, own, added, cancel] { listenForDevices(seconds, own, added, cancel); },
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

std::vector<AddressProbe::Entry> nanoleafAPIsync::addedEntries()
{
    QStringList texts;
    {
        QMutexLocker lock(&currentLock);
        texts = commandLineAdded;
    }
    texts += TokenProfile::settings().add;
    std::vector<AddressProbe::Entry> entries;
    QSet<QString> seen;
    for (const QString& text : qAsConst(texts)) {
        AddressProbe::Entry entry;
        if (!AddressProbe::parseEntry(text.toStdString(), entry)) {
            qWarning().noquote() << QStringLiteral(
                "Device address \"%1\" left out: not HOST or HOST:PORT")
                                        .arg(text);
            continue;
        }
        if (!seen.contains(QString::fromStdString(entry.text))) {
            seen.insert(QString::fromStdString(entry.text));
            entries.push_back(entry);
        }
    }
    return entries;
}

void nanoleafAPIsync::listenForDevices(int seconds, const QSet<QString>& own,
    const std::vector<AddressProbe::Entry>& added, const std::shared_ptr<std::atomic<bool>>& cancel)
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

    // The devices given by address are looked up and knocked on while the query
    // listens.
    const std::int64_t started = Platform::Net::monotonicTicks();
    AddressProbe::Run probes(added, kConnectMs);

    ScanBudget budget(own);
    Zeroconf::ScanControl control;
    control.cancel = cancel.get();
    control.keep = [&budget](const Zeroconf::Reply& reply) { return budget.keep(reply); };
    std::vector<Zeroconf::Reply> replies;
    const bool completed = Zeroconf::QueryService(queryText(), seconds, replies, control);
    const std::vector<AddressProbe::Result> probed
        = probes.wait(started + kAddedBoundMs * 10000, cancel.get());
    Platform::Net::cleanup();
    if (cancel->load())
        return;

    // Reported on the service thread, so the service's signals all come from there.
    const int dropped = budget.dropped();
    const int merged = budget.merged();
    const bool posted = QMetaObject::invokeMethod(
        this,
        [this, completed, replies, dropped, merged, probed] {
            reportScan(completed, replies, dropped, merged, probed);
        },
        Qt::QueuedConnection);
    if (!posted)
        qWarning() << "searchDeive_noBonjour: the scan's result was lost";
}

void nanoleafAPIsync::reportScan(bool completed, const std::vector<Zeroconf::Reply>& replies,
    int dropped, int merged, const std::vector<AddressProbe::Result>& added)
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
    // A device given by address that the query found too is listed once, by name.
    QHash<QString, QString> answeredAt;
    for (const Zeroconf::Reply& reply : replies)
        if (reply.records.size() >= 2)
            answeredAt.insert(QString::fromStdString(Platform::Net::peerAddressToText(reply.peer)),
                announcedName(reply));
    if (dropped > 0 || merged > 0) {
        // The rest of the answers, in one line however many there were.
        printLine("Dropped replies: " + std::to_string(dropped) + " beyond "
            + std::to_string(ScanBudget::kMaxNames) + " names, " + std::to_string(merged)
            + " repeating a name");
        qDebug() << "Dropped replies:" << dropped << "merged:" << merged;
    }

    reportAdded(added, answeredAt);

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

void nanoleafAPIsync::reportAdded(
    const std::vector<AddressProbe::Result>& results, const QHash<QString, QString>& answeredAt)
{
    // Listed at every scan, under the name the device gave when it was paired, else
    // under its address; one that cannot be reached says why, in the table and on
    // standard error.
    for (const AddressProbe::Result& result : results) {
        const QString text = QString::fromStdString(result.entry.text);
        QString ip = dotted(result.at.address);
        QString name = TokenProfile::readAddedName(text);
        if (name.isEmpty() && result.outcome == AddressProbe::Outcome::Answered)
            name = answeredAt.value(ip);
        {
            QMutexLocker lock(&currentLock);
            if (name.isEmpty()) {
                name = text;
                addressNames.insert(text);
            }
            apiPorts.insert(name, result.entry.port);
        }
        QString note;
        switch (result.outcome) {
        case AddressProbe::Outcome::Answered:
            break;
        case AddressProbe::Outcome::NoAnswer:
            note = QStringLiteral("No answer");
            qWarning().noquote() << QStringLiteral(
                "Device address \"%1\": nothing answers at %2:%3 (%4)")
                                        .arg(text, ip)
                                        .arg(result.entry.port)
                                        .arg(QString::fromStdString(result.reason));
            break;
        case AddressProbe::Outcome::Unresolved:
            note = QStringLiteral("Unknown host");
            ip = deviceMap.contains(name) ? deviceMap.value(name).ip : QString();
            qWarning().noquote() << QStringLiteral("Device address \"%1\" does not resolve (%2)")
                                        .arg(text, QString::fromStdString(result.reason));
            break;
        }
        qDebug() << "reportAdded" << text << name << ip << note;
        deviceMap.setNote(name, ip, note);
        if (answeredAt.value(ip) != name) // else listed already
            emit bonjourGetIpName(name, ip);
    }
}

void nanoleafAPIsync::debugPrint(const char* text)
{
    // Plain text, never a format: a device name with a percent sign goes out as is.
    const std::string cut = Platform::debugChannelCut(text);
    Platform::debugChannelWrite(cut.c_str());
}
