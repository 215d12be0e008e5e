// Feeds arbitrary info answers to their reader and checks what pairing and the
// stream sender rely on: a refused answer leaves every field empty; an accepted
// one has a name, a model that fits that name, one id per panel for a model with a
// datagram layout (none otherwise), and id bytes that are the split of those ids;
// its v2 positions, when read, are one per panel, and its scene is the one the
// scene reader finds. The reading depends on the JSON value only, not on how it
// is spelt.

#include "fuzzcheck.h"
#include "service/openapiformat.h"

#include <QJsonDocument>

#include <algorithm>

#include <cstdint>
#include <cstdlib>

namespace
{

bool same(const OpenApiFormat::Info& a, const OpenApiFormat::Info& b)
{
    const auto panelsSame = [](const PanelModel::Panel& p, const PanelModel::Panel& q) {
        return p.id == q.id && p.x == q.x && p.y == q.y && p.o == q.o && p.shapeType == q.shapeType;
    };
    return a.ok == b.ok && a.name == b.name && a.model == b.model && a.count == b.count
        && a.pidArrray == b.pidArrray && a.mPidArray == b.mPidArray && a.v2.ok == b.v2.ok
        && a.v2.model == b.v2.model && a.v2.globalOrientation == b.v2.globalOrientation
        && std::equal(a.v2.panels.begin(), a.v2.panels.end(), b.v2.panels.begin(),
            b.v2.panels.end(), panelsSame)
        && a.scene.ok == b.scene.ok && a.scene.effect == b.scene.effect;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 64 * 1024)
        return 0; // far beyond any device's answer; keeps runs fast
    const QByteArray answer(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const OpenApiFormat::Info layout = OpenApiFormat::parseInfo(answer);
    using Model = StreamDatagram::Model;

    if (!layout.ok) {
        check(layout.name.isEmpty() && layout.model == Model::None && layout.count == 0);
        check(layout.pidArrray.isEmpty() && layout.mPidArray.isEmpty());
        check(!layout.v2.ok && layout.v2.model.isEmpty() && layout.v2.panels.empty());
        check(!layout.scene.ok);
    } else {
        check(!layout.name.isEmpty());
        const bool light = layout.name.contains(QLatin1String("Light"));
        const bool canvas = layout.name.contains(QLatin1String("Canvas"));
        check(layout.model == (canvas ? Model::Canvas : light ? Model::Light : Model::None));
        // Every panel is at least one character of the answer.
        check(layout.count >= 0 && static_cast<std::size_t>(layout.count) <= size);
        const int ids = layout.model == Model::None ? 0 : layout.count;
        check(layout.mPidArray.size() == ids);
        const int bytesPerId = layout.model == Model::Canvas ? 2 : 1;
        check(layout.pidArrray.size() == bytesPerId * ids);
        for (int i = 0; i < ids; ++i) {
            const int id = layout.mPidArray[i];
            const int low = layout.pidArrray[bytesPerId * i + bytesPerId - 1];
            const int high = bytesPerId == 2 ? layout.pidArrray[2 * i] : id / 256;
            check(low > -256 && low < 256 && high * 256 + low == id);
        }
        const std::size_t panels = layout.v2.ok ? static_cast<std::size_t>(layout.count) : 0;
        check(layout.v2.panels.size() == panels);
        check(layout.v2.ok || (layout.v2.model.isEmpty() && layout.v2.globalOrientation == 0));
        const OpenApiFormat::Scene scene = OpenApiFormat::parseScene(answer);
        check(layout.scene.ok == scene.ok && layout.scene.effect == scene.effect
            && layout.scene.brightness == scene.brightness);
    }

    // The same JSON value written out compactly reads the same.
    const QJsonDocument document = QJsonDocument::fromJson(answer);
    if (!document.isNull())
        check(same(OpenApiFormat::parseInfo(document.toJson(QJsonDocument::Compact)), layout));
    return 0;
}
