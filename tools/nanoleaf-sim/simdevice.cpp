#include "tools/nanoleaf-sim/simdevice.h"

#include "tools/nanoleaf-sim/monotonicclock.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace
{

constexpr std::size_t kMaxRequests = 2000;
constexpr std::size_t kMaxFrames = 20000;

const char* const kEffects[] = { "Color Burst", "Flames", "Forest", "Inner Peace", "Nemo",
    "Northern Lights", "Romantic", "Snowfall" };

// The colours a device shows when it starts: the warm spread of its "Flames" effect.
SimColour effectColour(int index)
{
    static const SimColour palette[] = { { 255, 72, 0, 0 }, { 255, 140, 16, 0 }, { 214, 38, 8, 0 },
        { 255, 178, 56, 0 }, { 190, 24, 0, 0 } };
    return palette[std::size_t(index) % (sizeof palette / sizeof palette[0])];
}

QJsonObject range(int value, int min, int max)
{
    return QJsonObject { { QStringLiteral("value"), value }, { QStringLiteral("max"), max },
        { QStringLiteral("min"), min } };
}

QString hexOf(const std::vector<std::uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    QString out;
    out.reserve(int(bytes.size() * 2));
    for (std::uint8_t b : bytes) {
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 15]);
    }
    return out;
}

// HSV (hue in degrees, saturation in percent) at full value, as 8-bit RGB.
SimColour fromHueSat(int hue, int sat)
{
    const double s = sat / 100.0;
    const double h = (hue % 360) / 60.0;
    const double x = 1.0 - std::abs(std::fmod(h, 2.0) - 1.0);
    double r = 0, g = 0, b = 0;
    if (h < 1)
        r = 1, g = x;
    else if (h < 2)
        r = x, g = 1;
    else if (h < 3)
        g = 1, b = x;
    else if (h < 4)
        g = x, b = 1;
    else if (h < 5)
        r = x, b = 1;
    else
        r = 1, b = x;
    const auto channel
        = [s](double c) { return std::uint8_t(std::lround(255.0 * (1.0 - s * (1.0 - c)))); };
    return SimColour { channel(r), channel(g), channel(b), 0 };
}

// A white of colour temperature ct kelvin, roughly: warmer below 6500, bluer above.
SimColour fromTemperature(int ct)
{
    const double t = std::min(1.0, std::max(0.0, (ct - 1200) / 5300.0));
    return SimColour { 255, std::uint8_t(140 + std::lround(115 * t)),
        std::uint8_t(60 + std::lround(195 * t)), 0 };
}

QString nsText(std::int64_t ns)
{
    // As text: JSON readers that hold numbers as doubles would round nanoseconds.
    return QString::number(ns);
}

} // namespace

SimDevice::SimDevice(SimDeviceSettings settings)
    : m_settings(std::move(settings))
    , m_ip(m_settings.ip)
{
    resetLocked();
}

QString SimDevice::ip() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ip;
}

void SimDevice::moveTo(const QString& ip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ip = ip;
    m_mode = SimMode::Effect;
    m_colorMode = QStringLiteral("effect");
    touch();
}

void SimDevice::goDown()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_down = true;
    touch();
}

void SimDevice::restarted()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_down = false;
    m_mode = SimMode::Effect;
    m_colorMode = QStringLiteral("effect");
    m_on = true;
    for (std::size_t i = 0; i < m_colours.size(); ++i)
        if (m_settings.panels[int(i)].hasLeds())
            m_colours[i] = effectColour(int(i) + int(m_effect.size()));
    touch();
}

bool SimDevice::down() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_down;
}

QString SimDevice::selected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return selectedLocked();
}

QString SimDevice::selectedLocked() const
{
    switch (m_mode) {
    case SimMode::ExtControlV1:
    case SimMode::ExtControlV2:
        return QStringLiteral("*ExtControl*");
    case SimMode::Static:
        return QStringLiteral("*Static*");
    case SimMode::Solid:
        return QStringLiteral("*Solid*");
    case SimMode::Effect:
        break;
    }
    return m_effect;
}

void SimDevice::showSolidLocked()
{
    const SimColour colour
        = m_colorMode == QLatin1String("ct") ? fromTemperature(m_ct) : fromHueSat(m_hue, m_sat);
    for (std::size_t i = 0; i < m_colours.size(); ++i)
        if (m_settings.panels[int(i)].hasLeds())
            m_colours[i] = colour;
}

