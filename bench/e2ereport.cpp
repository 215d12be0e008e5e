// prismara-bench-e2e: the measuring half of bench/e2e-latency. It reads
// nanoleaf-sim's control interface (device states, the kernel's receive stamp of
// every datagram) and host-sim's per-frame send times of several passes (the tool
// and the bare forwarder in turn, each numbering its frames from its own
// --seq-from), matches every datagram a device received to the frame it came from
// (host-sim --seq puts the frame's number in colour entry 0, with --seq-all in
// every pixel of a strip) and reports, per kind of pass, loss and latency from the
// sender's write to the device's socket (pooled over the passes, and the median of
// the passes' p99s), the late frames (last datagram over 1 ms after the send) and
// their bursts, the median wait for a frame's first datagram and the median time
// from its first datagram to its last, then what the tool adds over the forwarder
// and whether that meets the goal. Both sides stamp CLOCK_REALTIME (host-sim just
// before the write, the kernel as the datagram lands on the socket), so no
// receiver wake-up counts.
//
//   prismara-bench-e2e wait   --control HOST:PORT --devices N [--timeout S]
//   prismara-bench-e2e same   --control HOST:PORT --count 1|2
//   prismara-bench-e2e report --control HOST:PORT --pass tool:FILE --pass floor:FILE ...
//                             [--label TEXT] [--json FILE] [--row FILE] [--added-row FILE]
//                             [--bursts FILE]
//   prismara-bench-e2e idle   --pid PID --seconds S [--row FILE]
//
// --bursts appends a line per late frame ("late", pass, kind, frame, send and
// landing on CLOCK_MONOTONIC in ns, µs) and per burst ("burst", pass, kind, from,
// to, frames, worst µs), for bench/burst-trace.

#include "bench/latencystats.h"
#include "service/checkedconnect.h"

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

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <map>
#include <vector>

namespace
{

constexpr int kRequestTimeoutMs = 120000; // a full frame log is tens of megabytes of JSON
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
        QByteArray body;
        if (!getText(path, body, error))
            return false;
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

