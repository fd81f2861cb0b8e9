#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The file through which this user's browsers find this user's gateway: the
// shared key that proves a link, and while a gateway runs its ports and pid.
// The native messaging host reads it on the browser's behalf; the gateway
// keeps it. Only its user may read it.
class PairingRecord
{
public:
    static constexpr qsizetype keyBytes = 32;
    // A record is a line of about a hundred bytes; anything far larger is not one.
    static constexpr qint64 maxFileBytes = 4096;

    struct Contents
    {
        QByteArray key;
        quint16 port = 0;
        quint16 intakePort = 0;
        qint64 pid = 0;
    };

    explicit PairingRecord(QString path = defaultPath());
    // pairing.json in the application's local data folder (the names set on the application).
    static QString defaultPath();
    QString path() const { return filePath; }

    // Takes the record's key, or makes and stores a new one when there is
    // none or the file is malformed. False (and *error) when it cannot be written.
    bool load(QString *error = nullptr);
    QByteArray key() const { return contents.key; }
    // "Forget paired browsers": a new key, stored with the ports as they are.
    bool renewKey(QString *error = nullptr);
    bool setRunning(quint16 pluginPort, quint16 intakePort, qint64 pid, QString *error = nullptr);
    // Ports and pid back to 0, the key kept.
    bool setStopped(QString *error = nullptr);

    // What the host reads; nullopt with *error for a missing, unreadable or malformed file.
    static std::optional<Contents> read(const QString &path, QString *error = nullptr);

private:
    bool store(const Contents &next, QString *error);

    QString filePath;
    // What this object last stored; ports stay 0 until setRunning.
    Contents contents;
};