void SimDevice::resetLocked()
{
    m_pairingMode = m_settings.pairingMode;
    m_tokens = m_settings.tokens;
    m_mode = SimMode::Effect;
    m_effect = QStringLiteral("Flames");
    m_down = false;
    m_colorMode = QStringLiteral("effect");
    m_on = true;
    m_brightness = 100;
    m_hue = 0;
    m_sat = 0;
    m_ct = 4000;
    m_colours.assign(std::size_t(m_settings.panels.size()), SimColour {});
    for (int i = 0; i < m_settings.panels.size(); ++i)
        if (m_settings.panels[i].hasLeds())
            m_colours[std::size_t(i)] = effectColour(i);
    m_requests.clear();
    m_frames.clear();
    m_accepted = m_ignored = m_malformed = 0;
    m_lastFrameNs = 0;
    m_mdnsReplies = 0;
    m_httpFault = HttpFault::None;
    m_mdnsFault = MdnsFault::None;
    m_delayMs = 0;
    ++m_resetGeneration;
    touch();
}

bool SimDevice::pairingMode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pairingMode;
}

void SimDevice::setPairingMode(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pairingMode = on;
    touch();
}

QString SimDevice::issueToken()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 engine { std::random_device {}() };
    std::uniform_int_distribution<int> pick(0, int(sizeof alphabet) - 2);
    QString token;
    for (int i = 0; i < 32; ++i)
        token += QLatin1Char(alphabet[pick(engine)]);

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pairingMode)
        return QString();
    m_tokens.append(token);
    touch();
    return token;
}

bool SimDevice::hasToken(const QString& token) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !token.isEmpty() && m_tokens.contains(token);
}

bool SimDevice::removeToken(const QString& token)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    touch();
    return m_tokens.removeAll(token) > 0;
}

QJsonObject SimDevice::description() const
{
    QJsonArray positions;
    for (const SimPanel& p : m_settings.panels) {
        positions.append(QJsonObject { { QStringLiteral("panelId"), p.id },
            { QStringLiteral("x"), p.x }, { QStringLiteral("y"), p.y },
            { QStringLiteral("o"), p.o }, { QStringLiteral("shapeType"), p.shapeType } });
    }
    QJsonArray effects;
    for (const char* name : kEffects)
        effects.append(QLatin1String(name));

    std::lock_guard<std::mutex> lock(m_mutex);
    QJsonObject state {
        { QStringLiteral("on"), QJsonObject { { QStringLiteral("value"), m_on } } },
        { QStringLiteral("brightness"), range(m_brightness, 0, 100) },
        { QStringLiteral("hue"), range(m_hue, 0, 360) },
        { QStringLiteral("sat"), range(m_sat, 0, 100) },
        { QStringLiteral("ct"), range(m_ct, 1200, 6500) },
        { QStringLiteral("colorMode"), m_colorMode },
    };
    const QString select = selectedLocked();
    QJsonObject layout {
        { QStringLiteral("numPanels"), m_settings.panels.size() },
        { QStringLiteral("sideLength"), m_settings.sideLength },
        { QStringLiteral("positionData"), positions },
    };
    return QJsonObject {
        { QStringLiteral("name"), m_settings.name },
        { QStringLiteral("serialNo"), m_settings.serial },
        { QStringLiteral("manufacturer"), QStringLiteral("Nanoleaf") },
        { QStringLiteral("firmwareVersion"), m_settings.firmware },
        { QStringLiteral("model"), m_settings.model },
        { QStringLiteral("state"), state },
        { QStringLiteral("effects"),
            QJsonObject { { QStringLiteral("select"), select },
                { QStringLiteral("effectsList"), effects } } },
        { QStringLiteral("panelLayout"),
            QJsonObject { { QStringLiteral("layout"), layout },
                { QStringLiteral("globalOrientation"),
                    range(m_settings.globalOrientation, 0, 360) } } },
    };
}

