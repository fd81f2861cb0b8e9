// The main window as a user meets it: start-up, the stored port, the TCP badge.
#include "BuildVersion.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QSpinBox>
#include <QTcpSocket>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    quint16 port = 0;

    std::unique_ptr<MainWindow> makeWindow()
    {
        port = probe::freePort();
        QSettings().setValue(QStringLiteral("tcpPort"), port);
        return std::make_unique<MainWindow>(testParts());
    }

private slots:
    void init() { QSettings().clear(); }

    void buildVersion()
    {
        QCOMPARE(buildVersionText("Jun  7 2026", "13:14:35"), QStringLiteral("V.2026.06.07.13"));
        // An unknown month is January, also one that spans two names in the lookup text.
        QCOMPARE(buildVersionText("Xyz 15 2026", "09:00:00"), QStringLiteral("V.2026.01.15.09"));
        QCOMPARE(buildVersionText("anF 02 2026", "10:00:00"), QStringLiteral("V.2026.01.02.10"));
    }

    void startsHiddenWithItsTitleAndStartupLog()
    {
        auto window = makeWindow();
        QVERIFY(!window->isVisible());
        QVERIFY(QRegularExpression(QStringLiteral("^Thornvaleworks Fieldpost \\(Plugin\\) V\\.\\d{4}\\.\\d\\d\\.\\d\\d\\.\\d\\d$"))
                    .match(window->windowTitle())
                    .hasMatch());

        const QStringList log = probe::logMessages(window.get());
        const int ready = log.indexOf(QStringLiteral("Ready. Connect the browser plugin."));
        const int listening = log.indexOf(QStringLiteral("TCP: listening on port %1").arg(port));
        QVERIFY2(ready >= 0 && listening > ready, qPrintable(log.join(QLatin1Char('\n'))));
        QCOMPARE(probe::pluginBadge(window.get())->text(), QStringLiteral("Disconnected"));
        QVERIFY(probe::pluginBadge(window.get())->styleSheet().contains(QStringLiteral("background:#c0392b")));
    }

    // A stored port the spin box cannot show is brought into its range.
    void storedPortIsClamped()
    {
        for (const auto &[stored, shown] : {std::pair{QVariant(), 20296}, {QVariant(70000), 65535}}) {
            if (stored.isValid())
                QSettings().setValue(QStringLiteral("tcpPort"), stored);
            MainWindow window(testParts());
            QCOMPARE(window.findChild<QSpinBox *>()->value(), shown);
        }
    }

    void tcpBadgeFollowsTheListener()
    {
        auto window = makeWindow();
        QLabel *badge = probe::tcpBadge(window.get());
        QCOMPARE(badge->text(), QStringLiteral("Listening (waiting)"));
        QVERIFY(badge->styleSheet().contains(QStringLiteral("background:#b9770e")));

        QTcpSocket product;
        product.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(badge->text(), QStringLiteral("Connected"));
        QVERIFY(badge->styleSheet().contains(QStringLiteral("background:#1e8449")));

        product.disconnectFromHost();
        QTRY_COMPARE(badge->text(), QStringLiteral("Listening (waiting)"));

        // "Reset" onto a port someone else holds ends at "Stopped", and says it reset.
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        window->findChild<QSpinBox *>()->setValue(squatter.serverPort());
        probe::button(window.get(), QStringLiteral("Reset"))->click();
        QCOMPARE(badge->text(), QStringLiteral("Stopped"));
        QVERIFY(badge->styleSheet().contains(QStringLiteral("background:#c0392b")));
        const QStringList log = probe::logMessages(window.get());
        QVERIFY(log.last() == QStringLiteral("TCP: listening restarted (Reset)."));
        QVERIFY(log.at(log.size() - 2).startsWith(QStringLiteral("TCP: failed to listen on port %1 (").arg(squatter.serverPort())));
        // The new port is stored even though listening failed.
        QCOMPARE(QSettings().value(QStringLiteral("tcpPort")).toInt(), int(squatter.serverPort()));
    }

    void checkBoxesAreStoredAtOnce()
    {
        auto window = makeWindow();
        QCheckBox *enter = probe::checkBox(window.get(), QStringLiteral("Simulate Enter key after filling"));
        QCheckBox *click = probe::checkBox(window.get(), QStringLiteral("Click this button after filling"));
        QVERIFY(enter->isChecked());
        QVERIFY(!click->isChecked());
        enter->click();
        click->click();
        QCOMPARE(QSettings().value(QStringLiteral("simulateEnter")).toBool(), false);
        QCOMPARE(QSettings().value(QStringLiteral("clickButton")).toBool(), true);

    }
};

FIELDPOST_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