    bool getText(const QString& path, QByteArray& body, QString& error)
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
        body = reply->readAll();
        const QNetworkReply::NetworkError netError = reply->error();
        const QString netText = reply->errorString();
        reply->deleteLater();
        if (netError != QNetworkReply::NoError) {
            error = QStringLiteral("GET %1: %2").arg(path, netText);
            return false;
        }
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

// ------------------------------------------------------------ same

// The tool and the floor were each sent the same one frame, the tool first: every
// device must have received the same bytes from both, so the two are compared on
// the same work. Waits (bounded) until every device holds `count` datagrams; with
// count 2 it then compares each device's last two.
int sameDatagrams(const QString& address, int count, int timeoutSeconds)
{
    ControlClient control(address);
    QElapsedTimer clock;
    clock.start();
    std::vector<DeviceInfo> devices;
    QString error;
    std::vector<QJsonArray> frames;
    bool all = false;
    while (!all && clock.elapsed() < static_cast<qint64>(timeoutSeconds) * 1000) {
        if (!listDevices(control, devices, error))
            break;
        all = true;
        frames.assign(devices.size(), QJsonArray());
        for (std::size_t i = 0; all && i < devices.size(); ++i) {
            QJsonObject answer;
            if (!control.getJson(
                    QStringLiteral("/devices/%1/frames?since=0").arg(devices[i].ip), answer, error))
                break;
            frames[i] = answer.value(QStringLiteral("frames")).toArray();
            all = frames[i].size() >= count;
        }
        if (!all)
            QThread::msleep(100);
    }
    if (!all || devices.empty()) {
        std::fprintf(stderr, "e2e: not every device received %d datagram(s)%s%s\n", count,
            error.isEmpty() ? "" : ": ", qPrintable(error));
        return 1;
    }
    if (count < 2)
        return 0;
    // A v2 device's lit panels are ordered by where they hang, which the floor does
    // not know: it sends the same panels and colours, in another order.
    const auto sameWork = [](const QJsonObject& a, const QJsonObject& b) {
        const auto key = [](const QJsonObject& f) {
            QStringList ids, colours;
            for (const QJsonValue& r : f.value(QStringLiteral("records")).toArray()) {
                const QJsonObject o = r.toObject();
                ids << QString::number(o.value(QStringLiteral("panelId")).toInt());
                colours << QStringLiteral("%1,%2,%3")
                               .arg(o.value(QStringLiteral("r")).toInt())
                               .arg(o.value(QStringLiteral("g")).toInt())
                               .arg(o.value(QStringLiteral("b")).toInt());
            }
            ids.sort();
            colours.sort();
            return ids.join(' ') + '/' + colours.join(' ');
        };
        return a.value(QStringLiteral("layout")).toString() == QLatin1String("v2")
            && a.value(QStringLiteral("size")) == b.value(QStringLiteral("size"))
            && key(a) == key(b);
    };
    int differ = 0, reordered = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const QJsonObject tool = frames[i].at(frames[i].size() - 2).toObject();
        const QJsonObject floor = frames[i].last().toObject();
        const QString a = tool.value(QStringLiteral("bytes")).toString();
        const QString b = floor.value(QStringLiteral("bytes")).toString();
        if (tool.value(QStringLiteral("status")).toString() == QLatin1String("accepted")) {
            if (a == b)
                continue;
            if (sameWork(tool, floor)) {
                ++reordered;
                continue;
            }
        }
        ++differ;
        std::fprintf(stderr, "e2e: %s (%s): tool %s %s, floor %s %s\n", qPrintable(devices[i].name),
            qPrintable(devices[i].ip), qPrintable(tool.value(QStringLiteral("status")).toString()),
            qPrintable(a), qPrintable(floor.value(QStringLiteral("status")).toString()),
            qPrintable(b));
    }
    if (differ > 0) {
        std::fprintf(stderr, "e2e: the tool and the floor sent %d of %zu devices different bytes\n",
            differ, devices.size());
        return 1;
    }
    if (reordered == 0)
        std::printf("e2e: the tool and the floor sent the same bytes to each of %zu devices\n",
            devices.size());
    else
        std::printf("e2e: the tool and the floor sent the same bytes to %zu devices; the same "
                    "panels and colours, in another order, to %d v2 device(s)\n",
            devices.size() - static_cast<std::size_t>(reordered), reordered);
    return 0;
}

// ------------------------------------------------------------ report

// A frame whose last datagram lands later than this after its send is late; late
// frames whose sends lie closer together than kBurstGapNs make one burst.
constexpr std::int64_t kLateNs = 1000000;
constexpr std::int64_t kBurstGapNs = 50000000;
// The goal: what the tool may add at p50, and how far its typical pass's p99 may
// stand above the floor's.
constexpr double kGoalAddedP50Us = 15.0;
constexpr double kGoalP99Ratio = 1.5;

struct SentFrame {
    // CLOCK_REALTIME just before the write; from the network, just before the
    // datagram that completes the frame.
    std::int64_t sendRtNs = 0;
    // CLOCK_MONOTONIC just before the write; from the network, before the first datagram.
    std::int64_t sendMonoNs = 0;
    // Host: send to answer; network: host-sim's own sending, first datagram to last.
    std::int64_t roundTripNs = 0;
    int pass = -1; // index into the passes
};