QJsonObject SimDevice::mistypedDescription() const
{
    QJsonArray positions;
    for (int i = 0; i < m_settings.panels.size(); ++i) {
        positions.append(QJsonObject { { QStringLiteral("panelId"), QStringLiteral("x") },
            { QStringLiteral("x"), QString::number(m_settings.panels[i].x) },
            { QStringLiteral("y"), QJsonValue::Null }, { QStringLiteral("o"), true },
            { QStringLiteral("shapeType"), QStringLiteral("panel") } });
    }
    return QJsonObject {
        { QStringLiteral("name"), 5 },
        { QStringLiteral("serialNo"), 7 },
        { QStringLiteral("manufacturer"), QJsonArray { QStringLiteral("Nanoleaf") } },
        { QStringLiteral("firmwareVersion"), 3.3 },
        { QStringLiteral("model"), false },
        { QStringLiteral("state"), QStringLiteral("on") },
        { QStringLiteral("effects"), QJsonArray {} },
        { QStringLiteral("panelLayout"),
            QJsonObject { { QStringLiteral("layout"),
                              QJsonObject { { QStringLiteral("numPanels"),
                                                QString::number(m_settings.panels.size()) },
                                  { QStringLiteral("sideLength"), QStringLiteral("wide") },
                                  { QStringLiteral("positionData"), positions } } },
                { QStringLiteral("globalOrientation"), 0 } } },
    };
}

SimMode SimDevice::mode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mode;
}

void SimDevice::setMode(SimMode mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mode = mode;
    m_colorMode = QStringLiteral("effect");
    touch();
}

bool SimDevice::selectEffect(const QString& name)
{
    for (const char* effect : kEffects) {
        if (name == QLatin1String(effect)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_mode = SimMode::Effect;
            m_colorMode = QStringLiteral("effect");
            m_effect = name;
            for (std::size_t i = 0; i < m_colours.size(); ++i)
                if (m_settings.panels[int(i)].hasLeds())
                    m_colours[i] = effectColour(int(i) + int(name.size()));
            touch();
            return true;
        }
    }
    return false;
}

int SimDevice::showStatic(const std::vector<StreamRecord>& records)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int matched = 0;
    for (const StreamRecord& rec : records) {
        for (int i = 0; i < m_settings.panels.size(); ++i) {
            if (m_settings.panels[i].id == rec.panelId) {
                if (rec.frames > 0 && m_settings.panels[i].hasLeds()) {
                    m_colours[std::size_t(i)] = SimColour { rec.r, rec.g, rec.b, rec.w };
                    ++matched;
                }
                break;
            }
        }
    }
    m_mode = SimMode::Static;
    m_colorMode = QStringLiteral("effect");
    touch();
    return matched;
}

bool SimDevice::writeState(const QString& key, const QJsonValue& value)
{
    // Each member is {"value": ...}; brightness also takes a "duration", ignored here.
    const QJsonValue v
        = value.isObject() ? value.toObject().value(QLatin1String("value")) : QJsonValue();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (key == QLatin1String("on")) {
        if (!v.isBool())
            return false;
        m_on = v.toBool();
    } else {
        const double d = v.toDouble(-1.0);
        if (!v.isDouble() || d != double(int(d)))
            return false;
        const int n = int(d);
        if (key == QLatin1String("brightness") && n >= 0 && n <= 100)
            m_brightness = n;
        else if (key == QLatin1String("hue") && n >= 0 && n <= 360)
            m_hue = n;
        else if (key == QLatin1String("sat") && n >= 0 && n <= 100)
            m_sat = n;
        else if (key == QLatin1String("ct") && n >= 1200 && n <= 6500)
            m_ct = n;
        else
            return false;
        if (key != QLatin1String("brightness")) {
            m_colorMode = key == QLatin1String("ct") ? QStringLiteral("ct") : QStringLiteral("hs");
            m_mode = SimMode::Solid;
            showSolidLocked();
        }
    }
    touch();
    return true;
}

