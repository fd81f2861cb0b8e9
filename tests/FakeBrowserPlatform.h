#pragma once

// An in-memory browser platform: policy entries per browser key, running
// image names, an optional browser window, and a record of what was asked.
#include "BrowserPlatform.h"

#include <QHash>
#include <QList>
#include <QStringList>

class FakeBrowserPlatform : public BrowserPlatform
{
public:
    QHash<QString, QList<PolicyEntry>> entries;
    QStringList running; // compared without letter case
    bool refuseElevation = false; // every add or remove fails like a dismissed prompt
    bool hasBrowserWindow = true;
    QStringList calls; // "add <key> <name> <value>", "remove <key> <name>", "front"
    QStringList processQueries; // image names asked for, in order

    QList<PolicyEntry> policyEntries(const QString &browserKey) override { return entries.value(browserKey); }

    bool addPolicyEntry(const QString &browserKey, const QString &name, const QString &value) override
    {
        calls << QStringLiteral("add %1 %2 %3").arg(browserKey, name, value);
        if (!refuseElevation)
            entries[browserKey].append({name, value});
        return !refuseElevation;
    }

    bool removePolicyEntry(const QString &browserKey, const QString &name) override
    {
        calls << QStringLiteral("remove %1 %2").arg(browserKey, name);
        return !refuseElevation
            && entries[browserKey].removeIf([&](const PolicyEntry &e) { return e.name == name; }) > 0;
    }

    QStringList browserImageNames(const QString &browserKey) const override
    {
        return {browserKey == QLatin1String("Microsoft\\Edge") ? QStringLiteral("msedge.exe")
                                                                : QStringLiteral("chrome.exe")};
    }

    bool isProcessRunning(const QString &imageName) override
    {
        processQueries << imageName;
        return running.contains(imageName, Qt::CaseInsensitive);
    }

    bool bringBrowserToFront() override
    {
        calls << QStringLiteral("front");
        return hasBrowserWindow;
    }
};