// Reads host-sim --timestamps output ("frame send_ns answer_ns handled result
// colours send_rt_ns", or for its network senders the same columns with the
// frame's first and last send) of one pass into frames, indexed by frame number.
bool readTimestamps(const QString& path, int pass, std::vector<SentFrame>& frames,
    std::int64_t& count, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    count = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        bool okIndex = false, okSend = false, okAnswer = false, okRt = false;
        const qlonglong index = fields.value(0).toLongLong(&okIndex);
        const qlonglong send = fields.value(1).toLongLong(&okSend);
        const qlonglong answer = fields.value(2).toLongLong(&okAnswer);
        const qlonglong rt = fields.value(6).toLongLong(&okRt);
        if (fields.size() < 7 || !okIndex || !okSend || !okAnswer || !okRt || index < 0
            || index >= kSequenceSpace - 1) {
            error = QStringLiteral("%1: malformed line %2").arg(path, QString::fromLatin1(line));
            return false;
        }
        const std::size_t i = static_cast<std::size_t>(index);
        if (frames.size() <= i)
            frames.resize(i + 1);
        if (frames[i].pass >= 0) {
            error
                = QStringLiteral("%1: frame %2 also belongs to another pass").arg(path).arg(index);
            return false;
        }
        frames[i] = SentFrame { rt, send, answer - send, pass };
        ++count;
    }
    return true;
}

struct Stamp {
    std::int64_t rxNs = 0;
    std::int64_t frame = -1;
    bool accepted = false;
};

bool fetchStamps(ControlClient& control, const QString& ip, std::vector<Stamp>& out, QString& error)
{
    QByteArray body;
    if (!control.getText(QStringLiteral("/devices/%1/stamps?since=0").arg(ip), body, error))
        return false;
    for (const QByteArray& line : body.split('\n')) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() < 5)
            continue;
        Stamp s;
        s.rxNs = f[1].toLongLong();
        s.accepted = f[3] == "accepted";
        const qlonglong number = f[4].toLongLong();
        s.frame = number > 0 ? number - 1 : -1;
        out.push_back(s);
    }
    return true;
}

double us(std::int64_t ns)
{
    return static_cast<double>(ns) / 1000.0;
}

// Late frames of one pass close together: when they were sent and when the last
// of their datagrams landed, both on the monotonic clock, so that a trace taken
// with that clock can be cut to the burst.
struct Burst {
    int pass = 0;
    std::int64_t fromMonoNs = 0;
    std::int64_t toMonoNs = 0;
    std::int64_t frames = 0;
    std::int64_t worstNs = 0;
};

struct PassStats {
    int kind = 0;
    LatencyStats latency;
    std::int64_t lateFrames = 0;
    // CLOCK_REALTIME minus CLOCK_MONOTONIC, from the pair of stamps closest together.
    std::int64_t rtMinusMonoNs = std::numeric_limits<std::int64_t>::max();
};

struct PassKind {
    QString name; // "tool" or "floor"
    std::int64_t frames = 0;
    std::int64_t expected = 0;
    std::int64_t received = 0;
    std::int64_t ignored = 0;
    std::int64_t unstamped = 0;
    LatencyStats latency; // every datagram of every pass, pooled
    LatencyStats roundTrip;
    LatencyStats first; // per frame: the host's write to its first datagram's stamp
    LatencyStats spread; // per frame: its first datagram's stamp to its last's
    LatencyStats passP99; // one p99 per pass: a burst in a few passes moves its median little
    int passes = 0;
    int passesWithLate = 0;
    std::int64_t lateFrames = 0;
    std::vector<Burst> bursts;
};

struct ReportOptions {
    QString control;
    QStringList passes; // KIND:FILE
    QString label;
    QString json;
    QString row;
    QString addedRow;
    QString bursts;
};

// Reads the host's timestamps of each pass (KIND:FILE), grouping the passes by kind.
bool readPasses(const QStringList& files, std::vector<PassKind>& kinds,
    std::vector<PassStats>& passes, std::vector<SentFrame>& frames, QString& error)
{
    for (int p = 0; p < files.size(); ++p) {
        const QString kind = files[p].section(QLatin1Char(':'), 0, 0);
        const QString file = files[p].section(QLatin1Char(':'), 1);
        int k = 0;
        while (
            k < static_cast<int>(kinds.size()) && kinds[static_cast<std::size_t>(k)].name != kind)
            ++k;
        if (k == static_cast<int>(kinds.size())) {
            kinds.push_back(PassKind {});
            kinds.back().name = kind;
        }
        passes.push_back(PassStats {});
        passes.back().kind = k;
        ++kinds[static_cast<std::size_t>(k)].passes;
        std::int64_t count = 0;
        if (!readTimestamps(file, p, frames, count, error))
            return false;
        kinds[static_cast<std::size_t>(k)].frames += count;
    }
    return true;
}

