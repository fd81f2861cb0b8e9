// Placeholder until the Linux platform lands.
#include "BrowserPlatform.h"

namespace {
class UnixPlatform : public BrowserPlatform
{
public:
    QList<PolicyEntry> policyEntries(const QString &) override { return {}; }
    bool addPolicyEntry(const QString &, const QString &, const QString &) override { return false; }
    bool removePolicyEntry(const QString &, const QString &) override { return false; }
    QStringList browserImageNames(const QString &) const override { return {}; }
    bool isProcessRunning(const QString &) override { return false; }
    bool bringBrowserToFront() override { return false; }
};
} // namespace

std::unique_ptr<BrowserPlatform> createSystemPlatform() { return std::make_unique<UnixPlatform>(); }
