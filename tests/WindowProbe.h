#pragma once

// A main window for a test, and its widgets found the way a user would: by
// their texts and places, since the window names none of them.
#include "BrowserPlatform.h"
#include "MainWindow.h"
#include "TestMain.h"
#include "TestSupport.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
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
    return {std::move(platform), testChannelName(), true, testLogFolder()};
}

namespace probe {

inline QGroupBox *group(QWidget *window, const QString &title)
{
    for (QGroupBox *box : window->findChildren<QGroupBox *>())
        if (box->title() == title)
            return box;
    return nullptr;
}

template <typename T>
T *byText(QWidget *window, const QString &text)
{
    for (T *widget : window->findChildren<T *>())
        if (widget->text() == text)
            return widget;
    return nullptr;
}

inline QPushButton *button(QWidget *window, const QString &text)
{
    return byText<QPushButton>(window, text);
}

inline QCheckBox *checkBox(QWidget *window, const QString &text)
{
    return byText<QCheckBox>(window, text);
}

inline QWidget *gridCell(QWidget *window, const QString &groupTitle, int row, int column)
{
    QGroupBox *box = group(window, groupTitle);
    auto *grid = box ? qobject_cast<QGridLayout *>(box->layout()) : nullptr;
    QLayoutItem *item = grid ? grid->itemAtPosition(row, column) : nullptr;
    return item ? item->widget() : nullptr;
}

inline QLabel *tcpBadge(QWidget *window)
{
    return qobject_cast<QLabel *>(gridCell(window, QStringLiteral("TCP Connection (Plugin)"), 2, 1));
}

inline QLabel *pluginBadge(QWidget *window)
{
    return qobject_cast<QLabel *>(gridCell(window, QStringLiteral("Browser Plugin"), 0, 1));
}

// The read-only line edits of a group, top to bottom.
inline QList<QLineEdit *> lineEdits(QWidget *window, const QString &groupTitle)
{
    QGroupBox *box = group(window, groupTitle);
    return box ? box->findChildren<QLineEdit *>() : QList<QLineEdit *>();
}

// The window puts its log lines into the view once per event-loop turn, and
// only while it is shown; put them in now so the view holds every line so far.
inline QPlainTextEdit *logView(QWidget *window)
{
    QMetaObject::invokeMethod(window, "showLog");
    return window->findChild<QPlainTextEdit *>();
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

using support::freePort;

} // namespace probe