// The tool against the floor at this point, printed and in `doc`; the table row of what
// the tool adds (empty without both kinds).
QString compareToFloor(std::vector<PassKind>& kinds, const QString& label, QJsonObject& doc)
{
    QString added;
    const auto find = [&kinds](const char* name) -> PassKind* {
        for (PassKind& k : kinds)
            if (k.name == QLatin1String(name))
                return &k;
        return nullptr;
    };
    PassKind* tool = find("tool");
    PassKind* floor = find("floor");
    if (tool && floor && !tool->latency.empty() && !floor->latency.empty()) {
        const auto ratio = [](std::int64_t a, std::int64_t b) {
            return static_cast<double>(a) / static_cast<double>(std::max<std::int64_t>(1, b));
        };
        const double addedP50 = us(tool->latency.percentile(50) - floor->latency.percentile(50));
        const double pooledRatio
            = ratio(tool->latency.percentile(99), floor->latency.percentile(99));
        const double passRatio = ratio(tool->passP99.percentile(50), floor->passP99.percentile(50));
        const std::int64_t toolLost = tool->expected - tool->received;
        QStringList missed;
        if (toolLost > 0)
            missed << QStringLiteral("%1 lost").arg(toolLost);
        if (addedP50 > kGoalAddedP50Us)
            missed << QStringLiteral("p50 +%1 us").arg(addedP50, 0, 'f', 1);
        if (passRatio > kGoalP99Ratio)
            missed << QStringLiteral("p99 %1x").arg(passRatio, 0, 'f', 2);
        const QString goal = missed.isEmpty()
            ? QStringLiteral("met")
            : QStringLiteral("not met (%1)").arg(missed.join(", "));
        std::printf("tool minus floor: p50 %+.1f us; p99 tool / floor: median of passes %.2f, "
                    "pooled %.2f; goal %s\n",
            addedP50, passRatio, pooledRatio, qPrintable(goal));
        doc.insert(QStringLiteral("added_p50_us"), addedP50);
        doc.insert(QStringLiteral("pass_p99_ratio"), passRatio);
        doc.insert(QStringLiteral("p99_ratio"), pooledRatio);
        doc.insert(QStringLiteral("goal_met"), missed.isEmpty());
        added = QStringLiteral("| %1 | %2 | %3 | %4 | %5 |\n")
                    .arg(label)
                    .arg(addedP50, 0, 'f', 1)
                    .arg(passRatio, 0, 'f', 2)
                    .arg(pooledRatio, 0, 'f', 2)
                    .arg(goal);
    }

    return added;
}

