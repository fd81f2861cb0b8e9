#pragma once

// A main window for a test, and its widgets found by their object names.
#include "BrowserPlatform.h"
#include "MainWindow.h"
#include "PairingRecord.h"
#include "TestMain.h"
#include "TestSupport.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QWidget>

// Its own single-instance channel, a tray, and a log file in the sandbox: with
// TestMain.h's names nothing of it touches the user's gateway, settings or log.
inline QString testLogFolder()
{
    return QDir(testSandboxPath()).filePath(QStringLiteral("log"));
}

inline WindowParts testParts(std::unique_ptr<BrowserPlatform> platform = createSystemPlatform())
{
    WindowParts parts;
    parts.platform = std::move(platform);
    parts.channelName = testChannelName();
    parts.logFolder = testLogFolder();
    parts.confirmQuit = [](QWidget *) { return true; };
    return parts;
}

namespace probe {

template <typename T = QWidget>
T *find(QWidget *window, const char *name)
{
    T *widget = window->findChild<T *>(QLatin1String(name));
    if (!widget)
        qWarning("no %s named %s", T::staticMetaObject.className(), name);
    return widget;
}

inline QPushButton *button(QWidget *window, const char *name) { return find<QPushButton>(window, name); }
inline QLabel *label(QWidget *window, const char *name) { return find<QLabel>(window, name); }
inline QLineEdit *edit(QWidget *window, const char *name) { return find<QLineEdit>(window, name); }

// The window puts its log lines into the view once per event-loop turn, and
// only while it is shown; put them in now so the view holds every line so far.
inline QPlainTextEdit *logView(QWidget *window)
{
    QMetaObject::invokeMethod(window, "showLog");
    return find<QPlainTextEdit>(window, "logView");
}

// Log lines without their "[HH:mm:ss] " stamps.
inline QStringList logMessages(QWidget *window)
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] "));
    QStringList lines = logView(window)->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line.remove(stamp);
    return lines;
}

// What the window's gateway wrote for the native host: its pairing key and
// the ports it listens on, as a plugin would learn them.
inline PairingRecord::Contents pairing()
{
    return PairingRecord::read(PairingRecord::defaultPath()).value_or(PairingRecord::Contents{});
}

} // namespace probe
