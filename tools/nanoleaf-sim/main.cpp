// nanoleaf-sim: simulated Nanoleaf devices (Light Panels, Canvas, Shapes, Elements,
// Lines, Skylight, 4D) on loopback addresses, for the tool's tests, benchmarks and
// for trying it by hand.

#include "service/checkedconnect.h"
#include "tools/nanoleaf-sim/controlserver.h"
#include "tools/nanoleaf-sim/mdnsresponder.h"
#include "tools/nanoleaf-sim/openapiserver.h"
#include "tools/nanoleaf-sim/simconfig.h"
#include "tools/nanoleaf-sim/simdevice.h"
#include "tools/nanoleaf-sim/simwindow.h"
#include "tools/nanoleaf-sim/udpreceiver.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>
#include <QSocketNotifier>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>

namespace
{

const char* const kDescription
    = R"(Simulates Nanoleaf devices on loopback addresses (or, inside a private network, on
addresses of 198.18.0.0/15 a test put on an interface), each on the real fixed ports:
  - the OpenAPI on <ip>:16021 (POST /api/v1/new; GET /api/v1/<token>/ and
    /api/v1/<token>/effects/select; PUT /api/v1/<token>/effects ("write" commands
    and {"select": NAME}), /state, /identify). It keeps the effect, on/off,
    brightness and colour mode (a hue, sat or ct write shows that solid colour) as a
    device does, and reports them in the info answer and GET /devices/<ip>;
  - external-control UDP receivers on <ip>:60221 ("v1" records) and <ip>:60222
    ("v2" records); datagrams count only in the external-control mode the device
    was switched to, the others are logged as ignored. Only Light Panels take
    "v1"; every later model answers a "v1" switch with 400 and streams "v2" only;
  - one mDNS responder on 0.0.0.0:5353 answering legacy unicast PTR queries for
    "_nanoleafapi._tcp.local" with one reply per device, sent from the device's
    own address (RFC 6762 6.7).
It binds fixed ports, so run it inside a private network namespace:
  tools/netns-run build/bin/nanoleaf-sim --config devices.json

Devices (--config FILE):
  {"devices": [{"name": "Light Panels 52:33:A1", "ip": "127.0.0.2", "model": "NL22",
                "panels": [82, 15, 200], "pairing_mode": true, "tokens": []}]}
  Optional per device: "serial", "firmware", "id" (TXT id=), "instance" (mDNS
  instance label, default the name), "host" (mDNS host label), "accept_v1_in_v2"
  (Light Panels only; default true: "v1" records on 60221 still count after a
  "v2" switch). A panel may be {"id": 82, "x": 0, "y": 43, "o": 0} instead of an
  id, and may name its "shapeType". "global_orientation" (0-359, default 0) is the
  layout's "globalOrientation".

Models ("model"; without one the name decides: "Canvas", "Shapes", "Elements",
"Lines", "Skylight" or "4D" in it, else NL22):
  NL22 Light Panels  triangles (shape type 0)
  NL29 Canvas        squares (2)
  NL42 Shapes        controller (12, no LEDs) first, then hexagons (7); triangles
                     (8) and mini triangles (9) through {"shapeType": ...}
  NL52 Elements      hexagons (14); hexagon corners (15) through {"shapeType": ...}
  NL59 Lines         lines (17) joined by connectors (16, no LEDs): line,
                     connector, line, ...
  NL64 Skylight      controller square (31, lit) first, then squares (30)
  NL69 4D            a strip of zones (29)
  Given as bare ids, the pieces of NL42-NL69 follow that model's layout in order
  (e.g. the first id is the Shapes controller). Without "panels" they get a
  default layout: Shapes a controller and 9 hexagons, Elements 7 hexagons, Lines
  6 lines and 5 connectors, Skylight a controller and 3 squares, 4D 20 zones.
  Light Panels and Canvas without "panels" have none.

Quick form: --device "NAME@IP[:MODEL[:ID,ID,...[:pairing]]]", repeatable, e.g.
  --device "Canvas 1F:2B:3C@127.0.0.3:NL29:1234,7:pairing"
  --device "Shapes 07E7@127.0.0.4:NL42::pairing"     (default layout)

