#pragma once

#include <QLocalServer>
#include <QString>

class QWidget;

// What the application shell needs from the operating system, one file per OS.

// The platform's own foreground step; on Windows the input-attachment dance,
// elsewhere the window manager already got Qt's activation request.
void takeForeground(QWidget *window);

// The user this process runs as, fit for a name: the uid on Unix, the SID on Windows.
QString currentUserId();

// Whether standard error is a terminal someone reads (not a pipe, a file or nothing).
bool stderrIsTerminal();

// The failure sound of the gateway itself, for when no browser can sound it:
// the system's error sound on Windows; the desktop's bell, or without a
// desktop the terminal's, elsewhere.
void playFailureBeep(bool desktop);

// Who may write to the quit channel: the user, and on Windows also the
// administrators (Setup.exe runs as one), whom a pipe's default access admits.
QLocalServer::SocketOptions quitChannelAccess();
