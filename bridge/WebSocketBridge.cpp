// Placeholder until the WebSocket codecs land: the bridge does not listen yet.
#include "WebSocketBridge.h"

#include <QTcpServer>

WebSocketBridge::WebSocketBridge(quint16 p, QObject *parent) : QObject(parent), port(p), server(new QTcpServer(this)) {}
WebSocketBridge::~WebSocketBridge() = default;
bool WebSocketBridge::listen() { return false; }
bool WebSocketBridge::isConnected() const { return false; }
void WebSocketBridge::sendScan() {}
void WebSocketBridge::setPickMode(bool, QString) {}
void WebSocketBridge::sendFill(QJsonObject, QString, bool, QJsonObject, bool, int) {}
void WebSocketBridge::onNewConnection() {}
void WebSocketBridge::onReadyRead() {}
void WebSocketBridge::onDisconnected() {}
