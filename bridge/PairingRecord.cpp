#include "PairingRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStandardPaths>

#include <limits>
#include <utility>

namespace {

// The key lets whoever holds it link to the gateway: the file is its user's alone.
constexpr QFile::Permissions ownerOnlyFolder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions ownerOnlyFile = QFile::ReadOwner | QFile::WriteOwner;

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

QByteArray newKey()
{
    quint32 words[PairingRecord::keyBytes / sizeof(quint32)];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words);
}

// A missing member counts as 0; one that is there must be a whole number from 0 to max.
bool readNumber(const QJsonObject &object, const char *name, qint64 max, qint64 *out)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (value.isUndefined()) {
        *out = 0;
        return true;
    }
    *out = value.toInteger(-1);
    return *out >= 0 && *out <= max;
}

// Compact JSON; base64 and numbers need no escaping, so the text is written as it reads.
QByteArray serialize(const PairingRecord::Contents &contents)
{
    return "{\"key\":\"" + contents.key.toBase64() + "\",\"port\":" + QByteArray::number(contents.port)
           + ",\"intakePort\":" + QByteArray::number(contents.intakePort)
           + ",\"pid\":" + QByteArray::number(contents.pid) + '}';
}

} // namespace

PairingRecord::PairingRecord(QString path)
    : filePath(std::move(path))
{
}

QString PairingRecord::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/pairing.json");
}

std::optional<PairingRecord::Contents> PairingRecord::read(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    const QByteArray text = file.read(maxFileBytes + 1);
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (text.size() > maxFileBytes || !document.isObject()) {
        fail(error, QStringLiteral("%1 is not a pairing record").arg(path));
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    const auto key = QByteArray::fromBase64Encoding(object.value(QLatin1String("key")).toString().toLatin1(),
                                                    QByteArray::AbortOnBase64DecodingErrors);
    qint64 port = 0, intakePort = 0, pid = 0;
    if (!key || key.decoded.size() != keyBytes || !readNumber(object, "port", 0xFFFF, &port)
        || !readNumber(object, "intakePort", 0xFFFF, &intakePort)
        || !readNumber(object, "pid", std::numeric_limits<qint64>::max(), &pid)) {
        fail(error, QStringLiteral("%1 is not a pairing record").arg(path));
        return std::nullopt;
    }
    return Contents{key.decoded, quint16(port), quint16(intakePort), pid};
}

bool PairingRecord::load(QString *error)
{
    if (const std::optional<Contents> stored = read(filePath)) {
        // A record copied in or restored from a backup may have come with wider rights.
        QFile::setPermissions(QFileInfo(filePath).absolutePath(), ownerOnlyFolder);
        QFile::setPermissions(filePath, ownerOnlyFile);
        contents.key = stored->key;
        return true;
    }
    Contents fresh = contents;
    fresh.key = newKey();
    return store(fresh, error);
}

bool PairingRecord::renewKey(QString *error)
{
    Contents next = contents;
    next.key = newKey();
    return store(next, error);
}

bool PairingRecord::setRunning(quint16 pluginPort, quint16 intakePort, qint64 pid, QString *error)
{
    if (contents.key.isEmpty() && !load(error))
        return false;
    return store({contents.key, pluginPort, intakePort, pid}, error);
}

bool PairingRecord::setStopped(QString *error)
{
    return setRunning(0, 0, 0, error);
}

bool PairingRecord::store(const Contents &next, QString *error)
{
    const QString folder = QFileInfo(filePath).absolutePath();
    if (!QFileInfo(folder).isDir()
        && !(QDir().mkpath(QFileInfo(folder).path()) && QDir().mkdir(folder, ownerOnlyFolder)))
        return fail(error, QStringLiteral("cannot create the folder %1").arg(folder));
    // Also a folder that the log file or an earlier version made with wider rights.
    QFile::setPermissions(folder, ownerOnlyFolder);

    // Written to a temporary file beside it and renamed over it, so that a
    // reader never sees half a record; owner-only before the key goes in.
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(ownerOnlyFile))
        return fail(error, QStringLiteral("cannot write %1: %2").arg(filePath, file.errorString()));
    const QByteArray text = serialize(next);
    if (file.write(text) != text.size() || !file.commit())
        return fail(error, QStringLiteral("cannot write %1: %2").arg(filePath, file.errorString()));
    contents = next;
    return true;
}
