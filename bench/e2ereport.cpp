// prismara-bench-e2e: the measuring half of bench/e2e-latency. It reads
// nanoleaf-sim's control interface (device states, received datagrams) and
// host-sim's per-frame send times, matches every datagram a device received to
// the host frame it came from (host-sim --seq puts the frame's number in colour
// entry 0) and reports loss and host-send-to-device-receive latency. Both sides
// stamp CLOCK_MONOTONIC, so the times compare directly.
//
//   prismara-bench-e2e wait   --control HOST:PORT --devices N [--timeout S]
//   prismara-bench-e2e report --control HOST:PORT --timestamps FILE [--label TEXT]
//                             [--json FILE] [--row FILE] [--follow-until FILE] [--any-status]

#include "bench/latencystats.h"
#include "sync/checkedconnect.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSaveFile>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <vector>

namespace
{

constexpr int kRequestTimeoutMs = 120000; // a full frame log is tens of megabytes of JSON
constexpr int kFollowPollMs = 10000;
constexpr int kMaxPages = 10000;
constexpr std::int64_t kSequenceSpace = 1 << 24; // host-sim's frame numbers are 24 bits

// ------------------------------------------------------------ control interface

class ControlClient
{
public:
    explicit ControlClient(const QString& address)
        : base(QStringLiteral("http://") + address)
    {
        network.setProxy(QNetworkProxy::NoProxy);
    }

    bool getJson(const QString& path, QJsonObject& out, QString& error)
    {
        QNetworkReply* reply = network.get(QNetworkRequest(QUrl(base + path)));
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        checkedConnect(reply, SIGNAL(finished()), &loop, SLOT(quit()));
        checkedConnect(&deadline, SIGNAL(timeout()), &loop, SLOT(quit()));
        deadline.start(kRequestTimeoutMs);
        if (!reply->isFinished())
            loop.exec();
        if (!reply->isFinished()) {
            reply->abort();
            reply->deleteLater();
            error = QStringLiteral("GET %1: no answer within %2 s")
                        .arg(path)
                        .arg(kRequestTimeoutMs / 1000);
            return false;
        }
        const QByteArray body = reply->readAll();
        const QNetworkReply::NetworkError netError = reply->error();
        const QString netText = reply->errorString();
        reply->deleteLater();
        if (netError != QNetworkReply::NoError) {
            error = QStringLiteral("GET %1: %2").arg(path, netText);
            return false;
        }
        QJsonParseError parseError {};
        const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
        if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
            error = QStringLiteral("GET %1: not a JSON object (%2)")
                        .arg(path, parseError.errorString());
            return false;
        }
        out = doc.object();
        return true;
    }

private:
    QString base;
    QNetworkAccessManager network;
};

struct DeviceInfo {
    QString name;
    QString ip;
    QString mode;
};

bool listDevices(ControlClient& control, std::vector<DeviceInfo>& out, QString& error)
{
    QJsonObject answer;
    if (!control.getJson(QStringLiteral("/devices"), answer, error))
        return false;
    out.clear();
    for (const QJsonValue& v : answer.value(QStringLiteral("devices")).toArray()) {
        const QJsonObject d = v.toObject();
        out.push_back(DeviceInfo { d.value(QStringLiteral("name")).toString(),
            d.value(QStringLiteral("ip")).toString(), d.value(QStringLiteral("mode")).toString() });
    }
    return true;
}

// ------------------------------------------------------------ wait

int waitForExternalControl(const QString& address, int wanted, int timeoutSeconds)
{
    ControlClient control(address);
    QElapsedTimer clock;
    clock.start();
    std::vector<DeviceInfo> devices;
    QString error;
    int ready = 0;
    while (clock.elapsed() < static_cast<qint64>(timeoutSeconds) * 1000) {
        if (listDevices(control, devices, error)) {
            ready = 0;
            for (const DeviceInfo& d : devices)
                ready += d.mode.startsWith(QLatin1String("extControl")) ? 1 : 0;
            if (ready >= wanted) {
                std::printf("e2e: %d device(s) in external control after %.1f s\n", ready,
                    static_cast<double>(clock.elapsed()) / 1000.0);
                return 0;
            }
        }
        QThread::msleep(200);
    }
    std::fprintf(stderr, "e2e: only %d of %d device(s) in external control after %d s%s%s\n", ready,
        wanted, timeoutSeconds, error.isEmpty() ? "" : ": ", qPrintable(error));
    for (const DeviceInfo& d : devices)
        std::fprintf(stderr, "e2e:   %s (%s): %s\n", qPrintable(d.name), qPrintable(d.ip),
            qPrintable(d.mode));
    return 1;
}