void SimDevice::handleDatagram(int port, const std::uint8_t* data, std::size_t size,
    std::int64_t timeNs, std::int64_t kernelNs, const std::string& from)
{
    SimFrame frame;
    frame.timeNs = timeNs;
    frame.kernelNs = kernelNs;
    frame.port = port;
    frame.from = from;
    frame.size = size;
    frame.bytes.assign(data, data + std::min(size, kMaxStoredFrame));
    const bool v1Port = port == 60221;
    frame.layout = v1Port ? "v1" : "v2";
    frame.decoded
        = v1Port ? StreamRecords::decodeV1(data, size) : StreamRecords::decodeV2(data, size);

    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_down)
        return; // restarting: nothing takes it
    bool portOpen = false;
    if (m_mode == SimMode::ExtControlV1)
        portOpen = v1Port && m_settings.takesV1();
    else if (m_mode == SimMode::ExtControlV2)
        portOpen = !v1Port || (m_settings.takesV1() && m_settings.acceptV1InV2);

    if (!portOpen) {
        frame.status = "ignored";
        frame.reason = std::string("port ") + std::to_string(port)
            + " does not take datagrams in mode " + modeName(m_mode);
        ++m_ignored;
    } else if (!frame.decoded.ok) {
        frame.status = "malformed";
        frame.reason = frame.decoded.reason;
        ++m_malformed;
    } else {
        frame.status = "accepted";
        frame.applied.assign(frame.decoded.records.size(), false);
        for (std::size_t r = 0; r < frame.decoded.records.size(); ++r) {
            const StreamRecord& rec = frame.decoded.records[r];
            for (int i = 0; i < m_settings.panels.size(); ++i) {
                if (m_settings.panels[i].id == rec.panelId) {
                    // A piece without LEDs shows nothing, whatever it is sent.
                    const bool lit = rec.frames > 0 && m_settings.panels[i].hasLeds();
                    if (lit)
                        m_colours[std::size_t(i)] = SimColour { rec.r, rec.g, rec.b, rec.w };
                    frame.applied[r] = lit;
                    break;
                }
            }
        }
        ++m_accepted;
        m_lastFrameNs = timeNs;
        touch();
    }
    frame.seq = m_nextFrameSeq++;
    m_frames.push_back(std::move(frame));
    while (m_frames.size() > kMaxFrames)
        m_frames.pop_front();
}

std::int64_t SimDevice::beginRequest(SimRequest request)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    request.seq = m_nextRequestSeq++;
    const std::int64_t seq = request.seq;
    m_requests.push_back(std::move(request));
    while (m_requests.size() > kMaxRequests)
        m_requests.pop_front();
    touch();
    return seq;
}

void SimDevice::finishRequest(std::int64_t seq, int status, const std::string& outcome)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_requests.rbegin(); it != m_requests.rend(); ++it) {
        if (it->seq == seq) {
            it->status = status;
            it->outcome = outcome;
            it->answeredNs = monotonicNs();
            return;
        }
    }
}

QJsonArray SimDevice::requestsJson(std::int64_t since) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QJsonArray out;
    for (const SimRequest& r : m_requests) {
        if (r.seq <= since)
            continue;
        QJsonObject headers;
        for (const auto& h : r.headers) {
            const QString name = QString::fromStdString(h.first);
            const QString value = QString::fromStdString(h.second);
            const QString before = headers.value(name).toString();
            headers.insert(name, before.isEmpty() ? value : before + QStringLiteral(", ") + value);
        }
        out.append(QJsonObject {
            { QStringLiteral("seq"), double(r.seq) },
            { QStringLiteral("time_ns"), nsText(r.timeNs) },
            { QStringLiteral("answered_ns"), nsText(r.answeredNs) },
            { QStringLiteral("method"), QString::fromStdString(r.method) },
            { QStringLiteral("path"), QString::fromStdString(r.target) },
            { QStringLiteral("remote"), QString::fromStdString(r.remote) },
            { QStringLiteral("headers"), headers },
            { QStringLiteral("body"), QString::fromUtf8(r.body.data(), int(r.body.size())) },
            { QStringLiteral("body_size"), double(r.bodySize) },
            { QStringLiteral("status"), r.status },
            { QStringLiteral("outcome"), QString::fromStdString(r.outcome) },
        });
    }
    return out;
}

std::string SimDevice::stampsText(std::int64_t since) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const SimFrame& f : m_frames) {
        if (f.seq <= since)
            continue;
        long number = -1;
        if (!f.decoded.records.empty()) {
            const StreamRecord& first = f.decoded.records.front();
            number = (long(first.r) << 16) | (long(first.g) << 8) | long(first.b);
        }
        out += std::to_string(f.seq) + '\t' + std::to_string(f.kernelNs) + '\t'
            + std::to_string(f.timeNs) + '\t' + f.status + '\t' + std::to_string(number) + '\n';
    }
    return out;
}

