// Placeholder until the framing codec lands: the listener does not listen yet.
#include "TcpListener.h"

#include <QTcpServer>

TcpListener::TcpListener(QObject *parent) : QObject(parent), server(new QTcpServer(this)) {}
TcpListener::~TcpListener() = default;
bool TcpListener::start(quint16) { return false; }
void TcpListener::stop() {}
bool TcpListener::isListening() const { return server->isListening(); }
int TcpListener::clientCount() const { return 0; }
void TcpListener::onNewConnection() {}
void TcpListener::onReadyRead() {}
void TcpListener::onDisconnected() {}
