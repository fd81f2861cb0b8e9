#include "InstallCommand.h"

#include "Browsers.h"
#include "ExtensionPolicy.h"
#include "InstallController.h"

#include <QEventLoop>
#include <QStringList>

#include <cstdio>

namespace {

void print(FILE *to, const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), to);
    std::fflush(to);
}

} // namespace

int runPluginCommand(bool install, const QString &browsers)
{
    QList<const Browser *> named;
    for (const QString &word : browsers.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString name = word.trimmed().toLower();
        bool known = false;
        for (const Browser &browser : supportedBrowsers()) {
            if (name == QLatin1String("all") || name == browser.commandName) {
                known = true;
                if (!named.contains(&browser))
                    named << &browser;
            }
        }
        if (!known) {
            print(stderr, QStringLiteral("fieldpost: no browser called \"%1\" (chrome, edge, chromium or all)").arg(word));
            return 2;
        }
    }
    if (named.isEmpty()) {
        print(stderr, QStringLiteral("fieldpost: name the browsers: chrome, edge, chromium or all"));
        return 2;
    }

    InstallController controller(createSystemPlatform());
    QObject::connect(&controller, &InstallController::logMessage, &controller,
                     [](const QString &line) { print(stdout, line); });
    controller.refresh();
    bool allDone = true;
    for (const Browser *browser : named) {
        QEventLoop loop;
        QObject::connect(&controller, &InstallController::changeFinished, &loop, &QEventLoop::quit);
        if (install)
            controller.install(browser->key);
        else
            controller.uninstall(browser->key);
        loop.exec();
        allDone &= controller.isInstalled(browser->key) == install;
    }
    return allDone ? 0 : 1;
}