Control interface (--control 127.0.0.1:PORT, port 0 picks a free one; JSON):
  GET  /devices                   state of every device (mode, pairing, panels...)
  GET  /devices/<ip>              state of one device: mode, effect, select, on,
                                  brightness, color_mode, hue, sat, ct, panels...
  POST /devices/<ip>/pairing      {"on": true|false}
  GET  /devices/<ip>/requests     HTTP requests received [?since=SEQ], each with
                                  time_ns (arrival) and answered_ns (answer
                                  decided; "0" before)
  GET  /devices/<ip>/frames       datagrams received [?since=SEQ]: time_ns, port,
                                  bytes (hex), status accepted|ignored|malformed,
                                  decoded records, rx_ns (the kernel's receive
                                  stamp, CLOCK_REALTIME; 0 when unknown)
  GET  /devices/<ip>/stamps       the same datagrams in brief, as text [?since=SEQ]:
                                  seq, rx_ns, time_ns, status and entry 0's colour
                                  as a 24-bit number (-1 without records), a line each
  GET  /mdns/queries              mDNS queries received [?since=SEQ]
  POST /devices/<ip>/fault        {"http": "none|hang|slow|nonjson|huge|wrongtypes|trickle",
                                   "mdns": "none|oversized|truncated|badflags|loop|silent|flood",
                                   "delay_ms": N}   (members left out stay as they are)
  POST /devices/<ip>/move         {"to": "127.0.0.5"}: the device's OpenAPI, stream
                                  ports and mDNS answers move to that address, and it
                                  shows its effect again (tokens stay); later routes
                                  name it by the new address
  POST /devices/<ip>/restart      {"down_ms": N}: the device restarts as after a power
                                  cut: for N ms (at most 8000) its OpenAPI refuses
                                  connections and its stream and mDNS answers are
                                  ignored; then it shows its effect again, on (tokens
                                  stay). Answers once the device is back
  POST /reset                     every device back to its configuration (and address)
  POST /screenshot                {"path": "FILE.png"} (with a window)
  time_ns values are CLOCK_MONOTONIC nanoseconds, written as decimal text; rx_ns
  values are CLOCK_REALTIME nanoseconds, the clock host-sim --timestamps uses.

HTTP faults: hang holds the connection unanswered until the fault changes (at most
120 s), then closes it; slow answers after delay_ms; nonjson answers 200 with an
HTML body; huge answers 200 with the normal JSON padded to 10 MiB; wrongtypes gives
"auth_token" and the description members the wrong JSON types; trickle answers 200
and then one blank of body a second, never ending it (at most 120 s).
mDNS faults: oversized pads the TXT record past 512 bytes; truncated cuts the reply
inside the SRV record; badflags sends Flags 0x8000; loop makes the SRV owner name a
compression pointer to itself; silent sends nothing; flood answers each query with
2000 well-formed answers, each for an instance of its own ("<instance> #1" to
"<instance> #2000"), instead of its one.

Readiness: once every socket is bound it prints "READY control=127.0.0.1:PORT" on
standard output and, with --ready-file, writes "127.0.0.1:PORT" to that file.
A window shows the panels when there is a display (or with --window); --headless
never opens one. SIGINT and SIGTERM end it cleanly.)";

int g_signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    if (write(g_signalPipe[1], &byte, 1) < 0) {
        // Nothing more can be done inside a signal handler.
    }
}

bool hasArgument(int argc, char** argv, const char* name)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return true;
    return false;
}

// The network namespace of PID 1 is the machine's own network; fixed ports and
// broadcasts belong in a private one (tools/netns-run).
bool inPrivateNetworkNamespace()
{
    struct stat self {
    };
    struct stat init {
    };
    if (stat("/proc/self/ns/net", &self) != 0 || stat("/proc/1/ns/net", &init) != 0)
        return qgetenv("PRISMARA_IN_NETNS") == "1";
    return self.st_ino != init.st_ino || self.st_dev != init.st_dev;
}

