#include "ExtensionPolicy.h"

#include <QTimer>

#include <algorithm>

QString policyRegistryPath(const QString &browserKey)
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Policies\\") + browserKey
        + QStringLiteral("\\ExtensionInstallForcelist");
}

QString policyRegKeyPath(const QString &browserKey)
{
    return QStringLiteral("HKLM\\Software\\Policies\\") + browserKey + QStringLiteral("\\ExtensionInstallForcelist");
}

QString regAddArguments(const QString &keyPath, const QString &name, const QString &value)
{
    // One pass, so a "%1" inside the value is never substituted again.
    return QStringLiteral("add \"%1\" /v \"%2\" /t REG_SZ /d \"%3\" /f").arg(keyPath, name, value);
}

QString regDeleteArguments(const QString &keyPath, const QString &name)
{
    return QStringLiteral("delete \"%1\" /v \"%2\" /f").arg(keyPath, name);
}

PolicyChange planPolicyChange(const QList<PolicyEntry> &entries, const QString &value, bool install)
{
    int highest = 0;
    QString match;
    for (const PolicyEntry &entry : entries) {
        bool numeric = false;
        const int number = entry.name.toInt(&numeric, 10);
        if (numeric)
            highest = std::max(highest, number);
        if (entry.value == value)
            match = entry.name;
    }

    PolicyChange change;
    if (install && match.isEmpty()) {
        change.action = PolicyChange::Add;
        // Counted wide so that a name of INT_MAX gives the next number, not an overflow.
        change.name = QString::number(qint64(highest) + 1);
    } else if (!install && !match.isEmpty()) {
        change.action = PolicyChange::Remove;
        change.name = match;
    }
    return change;
}

bool isExtensionInstalled(BrowserPlatform &platform, const QString &browserKey, const QString &value)
{
    const QList<PolicyEntry> entries = platform.policyEntries(browserKey);
    return std::any_of(entries.cbegin(), entries.cend(), [&](const PolicyEntry &e) { return e.value == value; });
}

void setExtensionPolicy(BrowserPlatform &platform, const QString &browserKey, const QString &value, bool install,
                        PolicyChangeDone done)
{
    const PolicyChange change = planPolicyChange(platform.policyEntries(browserKey), value, install);
    switch (change.action) {
    case PolicyChange::Add:
        platform.addPolicyEntry(browserKey, change.name, value, std::move(done));
        return;
    case PolicyChange::Remove:
        platform.removePolicyEntry(browserKey, change.name, std::move(done));
        return;
    case PolicyChange::Nothing:
        break;
    }
    finishPolicyChangeLater(std::move(done), true);
}

void finishPolicyChangeLater(PolicyChangeDone done, bool ok)
{
    QTimer::singleShot(0, [done = std::move(done), ok] { done(ok); });
}
