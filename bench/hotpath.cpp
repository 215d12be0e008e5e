// prismara-bench-hotpath: what the tool spends per host colour frame, next to
// what the same datagrams cost when sent with nothing but sendto().
//
//   (a) ZelNanoleafTool::hostMessage() with a 56-byte colour frame: intake,
//       registry walk, packing and one sendto per paired device (the real path);
//   (b) a loop that sendto()s the same precomputed datagrams (one per device);
//   (c) nanoleafAPIsync::sendUdpDAta() alone (the sender without the intake);
//   (d) HostIntake::evaluate() alone (decoding, no sending);
//   (e) the same datagrams in one sendmmsg() call (what batching the sends
//       would leave of (b)).
//
// Every operator new of the timing thread is counted; after the warm-up the
// bench prints the allocations per frame of (a) and (c), which should be 0.
//
// --shapes N adds N Shapes devices of 20 lit panels each (v2 datagrams of 162
// bytes on port 60222, recorded as pairing leaves them) as a second scale point.
//
// --max-fps N caps the stream as the token profile's max_fps does, once the
// datagrams are checked: (a) and (c) then time frames that come faster than the
// cap, kept for the pacer but for one per device and interval.
//
// Batches of frames are timed in alternation (a, b, c, d, then the next round in
// the opposite order), so whatever else the machine does at the time weighs on
// all of them alike; the ratio (a)/(b) comes from the same run. UDP sinks bound
// at the devices' addresses take the datagrams and are drained between batches,
// outside the timed part. Binds fixed ports: run it inside tools/netns-run.

#include "app/processsetup.h"
#include "app/zelnanoleaftool.h"
#include "bench/latencystats.h"
#include "bench/udpsinks.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"
#include "stream/panelmodel.h"
#include "stream/streamdatagram.h"
#include "stream/v2datagram.h"
#include "sync/hostintake.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