int fail(const QString& message)
{
    std::fprintf(stderr, "nanoleaf-sim: %s\n", qPrintable(message));
    return 1;
}

// The same, for a step that answers with false.
bool told(const QString& message)
{
    fail(message);
    return false;
}

} // namespace

// What each device received, for a person who ran a demo without a display.
void printSummary(const std::vector<SimDevice*>& devices)
{
    for (SimDevice* device : devices) {
        const QJsonObject state = device->stateJson();
        const QJsonObject frames = state.value(QStringLiteral("frames")).toObject();
        std::printf("%s (%s): mode %s, datagrams accepted %d, ignored %d, malformed %d\n",
            qPrintable(state.value(QStringLiteral("name")).toString()),
            qPrintable(state.value(QStringLiteral("ip")).toString()),
            qPrintable(state.value(QStringLiteral("mode")).toString()),
            frames.value(QStringLiteral("accepted")).toInt(),
            frames.value(QStringLiteral("ignored")).toInt(),
            frames.value(QStringLiteral("malformed")).toInt());
        for (const QJsonValue& panel : state.value(QStringLiteral("panels")).toArray()) {
            const QJsonObject p = panel.toObject();
            std::printf("  panel %5d shows #%02x%02x%02x\n", p.value(QStringLiteral("id")).toInt(),
                p.value(QStringLiteral("r")).toInt(), p.value(QStringLiteral("g")).toInt(),
                p.value(QStringLiteral("b")).toInt());
        }
    }
    std::fflush(stdout);
}

namespace
{

// What the command line asks for, read and checked.
struct Options {
    SimConfig config;
    QString controlHost;
    int controlPort = 0;
    QString readyFile;
    bool summary = false;
};

// Reads the command line (--help ends the process here). Returns -1 to go on, else
// the exit code to end with, the reason told.
int readOptions(const QCoreApplication& app, Options& o)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    parser.addHelpOption();
    const QCommandLineOption configOption(QStringLiteral("config"),
        QStringLiteral("Devices from a JSON file."), QStringLiteral("FILE"));
    const QCommandLineOption deviceOption(QStringLiteral("device"),
        QStringLiteral("One device in quick form: %1.").arg(SimConfig::quickFormHelp()),
        QStringLiteral("NAME@IP..."));
    const QCommandLineOption controlOption(QStringLiteral("control"),
        QStringLiteral("Control interface address (default 127.0.0.1:0)."),
        QStringLiteral("HOST:PORT"), QStringLiteral("127.0.0.1:0"));
    const QCommandLineOption readyOption(QStringLiteral("ready-file"),
        QStringLiteral("Write the control address here once ready."), QStringLiteral("PATH"));
    const QCommandLineOption windowOption(
        QStringLiteral("window"), QStringLiteral("Show the window."));
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"), QStringLiteral("Never show a window."));
    const QCommandLineOption hostNetworkOption(QStringLiteral("allow-host-network"),
        QStringLiteral("Run even outside a private network namespace (binds 0.0.0.0:5353)."));
    const QCommandLineOption summaryOption(QStringLiteral("summary"),
        QStringLiteral("On exit, print what each device received: its mode, the datagrams "
                       "accepted / ignored / malformed and the colours its panels show."));
    const QCommandLineOption parentOption(
        QStringLiteral("die-with-parent"), QStringLiteral("Stop when the starting process ends."));
    parser.addOptions({ configOption, deviceOption, controlOption, readyOption, windowOption,
        headlessOption, hostNetworkOption, parentOption, summaryOption });
    parser.process(app);

