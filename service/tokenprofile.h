#pragma once

#include "service/intakesettings.h"

#include <QString>
#include <QStringList>

// The token profile "nanoleafInfo.ini": device name -> authorisation token, at the
// top level of an INI file in the "nanoleaf" folder beside the per-user INI file
// that QSettings names for "Zel" / "application". The tool's own settings live in
// its [settings] and [intake] groups, which no device name can reach.
//
// The file holds credentials, so the folder is kept 0700 and the file 0600, and a
// write goes through QSettings' save-to-temporary-then-rename, so a crash in the
// middle of a write leaves the previous file intact.
namespace TokenProfile
{

QString directory();
QString fileName();
bool exists();
// The stored token for name, or the empty text. Never creates anything on disk.
QString read(const QString& name);
// Every device name with a stored token, in no particular order.
QStringList names();
// Stores token under name; false, with a warning naming the file, when the file
// could not be written.
bool write(const QString& name, const QString& token);
// Whether the tool pairs the devices it has tokens for by itself at start:
// "resume" in [settings] set to true, 1, yes or on. Off without the file or key.
bool resumeAtStart();
// The cap on each device's frames, [settings] max_fps: 1 to kMaxFpsLimit frames per
// second, or 0 (no cap) without the file or key, or for an empty value or "none". A
// value that cannot be read gives 0 and is described in problems, e.g.
// "[settings] max_fps=0: '0' is no number of frames per second from 1 to 1000".
constexpr int kMaxFpsLimit = 1000;
int maxFps(QStringList& problems);
// The network intake's settings in [intake]: listen=, address=, universe= and
// timeout= (see NetworkIntakeSettings), each over what settings held. A value that
// cannot be read changes nothing and is described in problems, e.g.
// "[intake] universe=0: '0' is no universe from 1 to 63999". Nothing without the file.
void readIntake(NetworkIntakeSettings& settings, QStringList& problems);

// The rest of [settings], each read when it is needed, so an edit takes effect at
// the next use. Missing or unreadable values keep their defaults.
struct Settings {
    // restore=off: devices keep whatever they last showed when the tool lets them go.
    bool restore = true;
    // unpair=restore: UNPAIR gives the device its scene back instead of the warm colour.
    bool unpairRestore = false;
    // watch=SECONDS (1 to 3600): how often a streamed device is asked what it shows.
    int watchSeconds = 30;
    // light_stream=v2: Light Panels get the v2 datagram on 60222 like the later models.
    bool lightStreamV2 = false;
    // add=HOST[:PORT],...: devices that discovery cannot see, as written.
    QStringList add;
};
Settings settings();

// The scene a device showed before the tool first switched it into external
// control, kept so that a crash loses nothing: the text of
// OpenApiFormat::sceneText(), or the empty text. Written like a token.
QString readScene(const QString& name);
bool writeScene(const QString& name, const QString& scene);

// The name a device given by address (an "add" entry, as written) answered with
// when it was paired; the empty text before.
QString readAddedName(const QString& entry);
bool writeAddedName(const QString& entry, const QString& name);

} // namespace TokenProfile