// ------------------------------------------------------------ report

struct SentFrame {
    std::int64_t sendNs = 0;
    std::int64_t answerNs = 0;
    bool handled = false;
};

// Reads host-sim --timestamps output: "frame send_ns answer_ns handled result colours".
bool readTimestamps(const QString& path, std::vector<SentFrame>& frames, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    frames.clear();
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 5) {
            error = QStringLiteral("%1: a line with %2 fields").arg(path).arg(fields.size());
            return false;
        }
        bool okIndex = false, okSend = false, okAnswer = false;
        const qlonglong index = fields[0].toLongLong(&okIndex);
        SentFrame f;
        f.sendNs = fields[1].toLongLong(&okSend);
        f.answerNs = fields[2].toLongLong(&okAnswer);
        f.handled = fields[3] == "1";
        if (!okIndex || !okSend || !okAnswer || index != static_cast<qlonglong>(frames.size())) {
            error = QStringLiteral("%1: malformed line for frame %2").arg(path).arg(frames.size());
            return false;
        }
        frames.push_back(f);
    }
    if (static_cast<std::int64_t>(frames.size()) >= kSequenceSpace) {
        error = QStringLiteral("more frames than host-sim's 24-bit frame numbers tell apart");
        return false;
    }
    return true;
}

struct Datagram {
    std::int64_t seq = 0; // simulator's record number
    std::int64_t timeNs = 0;
    QString status;
    std::int64_t frame = -1; // host frame index, -1 when no colour record came with it
};

struct DeviceLog {
    DeviceInfo info;
    std::int64_t since = 0;
    std::vector<Datagram> datagrams;
};

bool fetchNew(ControlClient& control, DeviceLog& log, QString& error)
{
    for (int page = 0; page < kMaxPages; ++page) {
        QJsonObject answer;
        if (!control.getJson(
                QStringLiteral("/devices/%1/frames?since=%2").arg(log.info.ip).arg(log.since),
                answer, error))
            return false;
        const QJsonArray frames = answer.value(QStringLiteral("frames")).toArray();
        if (frames.isEmpty())
            return true;
        for (const QJsonValue& v : frames) {
            const QJsonObject f = v.toObject();
            Datagram d;
            d.seq = static_cast<std::int64_t>(f.value(QStringLiteral("seq")).toDouble());
            d.timeNs = f.value(QStringLiteral("time_ns")).toString().toLongLong();
            d.status = f.value(QStringLiteral("status")).toString();
            const QJsonArray records = f.value(QStringLiteral("records")).toArray();
            if (!records.isEmpty()) {
                const QJsonObject first = records.first().toObject();
                const std::int64_t number
                    = (static_cast<std::int64_t>(first.value(QStringLiteral("r")).toInt()) << 16)
                    | (static_cast<std::int64_t>(first.value(QStringLiteral("g")).toInt()) << 8)
                    | static_cast<std::int64_t>(first.value(QStringLiteral("b")).toInt());
                d.frame = number - 1;
            }
            log.since = std::max(log.since, d.seq);
            log.datagrams.push_back(d);
        }
    }
    error = QStringLiteral("%1: too many pages of frames").arg(log.info.ip);
    return false;
}

double us(std::int64_t ns)
{
    return static_cast<double>(ns) / 1000.0;
}

QJsonObject statsJson(LatencyStats& s)
{
    return QJsonObject { { QStringLiteral("count"), static_cast<double>(s.count()) },
        { QStringLiteral("p50_us"), us(s.percentile(50)) },
        { QStringLiteral("p99_us"), us(s.percentile(99)) },
        { QStringLiteral("max_us"), us(s.max()) },
        { QStringLiteral("mean_us"), s.mean() / 1000.0 } };
}

struct ReportOptions {
    QString control;
    QString timestamps;
    QString label;
    QString json;
    QString row;
    QString followUntil;
    // Count datagrams a device ignored (not in external control) like accepted
    // ones: for a forwarder that never switched the devices over.
    bool anyStatus = false;
};

