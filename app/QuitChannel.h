#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// Listens for "QUIT" on the gateway's quit channel; nothing else it hears
// means anything. Setup.exe uses it to end every user's gateway, each through
// its own channel, before it replaces the program's files.
class QuitChannel : public QObject
{
    Q_OBJECT
public:
    explicit QuitChannel(QString name, QObject *parent = nullptr);
    bool listen();

signals:
    void quitRequested();

private:
    QString name;
    QLocalServer *server = nullptr;
};