// One line per kind of pass (and one per burst of late frames), printed, in `doc` and as
// table rows, which it returns; the bursts also go to `burstLines`.
QString reportKinds(std::vector<PassKind>& kinds, std::size_t devices, const QString& label,
    QJsonObject& doc, QString& burstLines)
{
    std::printf("%-6s %7s %9s %6s %8s %8s %8s %8s %9s %8s %11s\n", "pass", "frames", "datagrams",
        "lost", "p50 us", "p99 us", "p99.9 us", "max us", "pass p99", "rt p50", "late passes");
    QString rows;
    for (std::size_t n = 0; n < kinds.size(); ++n) {
        PassKind& k = kinds[n];
        k.expected = k.frames * static_cast<std::int64_t>(devices);
        const std::int64_t lost = k.expected - k.received;
        std::printf("%-6s %7" PRId64 " %9" PRId64 " %6" PRId64
                    " %8.1f %8.1f %8.1f %8.1f %9.1f %8.1f %5d of %-3d%s\n",
            qPrintable(k.name), k.frames, k.expected, lost, us(k.latency.percentile(50)),
            us(k.latency.percentile(99)), us(k.latency.percentile(99.9)), us(k.latency.max()),
            us(k.passP99.percentile(50)), us(k.roundTrip.percentile(50)), k.passesWithLate,
            k.passes,
            k.ignored + k.unstamped ? "  (some ignored by the device or without a kernel stamp)"
                                    : "");
        QJsonArray bursts;
        for (const Burst& b : k.bursts) {
            std::printf("%-6s burst in pass %d: %" PRId64 " frames over 1 ms, worst %.1f us, "
                        "monotonic %.6f-%.6f s\n",
                qPrintable(k.name), b.pass, b.frames, us(b.worstNs),
                static_cast<double>(b.fromMonoNs) / 1e9, static_cast<double>(b.toMonoNs) / 1e9);
            bursts.append(QJsonObject { { QStringLiteral("pass"), b.pass },
                { QStringLiteral("frames"), static_cast<double>(b.frames) },
                { QStringLiteral("worst_us"), us(b.worstNs) },
                { QStringLiteral("from_mono_ns"), static_cast<double>(b.fromMonoNs) },
                { QStringLiteral("to_mono_ns"), static_cast<double>(b.toMonoNs) } });
            burstLines += QStringLiteral("burst\t%1\t%2\t%3\t%4\t%5\t%6\n")
                              .arg(b.pass)
                              .arg(k.name)
                              .arg(b.fromMonoNs)
                              .arg(b.toMonoNs)
                              .arg(b.frames)
                              .arg(us(b.worstNs), 0, 'f', 1);
        }
        doc.insert(k.name,
            QJsonObject { { QStringLiteral("frames"), static_cast<double>(k.frames) },
                { QStringLiteral("datagrams"), static_cast<double>(k.expected) },
                { QStringLiteral("lost"), static_cast<double>(lost) },
                { QStringLiteral("ignored"), static_cast<double>(k.ignored) },
                { QStringLiteral("unstamped"), static_cast<double>(k.unstamped) },
                { QStringLiteral("p50_us"), us(k.latency.percentile(50)) },
                { QStringLiteral("p99_us"), us(k.latency.percentile(99)) },
                { QStringLiteral("p999_us"), us(k.latency.percentile(99.9)) },
                { QStringLiteral("max_us"), us(k.latency.max()) },
                { QStringLiteral("pass_p99_median_us"), us(k.passP99.percentile(50)) },
                { QStringLiteral("passes"), k.passes },
                { QStringLiteral("passes_with_late_frames"), k.passesWithLate },
                { QStringLiteral("late_frames"), static_cast<double>(k.lateFrames) },
                { QStringLiteral("bursts"), bursts },
                { QStringLiteral("round_trip_p50_us"), us(k.roundTrip.percentile(50)) },
                { QStringLiteral("first_datagram_p50_us"), us(k.first.percentile(50)) },
                { QStringLiteral("frame_spread_p50_us"), us(k.spread.percentile(50)) } });
        rows += QStringLiteral(
            "| %1 | %2 | %3 | %4 of %5 | %6 | %7 | %8 | %9 | %10 | %11 of %12 |\n")
                    .arg(label,
                        k.name == QLatin1String("floor") ? QStringLiteral("bare forwarder (floor)")
                                                         : QStringLiteral("tool"))
                    .arg(k.frames)
                    .arg(lost)
                    .arg(k.expected)
                    .arg(us(k.latency.percentile(50)), 0, 'f', 1)
                    .arg(us(k.latency.percentile(99)), 0, 'f', 1)
                    .arg(us(k.latency.percentile(99.9)), 0, 'f', 1)
                    .arg(us(k.latency.max()), 0, 'f', 1)
                    .arg(us(k.passP99.percentile(50)), 0, 'f', 1)
                    .arg(k.passesWithLate)
                    .arg(k.passes);
    }
    return rows;
}