QJsonArray SimDevice::framesJson(std::int64_t since) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QJsonArray out;
    for (const SimFrame& f : m_frames) {
        if (f.seq <= since)
            continue;
        QJsonArray records;
        for (std::size_t i = 0; i < f.decoded.records.size(); ++i) {
            const StreamRecord& rec = f.decoded.records[i];
            records.append(QJsonObject { { QStringLiteral("panelId"), rec.panelId },
                { QStringLiteral("frames"), rec.frames }, { QStringLiteral("r"), rec.r },
                { QStringLiteral("g"), rec.g }, { QStringLiteral("b"), rec.b },
                { QStringLiteral("w"), rec.w }, { QStringLiteral("t"), rec.transition },
                { QStringLiteral("applied"), i < f.applied.size() && f.applied[i] } });
        }
        out.append(QJsonObject {
            { QStringLiteral("seq"), double(f.seq) },
            { QStringLiteral("time_ns"), nsText(f.timeNs) },
            { QStringLiteral("rx_ns"), nsText(f.kernelNs) },
            { QStringLiteral("port"), f.port },
            { QStringLiteral("from"), QString::fromStdString(f.from) },
            { QStringLiteral("size"), double(f.size) },
            { QStringLiteral("bytes"), hexOf(f.bytes) },
            { QStringLiteral("status"), QLatin1String(f.status) },
            { QStringLiteral("reason"), QString::fromStdString(f.reason) },
            { QStringLiteral("layout"), QLatin1String(f.layout) },
            { QStringLiteral("count"), f.decoded.count },
            { QStringLiteral("trailing"), double(f.decoded.trailing) },
            { QStringLiteral("records"), records },
        });
    }
    return out;
}

HttpFault SimDevice::httpFault() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_httpFault;
}

int SimDevice::faultDelayMs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delayMs;
}

MdnsFault SimDevice::mdnsFault() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mdnsFault;
}

void SimDevice::setFaults(HttpFault http, MdnsFault mdns, int delayMs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_httpFault = http;
        m_mdnsFault = mdns;
        m_delayMs = delayMs;
        touch();
    }
    m_wake.notify_all();
}

void SimDevice::waitWhileHung(std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::uint64_t generation = m_resetGeneration;
    m_wake.wait_for(lock, bound, [&] {
        return m_shutdown || m_httpFault != HttpFault::Hang || m_resetGeneration != generation;
    });
}

bool SimDevice::trickleOn(std::chrono::milliseconds step)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto ended = [&] { return m_shutdown || m_httpFault != HttpFault::Trickle; };
    m_wake.wait_for(lock, step, ended);
    return !ended();
}

void SimDevice::sleepFor(std::chrono::milliseconds delay)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, delay, [&] { return m_shutdown; });
}

void SimDevice::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
    }
    m_wake.notify_all();
}

void SimDevice::countMdnsReply()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_mdnsReplies;
}

void SimDevice::reset()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        resetLocked();
    }
    m_wake.notify_all();
}

