// Feeds arbitrary answers to the readers of what a device shows (its info answer's
// scene), of the watch's answer (one JSON string) and of the external-control
// answer (where to stream), and checks what restoring and streaming rely on: a
// refused scene is empty and restores nothing; an accepted one has its values in
// the ranges a device takes, reads back the same from its own text, and gives the
// effect first (only when it can be selected) and the state after; an effect name
// read is a name that reads back; a stream address is an IPv4 text, a port 1-65535.

#include "fuzzcheck.h"
#include "platform/socketlayer.h"
#include "service/openapiformat.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <cstdint>
#include <string>

namespace
{

using OpenApiFormat::Scene;

bool same(const Scene& a, const Scene& b)
{
    return a.ok == b.ok && a.effect == b.effect && a.on == b.on && a.brightness == b.brightness
        && a.mode == b.mode && a.hue == b.hue && a.sat == b.sat && a.ct == b.ct;
}

void checkScene(const Scene& scene)
{
    const QVector<OpenApiFormat::Request> requests = OpenApiFormat::restoreRequests(scene);
    if (!scene.ok) {
        check(same(scene, Scene()) && requests.isEmpty()
            && OpenApiFormat::sceneText(scene).isEmpty());
        return;
    }
    check(scene.brightness >= 0 && scene.brightness <= 100);
    if (scene.mode == Scene::Mode::HueSat)
        check(scene.hue >= 0 && scene.hue <= 360 && scene.sat >= 0 && scene.sat <= 100);
    if (scene.mode == Scene::Mode::Temperature)
        check(scene.ct >= 1 && scene.ct <= 100000);
    check(same(OpenApiFormat::parseScene(OpenApiFormat::sceneText(scene)), scene));
    check(!requests.isEmpty() && requests.size() <= 3);
    check((requests.first().resource == "effects") == scene.selectable());
    check(requests.last().resource == "state");
    for (const OpenApiFormat::Request& request : requests)
        check(QJsonDocument::fromJson(request.body).isObject());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 64 * 1024)
        return 0; // far beyond any device's answer; keeps runs fast
    const QByteArray answer(reinterpret_cast<const char*>(data), static_cast<int>(size));

    const Scene scene = OpenApiFormat::parseScene(answer);
    checkScene(scene);
    // The same JSON value written out compactly reads the same.
    const QJsonDocument document = QJsonDocument::fromJson(answer);
    if (!document.isNull())
        check(same(OpenApiFormat::parseScene(document.toJson(QJsonDocument::Compact)), scene));

    QString effect;
    if (OpenApiFormat::parseSelected(answer, effect)) {
        const QByteArray object
            = QJsonDocument(QJsonObject { { "e", effect } }).toJson(QJsonDocument::Compact);
        QString again;
        check(OpenApiFormat::parseSelected(object.mid(5, object.size() - 6), again)
            && again == effect);
    }

    const OpenApiFormat::StreamAddress stream = OpenApiFormat::parseStreamAddress(answer);
    check(stream.port >= 0 && stream.port <= 65535);
    const std::string address = stream.address.toStdString();
    std::array<std::uint8_t, 4> parsed {};
    check(address.empty() || Platform::Net::parseIpv4(address.data(), address.size(), parsed));
    return 0;
}
