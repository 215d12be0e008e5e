#include "service/tokenprofile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <QUrl>
#include <QVariant>

#include <utility>

namespace TokenProfile
{

namespace
{

const QFileDevice::Permissions kOwnerOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
const QFileDevice::Permissions kOwnerOnlyDir
    = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

// QSettings guards the profile with a lock file holding its owner's process id. A
// writer killed between creating that file and writing the id leaves it empty;
// nobody can tell whose it is, so QSettings would wait until it is 30 s old, and
// the pairing that stores a token would hang that long. A live writer fills the
// file at once, so one that stays empty for a moment is abandoned.
void clearAbandonedLock(const QString& lockName)
{
    for (int look = 0; look < 5; ++look) {
        const QFileInfo lock(lockName);
        if (!lock.exists() || lock.size() > 0)
            return;
        QThread::msleep(40);
    }
    QFile::remove(lockName);
}

// The token then lives only in memory: the device pairs now, but the next PAIR
// needs its button again. The user has to learn that, and where to look.
bool reportFailure(
    const QString& name, const QString& file, const QString& reason, const char* what = "token")
{
    qWarning().noquote() << "Token profile" << file << "could not be written (" + reason + "): the"
                         << what << "of" << name << "is not stored";
    return false;
}

// QSettings reads a '/' in a key as a group separator, so a device name holding
// one would be stored inside a group: "settings/resume" would land on the tool's
// own setting, "a//b" on "a/b". Such names are kept percent-encoded in a group of
// their own; every other name is its own key at the top level, as it always was.
QString keyOf(const QString& name)
{
    if (!name.contains(QLatin1Char('/')))
        return name;
    return QStringLiteral("devices/") + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

// The tool's own groups: no device name reaches them, and their keys are no tokens.
const char* const kOwnGroups[] = { "settings/", "intake/", "devices/", "scenes/", "added/" };

bool inOwnGroup(const QString& key)
{
    for (const char* group : kOwnGroups)
        if (key.startsWith(QLatin1String(group)))
            return true;
    return false;
}

// QSettings escapes every other character itself; only its group separator, and
// the escape that makes that unambiguous, are encoded here.
QString groupKey(const char* group, const QString& name)
{
    QString key = name;
    key.replace(QLatin1Char('%'), QLatin1String("%25"))
        .replace(QLatin1Char('/'), QLatin1String("%2F"));
    return QLatin1String(group) + key;
}

// Creates the folder and the file owner-only, clears abandoned locks and writes
// one value; false, with the warning, when the file could not be written.
bool writeValue(const QString& name, const QString& key, const QString& value, const char* what)
{
    const QString dir = directory();
    const QString file = fileName();
    if (!QDir().mkpath(dir))
        return reportFailure(name, file, "cannot create its folder", what);
    QFile::setPermissions(dir, kOwnerOnlyDir);

    // QSettings replaces the file through a temporary one and keeps the existing
    // file's permissions, so create it owner-only before the first write.
    if (!QFile::exists(file)) {
        QFile blank(file);
        if (!blank.open(QIODevice::WriteOnly))
            return reportFailure(name, file, blank.errorString(), what);
        blank.close();
    }
    QFile::setPermissions(file, kOwnerOnlyFile);

    // QLockFile takes over a stale lock through a second lock file of its own,
    // which a killed writer can leave empty too.
    clearAbandonedLock(file + ".lock.rmlock");
    clearAbandonedLock(file + ".lock");

    QSettings profile(file, QSettings::IniFormat);
    profile.setValue(key, value);
    profile.sync();
    QFile::setPermissions(file, kOwnerOnlyFile);
    if (profile.status() != QSettings::NoError)
        return reportFailure(name, file, "cannot replace the file", what);
    return true;
}

QString readValue(const QString& key)
{
    if (!exists())
        return QString();
    const QSettings profile(fileName(), QSettings::IniFormat);
    return profile.value(key).toString();
}

bool isOn(const QString& text)
{
    const QString value = text.trimmed().toLower();
    return value == QLatin1String("true") || value == QLatin1String("1")
        || value == QLatin1String("yes") || value == QLatin1String("on");
}

} // namespace

QString directory()
{
    const QSettings locator(QSettings::IniFormat, QSettings::UserScope, "Zel", "application");
    return QFileInfo(locator.fileName()).absolutePath() + "/" + "nanoleaf";
}

QString fileName()
{
    return directory() + "/nanoleafInfo.ini";
}

bool exists()
{
    return QFile::exists(fileName());
}

QString read(const QString& name)
{
    const QSettings profile(fileName(), QSettings::IniFormat);
    const QString key = keyOf(name);
    const QString token = profile.value(key).toString();
    // A token stored before such names were encoded sits under the raw name; it
    // is still found, unless the raw name lands in one of the tool's own groups.
    if (!token.isEmpty() || key == name || inOwnGroup(name))
        return token;
    return profile.value(name).toString();
}

QStringList names()
{
    if (!exists())
        return {};
    const QSettings profile(fileName(), QSettings::IniFormat);
    QStringList found;
    for (const QString& key : profile.allKeys()) {
        if (profile.value(key).toString().isEmpty()
            || (inOwnGroup(key) && !key.startsWith(QLatin1String("devices/"))))
            continue;
        // Names written out raw before they were encoded read back as themselves.
        found.append(key.startsWith(QLatin1String("devices/"))
                ? QUrl::fromPercentEncoding(key.mid(8).toLatin1())
                : key);
    }
    return found;
}

bool write(const QString& name, const QString& token)
{
    return writeValue(name, keyOf(name), token, "token");
}

bool resumeAtStart()
{
    return isOn(readValue(QStringLiteral("settings/resume")));
}

Settings settings()
{
    Settings read;
    if (!exists())
        return read;
    const QSettings profile(fileName(), QSettings::IniFormat);
    const auto text = [&profile](const char* key) {
        // An unquoted value with commas reads as a list.
        return profile.value(QLatin1String("settings/") + QLatin1String(key))
            .toStringList()
            .join(QLatin1Char(','))
            .trimmed();
    };
    read.restore = text("restore").toLower() != QLatin1String("off");
    read.unpairRestore = text("unpair").toLower() == QLatin1String("restore");
    bool number = false;
    const int seconds = text("watch").toInt(&number);
    if (number && seconds >= 1 && seconds <= 3600)
        read.watchSeconds = seconds;
    read.lightStreamV2 = text("light_stream").toLower() == QLatin1String("v2");
    for (const QString& entry : text("add").split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!entry.trimmed().isEmpty())
            read.add.append(entry.trimmed());
    return read;
}

QString readScene(const QString& name)
{
    return readValue(groupKey("scenes/", name));
}

bool writeScene(const QString& name, const QString& scene)
{
    return writeValue(name, groupKey("scenes/", name), scene, "scene");
}

QString readAddedName(const QString& entry)
{
    return readValue(groupKey("added/", entry));
}

bool writeAddedName(const QString& entry, const QString& name)
{
    return writeValue(entry, groupKey("added/", entry), name, "device name");
}

int maxFps(QStringList& problems)
{
    if (!exists())
        return 0;
    const QSettings profile(fileName(), QSettings::IniFormat);
    const QVariant value = profile.value(QStringLiteral("settings/max_fps"));
    // A list is what QSettings makes of an unquoted "30, 60".
    const QString text = value.type() == QVariant::StringList
        ? value.toStringList().join(QLatin1Char(','))
        : value.toString();
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
        return 0;
    bool ok = false;
    const int fps = trimmed.toInt(&ok);
    if (ok && fps >= 1 && fps <= kMaxFpsLimit)
        return fps;
    problems << QStringLiteral(
        "[settings] max_fps=%1: '%1' is no number of frames per second from 1 to %2")
                    .arg(text)
                    .arg(kMaxFpsLimit);
    return 0;
}

void readIntake(NetworkIntakeSettings& settings, QStringList& problems)
{
    if (!exists())
        return;
    const QSettings profile(fileName(), QSettings::IniFormat);
    using Reader = bool (NetworkIntakeSettings::*)(const QString&, QString&);
    const std::pair<const char*, Reader> keys[] = {
        { "listen", &NetworkIntakeSettings::readListen },
        { "address", &NetworkIntakeSettings::readAddress },
        { "universe", &NetworkIntakeSettings::readUniverse },
        { "timeout", &NetworkIntakeSettings::readTimeout },
    };
    for (const auto& key : keys) {
        const QVariant value = profile.value(QStringLiteral("intake/") + key.first);
        if (!value.isValid())
            continue;
        // A list is what QSettings makes of an unquoted "ddp, e131".
        const QString text = value.type() == QVariant::StringList
            ? value.toStringList().join(QLatin1Char(','))
            : value.toString();
        QString problem;
        if (!(settings.*key.second)(text, problem))
            problems << QStringLiteral("[intake] %1=%2: %3").arg(key.first, text, problem);
    }
}

} // namespace TokenProfile