QJsonObject SimDevice::stateJson() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QJsonArray panels;
    for (int i = 0; i < m_settings.panels.size(); ++i) {
        const SimPanel& p = m_settings.panels[i];
        const SimColour& c = m_colours[std::size_t(i)];
        panels.append(QJsonObject { { QStringLiteral("id"), p.id }, { QStringLiteral("x"), p.x },
            { QStringLiteral("y"), p.y }, { QStringLiteral("o"), p.o },
            { QStringLiteral("shapeType"), p.shapeType }, { QStringLiteral("leds"), p.hasLeds() },
            { QStringLiteral("r"), c.r }, { QStringLiteral("g"), c.g },
            { QStringLiteral("b"), c.b }, { QStringLiteral("w"), c.w } });
    }
    return QJsonObject {
        { QStringLiteral("name"), m_settings.name },
        { QStringLiteral("ip"), m_ip },
        { QStringLiteral("model"), m_settings.model },
        { QStringLiteral("instance"), m_settings.instance },
        { QStringLiteral("host"), m_settings.host + QStringLiteral(".local") },
        { QStringLiteral("serial"), m_settings.serial },
        { QStringLiteral("firmware"), m_settings.firmware },
        { QStringLiteral("mode"), QLatin1String(modeName(m_mode)) },
        { QStringLiteral("effect"), m_effect },
        { QStringLiteral("select"), selectedLocked() },
        { QStringLiteral("color_mode"), m_colorMode },
        { QStringLiteral("hue"), m_hue },
        { QStringLiteral("sat"), m_sat },
        { QStringLiteral("ct"), m_ct },
        { QStringLiteral("down"), m_down },
        { QStringLiteral("pairing_mode"), m_pairingMode },
        { QStringLiteral("tokens"), QJsonArray::fromStringList(m_tokens) },
        { QStringLiteral("on"), m_on },
        { QStringLiteral("brightness"), m_brightness },
        { QStringLiteral("panels"), panels },
        { QStringLiteral("frames"),
            QJsonObject { { QStringLiteral("accepted"), double(m_accepted) },
                { QStringLiteral("ignored"), double(m_ignored) },
                { QStringLiteral("malformed"), double(m_malformed) } } },
        { QStringLiteral("requests"), double(m_nextRequestSeq - 1) },
        { QStringLiteral("mdns_replies"), double(m_mdnsReplies) },
        { QStringLiteral("faults"),
            QJsonObject { { QStringLiteral("http"), QLatin1String(httpFaultName(m_httpFault)) },
                { QStringLiteral("mdns"), QLatin1String(mdnsFaultName(m_mdnsFault)) },
                { QStringLiteral("delay_ms"), m_delayMs } } },
    };
}

SimSnapshot SimDevice::snapshot() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    SimSnapshot s;
    s.mode = m_mode;
    s.select = selectedLocked();
    s.down = m_down;
    s.pairingMode = m_pairingMode;
    s.on = m_on;
    s.brightness = m_brightness;
    s.colours = m_colours;
    s.accepted = m_accepted;
    s.lastFrameNs = m_lastFrameNs;
    s.httpFault = m_httpFault;
    s.mdnsFault = m_mdnsFault;
    return s;
}

const char* SimDevice::modeName(SimMode mode)
{
    switch (mode) {
    case SimMode::Effect:
        return "effect";
    case SimMode::ExtControlV1:
        return "extControl-v1";
    case SimMode::ExtControlV2:
        return "extControl-v2";
    case SimMode::Static:
        return "static";
    case SimMode::Solid:
        return "solid";
    }
    return "effect";
}

const char* SimDevice::httpFaultName(HttpFault fault)
{
    switch (fault) {
    case HttpFault::None:
        return "none";
    case HttpFault::Hang:
        return "hang";
    case HttpFault::Slow:
        return "slow";
    case HttpFault::NonJson:
        return "nonjson";
    case HttpFault::Huge:
        return "huge";
    case HttpFault::WrongTypes:
        return "wrongtypes";
    case HttpFault::Trickle:
        return "trickle";
    }
    return "none";
}

const char* SimDevice::mdnsFaultName(MdnsFault fault)
{
    switch (fault) {
    case MdnsFault::None:
        return "none";
    case MdnsFault::Oversized:
        return "oversized";
    case MdnsFault::Truncated:
        return "truncated";
    case MdnsFault::BadFlags:
        return "badflags";
    case MdnsFault::Loop:
        return "loop";
    case MdnsFault::Silent:
        return "silent";
    case MdnsFault::Flood:
        return "flood";
    }
    return "none";
}

bool SimDevice::httpFaultFromName(const QString& name, HttpFault& out)
{
    for (HttpFault f : { HttpFault::None, HttpFault::Hang, HttpFault::Slow, HttpFault::NonJson,
             HttpFault::Huge, HttpFault::WrongTypes, HttpFault::Trickle }) {
        if (name == QLatin1String(httpFaultName(f))) {
            out = f;
            return true;
        }
    }
    return false;
}

bool SimDevice::mdnsFaultFromName(const QString& name, MdnsFault& out)
{
    for (MdnsFault f : { MdnsFault::None, MdnsFault::Oversized, MdnsFault::Truncated,
             MdnsFault::BadFlags, MdnsFault::Loop, MdnsFault::Silent, MdnsFault::Flood }) {
        if (name == QLatin1String(mdnsFaultName(f))) {
            out = f;
            return true;
        }
    }
    return false;
}
