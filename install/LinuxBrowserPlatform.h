#pragma once

#include "BrowserPlatform.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Managed policy files under /etc, elevation through pkexec, the process list
// in /proc and window activation through X11.
class LinuxBrowserPlatform : public BrowserPlatform
{
public:
    // Runs one program with root rights; true when it ran and exited with 0.
    using ElevatedRunner = std::function<bool(const QString &program, const QStringList &arguments)>;

    // Tests pass a folder of their own in place of /etc and a runner that
    // does not ask for rights.
    explicit LinuxBrowserPlatform(QString policyRoot = QStringLiteral("/etc"),
                                  ElevatedRunner runner = runAsRoot);

    // Entries are named "<folder>/<file>#<position>", relative to the policy root.
    QList<PolicyEntry> policyEntries(const QString &browserKey) override;
    bool addPolicyEntry(const QString &browserKey, const QString &name, const QString &value) override;
    bool removePolicyEntry(const QString &browserKey, const QString &name) override;

    QStringList browserImageNames(const QString &browserKey) const override;
    bool isProcessRunning(const QString &imageName) override;

    bool bringBrowserToFront() override;

    // Policy folders of a browser, relative to the policy root; the first is
    // the browser's own, any further one belongs to a sibling build.
    static QStringList policyFolders(const QString &browserKey);
    // The file that install writes in each folder.
    static QString ownPolicyFileName();

    // Directly when already root, otherwise through pkexec; false when
    // neither is possible or the prompt is refused.
    static bool runAsRoot(const QString &program, const QStringList &arguments);

private:
    struct PolicyFileWrite
    {
        QString relativePath;
        QByteArray content;
    };
    // Puts all files in place with one elevated run; true when nothing was to write.
    bool writePolicyFiles(const QList<PolicyFileWrite> &writes);
    std::optional<QByteArray> readPolicyFile(const QString &relativePath) const;

    QString root;
    ElevatedRunner runElevated;
};

// The X11 top-level window that bringBrowserToFront raises: the first
// unowned window, topmost first, whose title passes the browser test.
// 0 when there is none or no X11 display.
quint32 findBrowserWindow();