    if (parser.isSet(parentOption)) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() == 1)
            return fail(QStringLiteral("the starting process is already gone"));
    }
    if (!parser.isSet(hostNetworkOption) && !inPrivateNetworkNamespace())
        return fail(QStringLiteral(
            "refusing to bind fixed ports on the machine's own network; run it through "
            "tools/netns-run (or pass --allow-host-network)"));

    if (parser.isSet(configOption) && !o.config.loadFile(parser.value(configOption)))
        return fail(o.config.errorString());
    for (const QString& form : parser.values(deviceOption))
        if (!o.config.addQuickDevice(form))
            return fail(o.config.errorString());
    if (!o.config.validate())
        return fail(o.config.errorString());
    // 198.18.0.0/15 exists only where a private network's test put it there.
    if (parser.isSet(hostNetworkOption))
        for (const SimDeviceSettings& d : o.config.devices())
            if (!d.ip.startsWith(QLatin1String("127.")))
                return fail(QStringLiteral("%1: only loopback addresses with --allow-host-network")
                                .arg(d.ip));

    const QString control = parser.value(controlOption);
    const int colon = control.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    o.controlPort = control.mid(colon + 1).toInt(&portOk);
    if (colon <= 0 || !portOk || o.controlPort < 0 || o.controlPort > 65535)
        return fail(QStringLiteral("--control takes HOST:PORT, not \"%1\"").arg(control));
    o.controlHost = control.left(colon);
    o.readyFile = parser.value(readyOption);
    o.summary = parser.isSet(summaryOption);
    return -1;
}

