#pragma once

#include "BrowserPlatform.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// One program run with root rights: its full path, its arguments and what
// it reads on standard input.
struct ElevatedCommand
{
    QString program;
    QStringList arguments;
    QByteArray input;
};

// Managed policy files under /etc, elevation through pkexec, the process list
// in /proc and window activation through X11.
class LinuxBrowserPlatform : public BrowserPlatform
{
public:
    // Runs the command with root rights; `done` gets true when it ran and exited with 0.
    using ElevatedRunner = std::function<void(const ElevatedCommand &command, PolicyChangeDone done)>;

    // Tests pass a folder of their own in place of /etc and a runner that
    // does not ask for rights.
    explicit LinuxBrowserPlatform(QString policyRoot = QStringLiteral("/etc"),
                                  ElevatedRunner runner = runAsRoot);

    // Entries are named "<folder>/<file>#<position>", relative to the policy root.
    QList<PolicyEntry> policyEntries(const QString &browserKey) override;
    void addPolicyEntry(const QString &browserKey, const QString &name, const QString &value,
                        PolicyChangeDone done) override;
    void removePolicyEntry(const QString &browserKey, const QString &name, PolicyChangeDone done) override;

    QStringList browserImageNames(const QString &browserKey) const override;
    bool isProcessRunning(const QString &imageName) override;

    bool bringBrowserToFront() override;
    // Browsers on Linux honour the managed policy files on any computer.
    bool ignoresOffStoreInstalls(const QString &) override { return false; }

    // The browser's policy folder, relative to the policy root.
    static QString policyFolder(const QString &browserKey);
    // The file that install writes in it.
    static QString ownPolicyFileName();

    // The one elevated step that puts `content` in place as that file:
    // tools by their full paths (never through PATH), the content on standard
    // input (never a file the user could change meanwhile), written to a
    // temporary name in the folder and renamed, so that a failure never
    // leaves a policy file cut short.
    static ElevatedCommand policyWriteCommand(const QString &folder, const QString &file, const QByteArray &content);

    // Directly when already root, otherwise through /usr/bin/pkexec; false
    // when neither is possible or the prompt is refused.
    static void runAsRoot(const ElevatedCommand &command, PolicyChangeDone done);

private:
    void writePolicyFile(const QString &relativePath, const QByteArray &content, PolicyChangeDone done);
    std::optional<QByteArray> readPolicyFile(const QString &relativePath) const;

    QString root;
    ElevatedRunner runElevated;
};

// The X11 top-level window that bringBrowserToFront raises: the first
// unowned window, topmost first, whose title passes the browser test.
// 0 when there is none or no X11 display.
quint32 findBrowserWindow();