int report(const ReportOptions& o)
{
    ControlClient control(o.control);
    QString error;
    std::vector<DeviceInfo> infos;
    if (!listDevices(control, infos, error)) {
        std::fprintf(stderr, "e2e: %s\n", qPrintable(error));
        return 1;
    }
    std::vector<DeviceLog> logs;
    for (const DeviceInfo& info : infos) {
        DeviceLog log;
        log.info = info;
        logs.push_back(log);
    }

    // The simulator keeps the latest 20000 datagrams per device; a long run is
    // followed while it goes, a short one is read once it is over.
    if (!o.followUntil.isEmpty()) {
        QElapsedTimer clock;
        clock.start();
        while (!QFile::exists(o.followUntil) && clock.elapsed() < 86400000LL) {
            for (DeviceLog& log : logs)
                if (!fetchNew(control, log, error))
                    std::fprintf(stderr, "e2e: %s (will retry)\n", qPrintable(error));
            QThread::msleep(kFollowPollMs);
        }
    }
    for (DeviceLog& log : logs) {
        if (!fetchNew(control, log, error)) {
            std::fprintf(stderr, "e2e: %s\n", qPrintable(error));
            return 1;
        }
    }

    std::vector<SentFrame> sent;
    if (!readTimestamps(o.timestamps, sent, error)) {
        std::fprintf(stderr, "e2e: %s\n", qPrintable(error));
        return 1;
    }
    std::int64_t handled = 0;
    LatencyStats roundTrip;
    for (const SentFrame& f : sent) {
        handled += f.handled ? 1 : 0;
        roundTrip.add(f.answerNs - f.sendNs);
    }

    const std::size_t n = sent.size();
    // Per frame: the earliest arrival over all devices (the chain host -> tool ->
    // first device, before the simulator's one receiver thread works through the
    // rest) and the latest (the moment the whole frame was out).
    std::vector<std::int64_t> firstArrival(n, 0);
    std::vector<std::int64_t> lastArrival(n, 0);
    std::vector<int> devicesReached(n, 0);
    LatencyStats all;
    all.reserve(n * logs.size());

    std::printf("\n== %s ==\n", qPrintable(o.label.isEmpty() ? QStringLiteral("run") : o.label));
    std::printf("frames sent by host-sim: %zu (handled %" PRId64 ")\n", n, handled);
    std::printf("%-26s %-10s %9s %7s %5s %6s %8s %8s %8s %9s\n", "device", "ip", "received", "lost",
        "dup", "reord", "ignored", "p50 us", "p99 us", "max us");

    QJsonArray deviceRows;
    std::int64_t totalLost = 0;
    std::int64_t minReceived = -1, maxReceived = 0;
    for (DeviceLog& log : logs) {
        std::vector<char> seen(n, 0);
        LatencyStats mine;
        mine.reserve(n);
        std::int64_t received = 0, duplicates = 0, reordered = 0, ignored = 0, malformed = 0,
                     unmatched = 0;
        std::int64_t highest = -1;
        for (const Datagram& d : log.datagrams) {
            if (d.status == QLatin1String("ignored")) {
                ++ignored;
                if (!o.anyStatus)
                    continue;
            } else if (d.status != QLatin1String("accepted")) {
                ++malformed;
                continue;
            }
            if (d.frame < 0 || d.frame >= static_cast<std::int64_t>(n)) {
                ++unmatched;
                continue;
            }
            const std::size_t i = static_cast<std::size_t>(d.frame);
            if (seen[i]) {
                ++duplicates;
                continue;
            }
            seen[i] = 1;
            ++received;
            if (d.frame < highest)
                ++reordered;
            highest = std::max(highest, d.frame);
            const std::int64_t latency = d.timeNs - sent[i].sendNs;
            mine.add(latency);
            all.add(latency);
            lastArrival[i] = std::max(lastArrival[i], d.timeNs);
            firstArrival[i] = firstArrival[i] == 0 ? d.timeNs : std::min(firstArrival[i], d.timeNs);
            ++devicesReached[i];
        }
        const std::int64_t lost = static_cast<std::int64_t>(n) - received;
        totalLost += lost;
        minReceived = minReceived < 0 ? received : std::min(minReceived, received);
        maxReceived = std::max(maxReceived, received);
        std::printf("%-26s %-10s %9" PRId64 " %7" PRId64 " %5" PRId64 " %6" PRId64 " %8" PRId64
                    " %8.1f %8.1f %8.1f%s\n",
            qPrintable(log.info.name.left(26)), qPrintable(log.info.ip), received, lost, duplicates,
            reordered, ignored, us(mine.percentile(50)), us(mine.percentile(99)), us(mine.max()),
            malformed + unmatched ? "  (+ malformed/unmatched)" : "");
        QJsonObject row = statsJson(mine);
        row.insert(QStringLiteral("name"), log.info.name);
        row.insert(QStringLiteral("ip"), log.info.ip);
        row.insert(QStringLiteral("received"), static_cast<double>(received));
        row.insert(QStringLiteral("lost"), static_cast<double>(lost));
        row.insert(QStringLiteral("duplicates"), static_cast<double>(duplicates));
        row.insert(QStringLiteral("reordered"), static_cast<double>(reordered));
        row.insert(QStringLiteral("ignored"), static_cast<double>(ignored));
        row.insert(QStringLiteral("malformed"), static_cast<double>(malformed));
        row.insert(QStringLiteral("unmatched"), static_cast<double>(unmatched));
        deviceRows.append(row);
    }

    LatencyStats wholeFrame;
    LatencyStats firstDevice;
    for (std::size_t i = 0; i < n; ++i) {
        if (devicesReached[i] == static_cast<int>(logs.size()) && !logs.empty())
            wholeFrame.add(lastArrival[i] - sent[i].sendNs);
        if (devicesReached[i] > 0)
            firstDevice.add(firstArrival[i] - sent[i].sendNs);
    }

    const double lossPercent = n && !logs.empty() ? 100.0 * static_cast<double>(totalLost)
            / (static_cast<double>(n) * static_cast<double>(logs.size()))
                                                  : 0.0;
    std::printf("every datagram (%zu): p50 %.1f us, p99 %.1f us, max %.1f us\n", all.count(),
        us(all.percentile(50)), us(all.percentile(99)), us(all.max()));
    std::printf("first device of each frame (%zu frames): p50 %.1f us, p99 %.1f us, max %.1f us\n",
        firstDevice.count(), us(firstDevice.percentile(50)), us(firstDevice.percentile(99)),
        us(firstDevice.max()));
    std::printf(
        "whole frame, last of %zu devices (%zu frames): p50 %.1f us, p99 %.1f us, max %.1f us\n",
        logs.size(), wholeFrame.count(), us(wholeFrame.percentile(50)),
        us(wholeFrame.percentile(99)), us(wholeFrame.max()));
    std::printf("host round trip (send to answer): p50 %.1f us, p99 %.1f us, max %.1f us\n",
        us(roundTrip.percentile(50)), us(roundTrip.percentile(99)), us(roundTrip.max()));
    std::printf(
        "lost datagrams: %" PRId64 " of %zu (%.3f %%)\n", totalLost, n * logs.size(), lossPercent);

    if (!o.json.isEmpty()) {
        const QJsonObject doc { { QStringLiteral("label"), o.label },
            { QStringLiteral("frames_sent"), static_cast<double>(n) },
            { QStringLiteral("frames_handled"), static_cast<double>(handled) },
            { QStringLiteral("devices"), deviceRows },
            { QStringLiteral("lost"), static_cast<double>(totalLost) },
            { QStringLiteral("loss_percent"), lossPercent },
            { QStringLiteral("latency"), statsJson(all) },
            { QStringLiteral("first_device"), statsJson(firstDevice) },
            { QStringLiteral("whole_frame"), statsJson(wholeFrame) },
            { QStringLiteral("round_trip"), statsJson(roundTrip) } };
        QSaveFile out(o.json);
        if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(doc).toJson()) < 0
            || !out.commit())
            std::fprintf(stderr, "e2e: cannot write %s\n", qPrintable(o.json));
    }
    if (!o.row.isEmpty()) {
        // One row of the README table (header written by the script).
        QFile out(o.row);
        if (out.open(QIODevice::Append | QIODevice::Text)) {
            const QString line
                = QStringLiteral("| %1 | %2 | %3 | %4 (%5 %) | %6 | %7 | %8 | %9 | %10 |\n")
                      .arg(o.label)
                      .arg(n)
                      .arg(minReceived == maxReceived
                              ? QString::number(maxReceived)
                              : QStringLiteral("%1-%2").arg(minReceived).arg(maxReceived))
                      .arg(totalLost)
                      .arg(lossPercent, 0, 'f', 2)
                      .arg(us(all.percentile(50)), 0, 'f', 1)
                      .arg(us(all.percentile(99)), 0, 'f', 1)
                      .arg(us(all.max()), 0, 'f', 1)
                      .arg(us(firstDevice.percentile(50)), 0, 'f', 1)
                      .arg(us(wholeFrame.percentile(99)), 0, 'f', 1);
            out.write(line.toUtf8());
        } else {
            std::fprintf(stderr, "e2e: cannot append to %s\n", qPrintable(o.row));
        }
    }
    return 0;
}