// SIGINT and SIGTERM write to g_signalPipe; false when the pipe cannot be made.
bool catchSignals()
{
    signal(SIGPIPE, SIG_IGN);
    if (pipe(g_signalPipe) != 0)
        return false;
    struct sigaction action {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

// Every server of the simulated devices. Moves and restarts come from the control
// server's threads and are made one at a time.
struct Servers {
    explicit Servers(const std::vector<SimDevice*>& devices)
        : devices(devices)
        , udp(devices)
        , mdns(devices)
        , control(devices, mdns)
    {
        control.setMover([this](SimDevice& device, const QString& to, QString& error) {
            return move(device, to, error);
        });
        control.setRestarter([this](SimDevice& device, int downMs, QString& error) {
            return restart(device, downMs, error);
        });
    }

    // The reason is told and false returned when a socket cannot be bound.
    bool bind(const Options& o)
    {
        for (SimDevice* device : devices) {
            apis.push_back(std::make_unique<OpenApiServer>(*device));
            if (!apis.back()->bind())
                return told(QString::fromStdString(apis.back()->errorString()));
        }
        if (!udp.bind())
            return told(QString::fromStdString(udp.errorString()));
        if (!mdns.bind())
            return told(QString::fromStdString(mdns.errorString()));
        if (!control.bind(o.controlHost.toStdString(), o.controlPort))
            return told(QString::fromStdString(control.errorString()));
        return true;
    }

    void start()
    {
        for (auto& api : apis)
            api->start();
        udp.start();
        mdns.start();
        control.start();
    }

    void stop()
    {
        control.stop();
        for (auto& api : apis)
            api->stop();
        udp.stop();
        mdns.stop();
    }

    std::size_t indexOf(const SimDevice& device) const
    {
        std::size_t at = 0;
        while (at < devices.size() && devices[at] != &device)
            ++at;
        return at;
    }

    bool move(SimDevice& device, const QString& to, QString& error)
    {
        std::lock_guard<std::mutex> lock(moving);
        const QString from = device.ip();
        const std::size_t at = indexOf(device);
        if (at == devices.size()) {
            error = QStringLiteral("no such device");
            return false;
        }
        device.moveTo(to);
        if (apis[at]->rebind() && udp.rebind(&device) && mdns.rebind(&device))
            return true;
        error = QStringLiteral("cannot serve at %1: %2")
                    .arg(to,
                        QString::fromStdString(
                            apis[at]->errorString() + udp.errorString() + mdns.errorString()));
        device.moveTo(from);
        apis[at]->rebind();
        udp.rebind(&device);
        mdns.rebind(&device);
        return false;
    }

    // The restarting device's OpenAPI stops (connections are refused) and its stream
    // and mDNS answers are ignored until it is back.
    bool restart(SimDevice& device, int downMs, QString& error)
    {
        std::lock_guard<std::mutex> lock(moving);
        const std::size_t at = indexOf(device);
        if (at == devices.size()) {
            error = QStringLiteral("no such device");
            return false;
        }
        device.goDown();
        apis[at]->stop();
        device.sleepFor(std::chrono::milliseconds(downMs));
        device.restarted();
        if (apis[at]->rebind())
            return true;
        error = QStringLiteral("cannot serve again: %1")
                    .arg(QString::fromStdString(apis[at]->errorString()));
        return false;
    }

    const std::vector<SimDevice*> devices;
    std::vector<std::unique_ptr<OpenApiServer>> apis;
    UdpReceiver udp;
    MdnsResponder mdns;
    ControlServer control;
    std::mutex moving;
};

// POST /screenshot grabs the window on the GUI thread.
void offerScreenshots(ControlServer& control, SimWindow* target)
{
    control.setScreenshot([target](const QString& path, QString& error) {
        auto done = std::make_shared<std::promise<bool>>();
        std::future<bool> result = done->get_future();
        QMetaObject::invokeMethod(
            target, [target, path, done] { done->set_value(target->grab().save(path, "PNG")); },
            Qt::QueuedConnection);
        if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            error = QStringLiteral("the window did not answer");
            return false;
        }
        if (!result.get()) {
            error = QStringLiteral("cannot write %1").arg(path);
            return false;
        }
        return true;
    });
}

// Names each device on standard error and tells where the control interface
// listens; false (the reason told) when the ready file cannot be written.
bool announce(const Servers& servers, const Options& o)
{
    const QString controlAddress
        = QStringLiteral("%1:%2").arg(o.controlHost).arg(servers.control.port());
    for (SimDevice* device : servers.devices) {
        const SimDeviceSettings& s = device->settings();
        std::fprintf(stderr,
            "nanoleaf-sim: \"%s\" (%s, %d panels) at %s: http 16021, udp 60221/60222%s\n",
            qPrintable(s.name), qPrintable(s.model), int(s.panels.size()), qPrintable(device->ip()),
            s.pairingMode ? ", pairing mode on" : "");
    }
    if (!o.readyFile.isEmpty()) {
        QSaveFile ready(o.readyFile);
        if (!ready.open(QIODevice::WriteOnly) || ready.write(controlAddress.toUtf8() + '\n') < 0
            || !ready.commit())
            return told(QStringLiteral("cannot write %1").arg(o.readyFile));
    }
    std::fprintf(stdout, "READY control=%s\n", qPrintable(controlAddress));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool display = !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    const bool offscreen = platform == "offscreen" || platform == "minimal";
    bool window = !hasArgument(argc, argv, "--headless")
        && (hasArgument(argc, argv, "--window") || (display && !offscreen));
    if (window && !display && !offscreen) {
        std::fprintf(stderr, "nanoleaf-sim: no display, running without a window\n");
        window = false;
    }
    std::unique_ptr<QCoreApplication> app(
        window ? new QApplication(argc, argv) : new QCoreApplication(argc, argv));
    QCoreApplication::setApplicationName(QStringLiteral("nanoleaf-sim"));

    Options options;
    const int refused = readOptions(*app, options);
    if (refused >= 0)
        return refused;
    if (!catchSignals())
        return fail(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));

    std::vector<std::unique_ptr<SimDevice>> devices;
    std::vector<SimDevice*> devicePointers;
    for (const SimDeviceSettings& settings : options.config.devices()) {
        devices.push_back(std::make_unique<SimDevice>(settings));
        devicePointers.push_back(devices.back().get());
    }
    Servers servers(devicePointers);
    if (!servers.bind(options))
        return 1;

    std::unique_ptr<SimWindow> view;
    if (window) {
        view = std::make_unique<SimWindow>(devicePointers);
        view->resize(view->sizeHint());
        view->show();
        offerScreenshots(servers.control, view.get());
    }

    servers.start();
    if (!announce(servers, options))
        return 1;

    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    checkedConnect(&signalNotifier, SIGNAL(activated(int)), app.get(), SLOT(quit()));
    const int code = app->exec();

    // Release held and delayed answers first, so the servers' workers can finish.
    for (SimDevice* device : devicePointers)
        device->shutdown();
    servers.stop();
    view.reset();
    if (options.summary)
        printSummary(devicePointers);
    std::fprintf(stderr, "nanoleaf-sim: stopped\n");
    return code;
}