// A counting allocator: operator new of the thread that measures counts while
// `countingHere` is set; every other thread (Qt's, the service's) is left out.
namespace
{
thread_local bool countingHere = false;
std::atomic<long long> allocations { 0 };

void* allocate(std::size_t size)
{
    if (countingHere)
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t size)
{
    return allocate(size);
}
void* operator new[](std::size_t size)
{
    return allocate(size);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{

constexpr int kColours = HostIntake::kColourEntries;

constexpr int kShapesPanels = 20;

struct BenchDevice {
    QString name;
    QString ip;
    QVector<int> panelIds;
    bool shapes = false; // a Shapes device: panelIds are its lit panels in order
};

// The network namespace of PID 1 is the machine's own; fixed ports belong in a
// private one.
bool inPrivateNetworkNamespace()
{
    struct stat self {
    };
    struct stat init {
    };
    if (::stat("/proc/self/ns/net", &self) != 0 || ::stat("/proc/1/ns/net", &init) != 0)
        return qgetenv("PRISMARA_IN_NETNS") == "1";
    return self.st_ino != init.st_ino || self.st_dev != init.st_dev;
}

bool loadDevices(const QString& path, std::vector<BenchDevice>& out, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    for (const QJsonValue& v : doc.object().value(QStringLiteral("devices")).toArray()) {
        const QJsonObject d = v.toObject();
        BenchDevice device;
        device.name = d.value(QStringLiteral("name")).toString();
        device.ip = d.value(QStringLiteral("ip")).toString();
        for (const QJsonValue& p : d.value(QStringLiteral("panels")).toArray())
            device.panelIds.append(
                p.isObject() ? p.toObject().value(QStringLiteral("id")).toInt() : p.toInt());
        if (device.name.isEmpty() || !device.ip.startsWith(QLatin1String("127."))) {
            error
                = QStringLiteral("%1: every device needs a name and a 127.x.y.z address").arg(path);
            return false;
        }
        out.push_back(device);
    }
    if (out.empty()) {
        error = QStringLiteral("%1: no devices").arg(path);
        return false;
    }
    return true;
}

// The record a successful layout query leaves for the device.
DeviceRecord pairedRecord(const BenchDevice& d)
{
    DeviceRecord r = DeviceRecord::discoveryRecord(d.name, d.ip);
    r.panelNumbers = d.panelIds.size();
    r.isPaired = true;
    if (d.shapes) {
        r.panelModel = PanelModel::Model::Shapes;
        r.pidArrray = d.panelIds;
        r.mPidArray = d.panelIds;
        return r;
    }
    for (int id : d.panelIds) {
        if (d.name.contains(QLatin1String("Light"))) {
            r.pidArrray.append(id % 256);
        } else {
            r.pidArrray.append(id / 256);
            r.pidArrray.append(id % 256);
        }
        r.mPidArray.append(id);
    }
    return r;
}

struct Prepared {
    sockaddr_in to;
    std::vector<std::uint8_t> bytes;
};

using Clock = std::chrono::steady_clock;

struct Variant {
    const char* key;
    const char* title;
    std::function<void()> frame;
    bool sends;
    LatencyStats perFrameNs; // one sample per batch: ns per frame
};

double median(LatencyStats& s)
{
    return static_cast<double>(s.percentile(50));
}

struct Options {
    std::vector<BenchDevice> devices;
    int batch = 100;
    int rounds = 300;
    int shapes = 0;
    int maxFps = 0;
    bool logging = false;
    QString json;
    QString row;
};

// 0 to go on, otherwise the exit status.
int readOptions(const QApplication& app, Options& o)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Cost per host colour frame of the tool's hot path."));
    parser.addHelpOption();
    const QCommandLineOption devicesOpt(QStringLiteral("devices"),
        QStringLiteral("Device list (nanoleaf-sim format)."), QStringLiteral("FILE"));
    const QCommandLineOption batchOpt(QStringLiteral("batch"),
        QStringLiteral("Frames per timed batch (default 100)."), QStringLiteral("N"),
        QStringLiteral("100"));
    const QCommandLineOption roundsOpt(QStringLiteral("rounds"),
        QStringLiteral("Rounds of batches (default 300)."), QStringLiteral("N"),
        QStringLiteral("300"));
    const QCommandLineOption loggingOpt(QStringLiteral("logging"),
        QStringLiteral("Leave the debug log on (send stderr to a file)."));
    const QCommandLineOption jsonOpt(
        QStringLiteral("json"), QStringLiteral("Write the results here."), QStringLiteral("FILE"));
    const QCommandLineOption rowOpt(QStringLiteral("row"),
        QStringLiteral("Append a markdown table row here."), QStringLiteral("FILE"));
    const QCommandLineOption shapesOpt(QStringLiteral("shapes"),
        QStringLiteral("Add N Shapes devices of 20 panels (default 0)."), QStringLiteral("N"),
        QStringLiteral("0"));
    const QCommandLineOption maxFpsOpt(QStringLiteral("max-fps"),
        QStringLiteral("Cap each device at N frames per second (default 0: no cap)."),
        QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions(
        { devicesOpt, batchOpt, roundsOpt, loggingOpt, jsonOpt, rowOpt, shapesOpt, maxFpsOpt });
    parser.process(app);
    o.json = parser.value(jsonOpt);
    o.row = parser.value(rowOpt);

    bool okBatch = false, okRounds = false;
    o.batch = parser.value(batchOpt).toInt(&okBatch);
    o.rounds = parser.value(roundsOpt).toInt(&okRounds);
    bool okShapes = false;
    o.shapes = parser.value(shapesOpt).toInt(&okShapes);
    bool okMaxFps = false;
    o.maxFps = parser.value(maxFpsOpt).toInt(&okMaxFps);
    if (!okMaxFps || o.maxFps < 0 || o.maxFps > 1000) {
        std::fprintf(stderr, "hotpath: --max-fps wants 0 to 1000\n");
        return 2;
    }
    if (!okShapes || o.shapes < 0 || o.shapes > 16) {
        std::fprintf(stderr, "hotpath: --shapes wants 0 to 16\n");
        return 2;
    }
    // A batch leaves one datagram per frame in each sink until the next drain.
    if (!okBatch || o.batch < 1 || o.batch > 1000 || !okRounds || o.rounds < 1
        || o.rounds > 100000) {
        std::fprintf(stderr, "hotpath: --batch wants 1 to 1000, --rounds 1 to 100000\n");
        return 2;
    }
    if (!parser.isSet(devicesOpt)) {
        std::fprintf(stderr, "hotpath: --devices FILE is required\n");
        return 2;
    }
    if (!inPrivateNetworkNamespace()) {
        std::fprintf(
            stderr, "hotpath: binds the devices' fixed ports; run it through tools/netns-run\n");
        return 2;
    }

    QString error;
    if (!loadDevices(parser.value(devicesOpt), o.devices, error)) {
        std::fprintf(stderr, "hotpath: %s\n", qPrintable(error));
        return 1;
    }
    for (int s = 0; s < o.shapes; ++s) {
        BenchDevice device;
        device.name = QStringLiteral("Shapes 07E%1").arg(s);
        device.ip = QStringLiteral("127.0.1.%1").arg(s + 2);
        device.shapes = true;
        for (int p = 0; p < kShapesPanels; ++p)
            device.panelIds.append(4096 * (s + 1) + 257 * p + 3);
        o.devices.push_back(device);
    }
    return 0;
}

// What the tool sends for the frame, precomputed, in the order it sends it (name order);
// where each datagram goes in `endpoints`.
std::vector<Prepared> prepareDatagrams(
    const int* red, const int* green, const int* blue, std::vector<UdpSinks::Endpoint>& endpoints)
{
    std::vector<Prepared> prepared;
    const QMap<QString, DeviceRecord> registry = deviceMap.snapshot();
    for (auto it = registry.cbegin(); it != registry.cend(); ++it) {
        const DeviceRecord& r = it.value();
        const StreamDatagram::Model model
            = StreamDatagram::modelForName(r.deviceName.toStdU16String());
        if (model == StreamDatagram::Model::None && PanelModel::streamsV2(r.panelModel)) {
            const std::vector<std::uint16_t> ids(r.mPidArray.cbegin(), r.mPidArray.cend());
            Prepared p {};
            p.to.sin_family = AF_INET;
            p.to.sin_port = htons(StreamDatagram::kCanvasPort);
            ::inet_pton(AF_INET, r.ip.toStdString().c_str(), &p.to.sin_addr);
            p.bytes.resize(2 + 8 * ids.size());
            p.bytes.resize(
                StreamDatagram::buildV2(p.bytes.data(), p.bytes.size(), ids, red, green, blue));
            prepared.push_back(p);
            endpoints.push_back(
                UdpSinks::Endpoint { r.ip.toStdString(), StreamDatagram::kCanvasPort });
            continue;
        }
        if (model == StreamDatagram::Model::None)
            continue;
        const std::vector<int> ids(r.pidArrray.cbegin(), r.pidArrray.cend());
        Prepared p {};
        p.to.sin_family = AF_INET;
        p.to.sin_port = htons(model == StreamDatagram::Model::Canvas ? StreamDatagram::kCanvasPort
                                                                     : StreamDatagram::kLightPort);
        ::inet_pton(AF_INET, r.ip.toStdString().c_str(), &p.to.sin_addr);
        if (model == StreamDatagram::Model::Canvas)
            StreamDatagram::buildCanvas(kColours, red, green, blue, r.panelNumbers, ids, p.bytes);
        else
            StreamDatagram::buildLight(kColours, red, green, blue, r.panelNumbers, ids, p.bytes);
        prepared.push_back(p);
        endpoints.push_back(UdpSinks::Endpoint { r.ip.toStdString(), ntohs(p.to.sin_port) });
    }

    return prepared;
}

// Prints the figures and writes them where the options say.
void report(const Options& o, std::vector<Variant>& variants, std::size_t devices,
    const double allocations[2], LatencyStats& ratioPerRound)
{
    const double allocHostMessage = allocations[0];
    const double allocSendUdpData = allocations[1];
    const QString deviceText = o.shapes > 0
        ? QStringLiteral("%1 (%2 of them Shapes, %3 panels each)")
              .arg(devices)
              .arg(o.shapes)
              .arg(kShapesPanels)
        : QString::number(devices);
    std::printf("\nhot path per host frame: %s paired devices, %d colours, logging %s, max_fps "
                "%s; %d rounds of %d frames\n",
        qPrintable(deviceText), kColours, o.logging ? "ON (stderr)" : "off",
        o.maxFps > 0 ? qPrintable(QString::number(o.maxFps)) : "none", o.rounds, o.batch);
    std::printf("%-50s %12s %10s %10s\n", "", "median ns", "p10 ns", "p90 ns");
    QJsonObject results;
    for (Variant& v : variants) {
        std::printf("%-50s %12.0f %10lld %10lld\n", v.title, median(v.perFrameNs),
            static_cast<long long>(v.perFrameNs.percentile(10)),
            static_cast<long long>(v.perFrameNs.percentile(90)));
        results.insert(QLatin1String(v.key),
            QJsonObject { { QStringLiteral("median_ns"), median(v.perFrameNs) },
                { QStringLiteral("p10_ns"), static_cast<double>(v.perFrameNs.percentile(10)) },
                { QStringLiteral("p90_ns"), static_cast<double>(v.perFrameNs.percentile(90)) } });
    }
    std::printf("allocations per frame after warm-up: (a) %.2f, (c) %.2f\n", allocHostMessage,
        allocSendUdpData);
    results.insert(QStringLiteral("allocations_per_frame_hostMessage"), allocHostMessage);
    results.insert(QStringLiteral("allocations_per_frame_sendUdpDAta"), allocSendUdpData);
    const double ratio
        = median(variants[0].perFrameNs) / std::max(1.0, median(variants[1].perFrameNs));
    const double roundRatio = median(ratioPerRound) / 1000.0;
    std::printf("ratio (a)/(b): %.2f (of the medians), %.2f (median of the per-round ratios)\n",
        ratio, roundRatio);
    results.insert(QStringLiteral("ratio"), ratio);
    results.insert(QStringLiteral("ratio_per_round_median"), roundRatio);
    results.insert(QStringLiteral("logging"), o.logging);
    results.insert(QStringLiteral("devices"), static_cast<int>(devices));
    results.insert(QStringLiteral("shapes"), o.shapes);
    results.insert(QStringLiteral("max_fps"), o.maxFps);

    if (!o.json.isEmpty()) {
        QSaveFile out(o.json);
        if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(results).toJson()) < 0
            || !out.commit())
            std::fprintf(stderr, "hotpath: cannot write %s\n", qPrintable(o.json));
    }
    if (!o.row.isEmpty()) {
        QFile out(o.row);
        if (out.open(QIODevice::Append | QIODevice::Text))
            out.write(QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 |\n")
                          .arg(deviceText)
                          .arg(o.logging ? QStringLiteral("on (to a file)") : QStringLiteral("off"))
                          .arg(median(variants[0].perFrameNs), 0, 'f', 0)
                          .arg(median(variants[1].perFrameNs), 0, 'f', 0)
                          .arg(ratio, 0, 'f', 2)
                          .arg(median(variants[2].perFrameNs), 0, 'f', 0)
                          .arg(median(variants[4].perFrameNs), 0, 'f', 0)
                          .arg(allocHostMessage, 0, 'f', 2)
                          .toUtf8());
    }
}

// Whether each sending variant puts the same bytes on the wire, without which the
// comparison means nothing; says which one does not.
bool deliverTheSame(
    std::vector<Variant>& variants, UdpSinks& sinks, const std::vector<Prepared>& prepared)
{
    for (Variant& v : variants) {
        if (!v.sends)
            continue;
        sinks.drain();
        v.frame();
        const std::size_t got = sinks.drain();
        bool same = got == prepared.size();
        for (std::size_t i = 0; same && i < prepared.size(); ++i)
            same = sinks.last()[i] == prepared[i].bytes;
        if (!same) {
            std::fprintf(stderr,
                "hotpath: %s did not deliver the expected %zu datagrams (got %zu)\n", v.key,
                prepared.size(), got);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    bool logging = false;
    for (int i = 1; i < argc; ++i)
        logging = logging || std::strcmp(argv[i], "--logging") == 0;
    // The tool's debug log as it runs in production, decided before Qt reads it.
    if (logging)
        qunsetenv("QT_LOGGING_RULES");
    else
        qputenv("QT_LOGGING_RULES", "*.debug=false");
    prepareProcess();
    QApplication app(argc, argv);

    Options o;
    o.logging = logging;
    if (const int status = readOptions(app, o))
        return status;
    // A host endpoint of its own, so a tool running elsewhere on the machine is not disturbed.
    QTemporaryDir scratch;
    if (qEnvironmentVariableIsEmpty("PRISMARA_HOST_SOCKET"))
        qputenv(
            "PRISMARA_HOST_SOCKET", QFile::encodeName(scratch.filePath(QStringLiteral("host"))));
    ZelNanoleafTool window;

    deviceMap.clear();
    std::vector<UdpSinks::Endpoint> endpoints;
    for (const BenchDevice& d : o.devices)
        deviceMap.insert(d.name, pairedRecord(d));
    // The same frame both ways: twelve colours, the mirrored source.
    int red[kColours], green[kColours], blue[kColours];
    std::vector<unsigned char> record(HostIntake::kRecordSize, 0);
    for (int k = 0; k < kColours; ++k) {
        red[k] = (40 + 17 * k) & 0xFF;
        green[k] = (200 - 13 * k) & 0xFF;
        blue[k] = (7 * k * k) & 0xFF;
        record[4 * static_cast<std::size_t>(k)] = static_cast<unsigned char>(red[k]);
        record[4 * static_cast<std::size_t>(k) + 1] = static_cast<unsigned char>(green[k]);
        record[4 * static_cast<std::size_t>(k) + 2] = static_cast<unsigned char>(blue[k]);
    }
    const std::int32_t type = window.syncDeviceType;
    std::memcpy(&record[52], &type, sizeof type);
    const HostIntake::Message message { HostIntake::kCopyData, 0, window.CUSTOM_TYPE_RGB,
        static_cast<std::uint32_t>(record.size()), record.data() };

    // What the tool sends, precomputed, in the order it sends it (name order).
    std::vector<Prepared> prepared = prepareDatagrams(red, green, blue, endpoints);

    UdpSinks sinks;
    std::string bindError;
    if (!sinks.bind(endpoints, bindError)) {
        std::fprintf(stderr, "hotpath: %s\n", bindError.c_str());
        return 1;
    }
    const int plain = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (plain < 0) {
        std::fprintf(stderr, "hotpath: no socket\n");
        return 1;
    }

    std::vector<Variant> variants;
    variants.push_back(Variant { "hostMessage", "(a) ZelNanoleafTool::hostMessage -> sendUdpDAta",
        [&] { window.hostMessage(message); }, true, {} });
    variants.push_back(Variant { "sendto", "(b) plain sendto of the same datagrams",
        [&] {
            for (const Prepared& p : prepared)
                ::sendto(plain, p.bytes.data(), p.bytes.size(), 0,
                    reinterpret_cast<const sockaddr*>(&p.to), sizeof p.to);
        },
        true, {} });
    variants.push_back(Variant { "sendUdpDAta", "(c) nanoleafAPIsync::sendUdpDAta only",
        [&] { window.service->sendUdpDAta(kColours, red, green, blue); }, true, {} });
    std::vector<mmsghdr> batchHeaders(prepared.size());
    std::vector<iovec> batchVectors(prepared.size());
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        batchVectors[i] = iovec { prepared[i].bytes.data(), prepared[i].bytes.size() };
        batchHeaders[i] = mmsghdr {};
        batchHeaders[i].msg_hdr.msg_name = &prepared[i].to;
        batchHeaders[i].msg_hdr.msg_namelen = sizeof prepared[i].to;
        batchHeaders[i].msg_hdr.msg_iov = &batchVectors[i];
        batchHeaders[i].msg_hdr.msg_iovlen = 1;
    }
    variants.push_back(Variant { "evaluate", "(d) HostIntake::evaluate only",
        [&] {
            volatile int action = static_cast<int>(HostIntake::evaluate(message, type).action);
            (void)action;
        },
        false, {} });
    variants.push_back(Variant { "sendmmsg", "(e) one sendmmsg of the same datagrams",
        [&] {
            ::sendmmsg(
                plain, batchHeaders.data(), static_cast<unsigned int>(batchHeaders.size()), 0);
        },
        true, {} });

    if (!deliverTheSame(variants, sinks, prepared))
        return 1;

    if (o.maxFps > 0)
        window.service->setMaxFps(o.maxFps);

    // Returns ns per frame of one timed batch.
    const auto runBatch = [&](Variant& v) {
        sinks.drain();
        const int frames = v.sends ? o.batch : o.batch * 10;
        const auto start = Clock::now();
        for (int i = 0; i < frames; ++i)
            v.frame();
        const auto ns
            = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        return static_cast<std::int64_t>(ns / frames);
    };
    for (int warm = 0; warm < 5; ++warm)
        for (Variant& v : variants)
            runBatch(v);
    // Allocations per frame once everything has been sent a few times.
    const auto allocationsPerFrame = [&](Variant& v) {
        sinks.drain();
        const long long before = allocations.load();
        countingHere = true;
        for (int i = 0; i < o.batch; ++i)
            v.frame();
        countingHere = false;
        const long long counted = allocations.load() - before;
        sinks.drain();
        return static_cast<double>(counted) / o.batch;
    };
    const double allocHostMessage = allocationsPerFrame(variants[0]);
    const double allocSendUdpData = allocationsPerFrame(variants[2]);

    // (a)/(b) of each round, in thousandths: neighbours in time share the machine's mood.
    LatencyStats ratioPerRound;
    for (int r = 0; r < o.rounds; ++r) {
        const std::size_t n = variants.size();
        std::vector<std::int64_t> ns(n, 0);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t v = r % 2 == 0 ? k : n - 1 - k;
            ns[v] = runBatch(variants[v]);
            variants[v].perFrameNs.add(ns[v]);
        }
        ratioPerRound.add(ns[1] > 0 ? 1000 * ns[0] / ns[1] : 0);
    }
    sinks.drain();
    ::close(plain);

    const double allocations[2] = { allocHostMessage, allocSendUdpData };
    report(o, variants, prepared.size(), allocations, ratioPerRound);
    return 0;
}
