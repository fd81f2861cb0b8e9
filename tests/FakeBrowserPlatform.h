#pragma once

// An in-memory browser platform for window tests: policy entries per browser
// key, a set of running image names, a browser window that may or may not be
// there, and a record of every change and activation asked for.
#include "BrowserPlatform.h"

#include <QHash>
#include <QList>
#include <QStringList>

class FakeBrowserPlatform : public BrowserPlatform
{
public:
    QHash<QString, QList<PolicyEntry>> entries;
    // Image names that count as running, compared without letter case.
    QStringList running;
    // When true every add or remove fails as a refused elevation prompt would.
    bool refuseElevation = false;
    bool hasBrowserWindow = true;

    // "add <key> <name> <value>", "remove <key> <name>", "front"
    QStringList calls;
    // Image names asked for, in order.
    QStringList processQueries;

    QList<PolicyEntry> policyEntries(const QString &browserKey) override { return entries.value(browserKey); }

    bool addPolicyEntry(const QString &browserKey, const QString &name, const QString &value) override
    {
        calls << QStringLiteral("add %1 %2 %3").arg(browserKey, name, value);
        if (refuseElevation)
            return false;
        entries[browserKey].append({name, value});
        return true;
    }

    bool removePolicyEntry(const QString &browserKey, const QString &name) override
    {
        calls << QStringLiteral("remove %1 %2").arg(browserKey, name);
        if (refuseElevation)
            return false;
        QList<PolicyEntry> &list = entries[browserKey];
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (list.at(i).name == name) {
                list.removeAt(i);
                return true;
            }
        }
        return false;
    }

    QStringList browserImageNames(const QString &browserKey) const override
    {
        if (browserKey == QLatin1String("Microsoft\\Edge"))
            return {QStringLiteral("msedge.exe")};
        if (browserKey == QLatin1String("Google\\Chrome"))
            return {QStringLiteral("chrome.exe")};
        return {};
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