int report(const ReportOptions& o)
{
    ControlClient control(o.control);
    QString error;
    std::vector<DeviceInfo> infos;
    if (!listDevices(control, infos, error)) {
        std::fprintf(stderr, "e2e: %s\n", qPrintable(error));
        return 1;
    }

    std::vector<PassKind> kinds;
    std::vector<PassStats> passes;
    std::vector<SentFrame> frames;
    if (!readPasses(o.passes, kinds, passes, frames, error)) {
        std::fprintf(stderr, "e2e: %s\n", qPrintable(error));
        return 1;
    }
    const auto passOf = [&passes](const SentFrame& f) -> PassStats& {
        return passes[static_cast<std::size_t>(f.pass)];
    };
    const auto kindOf = [&kinds, &passOf](const SentFrame& f) -> PassKind& {
        return kinds[static_cast<std::size_t>(passOf(f).kind)];
    };
    for (const SentFrame& f : frames) {
        if (f.pass < 0)
            continue;
        kindOf(f).roundTrip.add(f.roundTripNs);
        passOf(f).rtMinusMonoNs = std::min(passOf(f).rtMinusMonoNs, f.sendRtNs - f.sendMonoNs);
    }

    std::vector<std::int64_t> firstNs(frames.size(), 0);
    std::vector<std::int64_t> lastNs(frames.size(), 0);
    for (const DeviceInfo& info : infos) {
        std::vector<Stamp> stamps;
        if (!fetchStamps(control, info.ip, stamps, error)) {
            std::fprintf(stderr, "e2e: %s\n", qPrintable(error));
            return 1;
        }
        std::vector<char> seen(frames.size(), 0);
        for (const Stamp& s : stamps) {
            if (s.frame < 0 || s.frame >= static_cast<std::int64_t>(frames.size()))
                continue;
            const std::size_t i = static_cast<std::size_t>(s.frame);
            if (frames[i].pass < 0 || seen[i])
                continue;
            PassKind& kind = kindOf(frames[i]);
            if (!s.accepted) {
                ++kind.ignored;
                continue;
            }
            if (s.rxNs <= 0) {
                ++kind.unstamped;
                continue;
            }
            seen[i] = 1;
            ++kind.received;
            kind.latency.add(s.rxNs - frames[i].sendRtNs);
            passOf(frames[i]).latency.add(s.rxNs - frames[i].sendRtNs);
            if (firstNs[i] == 0 || s.rxNs < firstNs[i])
                firstNs[i] = s.rxNs;
            lastNs[i] = std::max(lastNs[i], s.rxNs);
        }
    }
    // Frame numbers rise with time within a pass, and passes do not share them.
    QString burstLines;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const SentFrame& f = frames[i];
        if (f.pass < 0 || firstNs[i] == 0)
            continue;
        PassKind& kind = kindOf(f);
        kind.first.add(firstNs[i] - f.sendRtNs);
        kind.spread.add(lastNs[i] - firstNs[i]);
        const std::int64_t landed = lastNs[i] - f.sendRtNs;
        if (landed <= kLateNs)
            continue;
        PassStats& pass = passOf(f);
        ++pass.lateFrames;
        ++kind.lateFrames;
        const std::int64_t lastMono = lastNs[i] - pass.rtMinusMonoNs;
        burstLines += QStringLiteral("late\t%1\t%2\t%3\t%4\t%5\t%6\n")
                          .arg(f.pass)
                          .arg(kind.name)
                          .arg(i)
                          .arg(f.sendMonoNs)
                          .arg(lastMono)
                          .arg(us(landed), 0, 'f', 1);
        Burst* open = kind.bursts.empty() ? nullptr : &kind.bursts.back();
        if (open && open->pass == f.pass && f.sendMonoNs - open->toMonoNs < kBurstGapNs) {
            open->toMonoNs = std::max(open->toMonoNs, lastMono);
            ++open->frames;
            open->worstNs = std::max(open->worstNs, landed);
        } else {
            kind.bursts.push_back(Burst { f.pass, f.sendMonoNs, lastMono, 1, landed });
        }
    }
    for (PassStats& pass : passes) {
        PassKind& kind = kinds[static_cast<std::size_t>(pass.kind)];
        if (!pass.latency.empty())
            kind.passP99.add(pass.latency.percentile(99));
        kind.passesWithLate += pass.lateFrames > 0 ? 1 : 0;
    }

    std::printf("\n== %s: %zu devices ==\n", qPrintable(o.label), infos.size());
    QJsonObject doc { { QStringLiteral("label"), o.label },
        { QStringLiteral("devices"), static_cast<double>(infos.size()) } };
    const QString rows = reportKinds(kinds, infos.size(), o.label, doc, burstLines);
    // Where the time goes: until a frame's first datagram lands (wake-up and
    // intake), and from there to its last (the send itself).
    for (PassKind& k : kinds)
        std::printf("%-6s first datagram p50 %.1f us, first to last datagram p50 %.1f us\n",
            qPrintable(k.name), us(k.first.percentile(50)), us(k.spread.percentile(50)));
    const QString added = compareToFloor(kinds, o.label, doc);

    if (!o.json.isEmpty()) {
        QSaveFile out(o.json);
        if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(doc).toJson()) < 0
            || !out.commit())
            std::fprintf(stderr, "e2e: cannot write %s\n", qPrintable(o.json));
    }
    const auto append = [](const QString& path, const QString& text) {
        if (path.isEmpty() || text.isEmpty())
            return;
        QFile out(path);
        if (out.open(QIODevice::Append | QIODevice::Text))
            out.write(text.toUtf8());
        else
            std::fprintf(stderr, "e2e: cannot append to %s\n", qPrintable(path));
    };
    append(o.row, rows);
    append(o.addedRow, added);
    append(o.bursts, burstLines);
    return 0;
}