int usage(const char* what)
{
    std::fprintf(stderr,
        "prismara-bench-e2e: %s\n"
        "usage: prismara-bench-e2e wait --control HOST:PORT --devices N [--timeout S]\n"
        "       prismara-bench-e2e report --control HOST:PORT --timestamps FILE [--label TEXT]\n"
        "                                 [--json FILE] [--row FILE] [--follow-until FILE]\n"
        "                                 [--any-status]\n",
        what);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    if (args.size() < 2)
        return usage("which step: wait or report");
    const QString step = args.takeAt(1);

    QCommandLineParser parser;
    const QCommandLineOption controlOpt(QStringLiteral("control"),
        QStringLiteral("Simulator control address."), QStringLiteral("HOST:PORT"));
    const QCommandLineOption devicesOpt(
        QStringLiteral("devices"), QStringLiteral("Devices to wait for."), QStringLiteral("N"));
    const QCommandLineOption timeoutOpt(QStringLiteral("timeout"),
        QStringLiteral("Seconds to wait."), QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption stampsOpt(QStringLiteral("timestamps"),
        QStringLiteral("host-sim --timestamps file."), QStringLiteral("FILE"));
    const QCommandLineOption labelOpt(
        QStringLiteral("label"), QStringLiteral("Name of the run."), QStringLiteral("TEXT"));
    const QCommandLineOption jsonOpt(
        QStringLiteral("json"), QStringLiteral("Write the results here."), QStringLiteral("FILE"));
    const QCommandLineOption rowOpt(QStringLiteral("row"),
        QStringLiteral("Append a markdown table row here."), QStringLiteral("FILE"));
    const QCommandLineOption followOpt(QStringLiteral("follow-until"),
        QStringLiteral("Keep collecting until FILE exists."), QStringLiteral("FILE"));
    const QCommandLineOption anyStatusOpt(QStringLiteral("any-status"),
        QStringLiteral("Count datagrams the devices ignored as received."));
    parser.addOptions({ controlOpt, devicesOpt, timeoutOpt, stampsOpt, labelOpt, jsonOpt, rowOpt,
        followOpt, anyStatusOpt });
    if (!parser.parse(args))
        return usage(qPrintable(parser.errorText()));
    if (!parser.positionalArguments().isEmpty())
        return usage("unexpected arguments");
    if (!parser.isSet(controlOpt))
        return usage("--control is required");

    if (step == QLatin1String("wait")) {
        bool okDevices = false, okTimeout = false;
        const int devices = parser.value(devicesOpt).toInt(&okDevices);
        const int timeout = parser.value(timeoutOpt).toInt(&okTimeout);
        if (!okDevices || devices <= 0 || !okTimeout || timeout <= 0 || timeout > 3600)
            return usage("--devices wants a positive count, --timeout 1 to 3600 seconds");
        return waitForExternalControl(parser.value(controlOpt), devices, timeout);
    }
    if (step == QLatin1String("report")) {
        if (!parser.isSet(stampsOpt))
            return usage("--timestamps is required");
        ReportOptions o;
        o.control = parser.value(controlOpt);
        o.timestamps = parser.value(stampsOpt);
        o.label = parser.value(labelOpt);
        o.json = parser.value(jsonOpt);
        o.row = parser.value(rowOpt);
        o.followUntil = parser.value(followOpt);
        o.anyStatus = parser.isSet(anyStatusOpt);
        return report(o);
    }
    return usage("the step is wait or report");
}