// ------------------------------------------------------------ idle

// utime + stime of a process in clock ticks, and its VmRSS in KiB; false when
// the process is gone.
bool sampleProcess(qint64 pid, qint64& ticks, qint64& rssKiB)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!stat.open(QIODevice::ReadOnly) || !status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold blanks.
    const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (f.size() < 13)
        return false;
    ticks = f[11].toLongLong() + f[12].toLongLong(); // fields 14 and 15: utime, stime
    rssKiB = -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            rssKiB = line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return true;
}

int idle(qint64 pid, int seconds, const QString& row)
{
    qint64 ticksBefore = 0, ticksAfter = 0, rssBefore = 0, rssAfter = 0;
    if (!sampleProcess(pid, ticksBefore, rssBefore)) {
        std::fprintf(stderr, "e2e: no process %lld\n", static_cast<long long>(pid));
        return 1;
    }
    QThread::sleep(static_cast<unsigned long>(seconds));
    if (!sampleProcess(pid, ticksAfter, rssAfter)) {
        std::fprintf(stderr, "e2e: process %lld ended while idle\n", static_cast<long long>(pid));
        return 1;
    }
    const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const double cpuSeconds = static_cast<double>(ticksAfter - ticksBefore) / hz;
    const double percent = 100.0 * cpuSeconds / seconds;
    std::printf("idle: %.2f s of CPU over %d s (%.3f %%), VmRSS %lld KiB\n", cpuSeconds, seconds,
        percent, static_cast<long long>(rssAfter));
    if (!row.isEmpty()) {
        QFile out(row);
        if (out.open(QIODevice::Append | QIODevice::Text))
            out.write(QStringLiteral("| idle CPU over %1 s (no host, no scan) | %2 s (%3 %) |\n")
                          .arg(seconds)
                          .arg(cpuSeconds, 0, 'f', 2)
                          .arg(percent, 0, 'f', 3)
                          .toUtf8());
    }
    return 0;
}

int usage(const char* what)
{
    std::fprintf(stderr,
        "prismara-bench-e2e: %s\n"
        "usage: prismara-bench-e2e wait --control HOST:PORT --devices N [--timeout S]\n"
        "       prismara-bench-e2e same --control HOST:PORT --count 1|2\n"
        "       prismara-bench-e2e report --control HOST:PORT --pass KIND:FILE ... [--label TEXT]\n"
        "                                 [--json FILE] [--row FILE] [--added-row FILE]\n"
        "                                 [--bursts FILE]\n"
        "       prismara-bench-e2e idle --pid PID --seconds S [--row FILE]\n",
        what);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    if (args.size() < 2)
        return usage("which step: wait, same, report or idle");
    const QString step = args.takeAt(1);

    QCommandLineParser parser;
    const QCommandLineOption controlOpt(QStringLiteral("control"),
        QStringLiteral("Simulator control address."), QStringLiteral("HOST:PORT"));
    const QCommandLineOption devicesOpt(
        QStringLiteral("devices"), QStringLiteral("Devices to wait for."), QStringLiteral("N"));
    const QCommandLineOption timeoutOpt(QStringLiteral("timeout"),
        QStringLiteral("Seconds to wait."), QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption passOpt(QStringLiteral("pass"),
        QStringLiteral("A pass: tool or floor, and its host-sim --timestamps file."),
        QStringLiteral("KIND:FILE"));
    const QCommandLineOption pidOpt(
        QStringLiteral("pid"), QStringLiteral("The tool's process."), QStringLiteral("PID"));
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"),
        QStringLiteral("How long to watch it idle."), QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption labelOpt(
        QStringLiteral("label"), QStringLiteral("Name of the run."), QStringLiteral("TEXT"));
    const QCommandLineOption jsonOpt(
        QStringLiteral("json"), QStringLiteral("Write the results here."), QStringLiteral("FILE"));
    const QCommandLineOption rowOpt(QStringLiteral("row"),
        QStringLiteral("Append a markdown table row here."), QStringLiteral("FILE"));
    const QCommandLineOption addedRowOpt(QStringLiteral("added-row"),
        QStringLiteral("Append the tool-minus-floor row here."), QStringLiteral("FILE"));
    const QCommandLineOption countOpt(QStringLiteral("count"),
        QStringLiteral("Datagrams each device must hold: 1, or 2 to compare them."),
        QStringLiteral("N"));
    const QCommandLineOption burstsOpt(QStringLiteral("bursts"),
        QStringLiteral("Append a line per late frame and per burst here."), QStringLiteral("FILE"));
    parser.addOptions({ controlOpt, devicesOpt, timeoutOpt, passOpt, pidOpt, secondsOpt, labelOpt,
        jsonOpt, rowOpt, addedRowOpt, burstsOpt, countOpt });
    if (!parser.parse(args))
        return usage(qPrintable(parser.errorText()));
    if (!parser.positionalArguments().isEmpty())
        return usage("unexpected arguments");
    if (step == QLatin1String("idle")) {
        bool okPid = false, okSeconds = false;
        const qint64 pid = parser.value(pidOpt).toLongLong(&okPid);
        const int seconds = parser.value(secondsOpt).toInt(&okSeconds);
        if (!okPid || pid <= 0 || !okSeconds || seconds <= 0 || seconds > 3600)
            return usage("--pid wants a process id, --seconds 1 to 3600");
        return idle(pid, seconds, parser.value(rowOpt));
    }
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
    if (step == QLatin1String("same")) {
        bool okCount = false;
        const int count = parser.value(countOpt).toInt(&okCount);
        if (!okCount || count < 1 || count > 2)
            return usage("same: --count wants 1 (wait for the tool's) or 2 (compare)");
        return sameDatagrams(parser.value(controlOpt), count, 15);
    }
    if (step == QLatin1String("report")) {
        ReportOptions o;
        o.control = parser.value(controlOpt);
        o.passes = parser.values(passOpt);
        for (const QString& pass : o.passes)
            if (!pass.startsWith(QLatin1String("tool:"))
                && !pass.startsWith(QLatin1String("floor:")))
                return usage("--pass wants tool:FILE or floor:FILE");
        if (o.passes.isEmpty())
            return usage("at least one --pass is required");
        o.label = parser.value(labelOpt);
        o.json = parser.value(jsonOpt);
        o.row = parser.value(rowOpt);
        o.addedRow = parser.value(addedRowOpt);
        o.bursts = parser.value(burstsOpt);
        return report(o);
    }
    return usage("the step is wait, same, report or idle");
}
