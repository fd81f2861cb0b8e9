// What the window adds to the core: start-up, the title, the badges, the
// widgets that show and drive the core's choices, and showing itself on a pick.
#include "BuildVersion.h"
#include "FrameFormat.h"
#include "PluginSocket.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QJsonDocument>
#include <QSpinBox>
#include <QTcpServer>
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
        auto window = std::make_unique<MainWindow>(testParts());
        if (!probe::logMessages(window.get()).contains(QStringLiteral("WebSocket: listening on ws://127.0.0.1:9000")))
            qWarning("port 9000 is taken by another program");
        return window;
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
        QCOMPARE(probe::label(window.get(), "pluginStatusLabel")->text(), QStringLiteral("Disconnected"));
        QVERIFY(probe::label(window.get(), "pluginStatusLabel")->styleSheet().contains(QStringLiteral("background:#c0392b")));
    }

    // A stored port the spin box cannot show is brought into its range.
    void storedPortIsClamped()
    {
        for (const auto &[stored, shown] : {std::pair{QVariant(), 20296}, {QVariant(70000), 65535}, {QVariant("x"), 1}}) {
            QSettings().setValue(QStringLiteral("tcpPort"), stored);
            if (!stored.isValid())
                QSettings().remove(QStringLiteral("tcpPort"));
            MainWindow window(testParts());
            QCOMPARE(probe::find<QSpinBox>(&window, "portSpinBox")->value(), shown);
        }
    }

    void tcpBadgeFollowsTheListener()
    {
        auto window = makeWindow();
        QLabel *badge = probe::label(window.get(), "tcpStatusLabel");
        QCOMPARE(badge->text(), QStringLiteral("Listening (waiting)"));
        QVERIFY(badge->styleSheet().contains(QStringLiteral("background:#b9770e")));

        QTcpSocket product;
        product.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(badge->text(), QStringLiteral("Connected"));
        QVERIFY(badge->styleSheet().contains(QStringLiteral("background:#1e8449")));
        product.disconnectFromHost();
        QTRY_COMPARE(badge->text(), QStringLiteral("Listening (waiting)"));

        // "Reset" takes the spin box's port; onto one someone else holds it ends at "Stopped".
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        probe::find<QSpinBox>(window.get(), "portSpinBox")->setValue(squatter.serverPort());
        probe::button(window.get(), "resetButton")->click();
        QCOMPARE(badge->text(), QStringLiteral("Stopped"));
        QCOMPARE(QSettings().value(QStringLiteral("tcpPort")).toInt(), int(squatter.serverPort()));
    }

    // Picks show in the window and bring it up; the options and the test value drive the core.
    void widgetsShowAndDriveTheCore()
    {
        auto window = makeWindow();
        PluginSocket plugin;
        QList<QJsonObject> fills;
        bool greeted = false;
        connect(&plugin, &PluginSocket::textMessageReceived, this, [&](const QString &text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            greeted = true;
            if (message.value(QLatin1String("type")).toString() == QLatin1String("fill"))
                fills << message;
        });
        plugin.open(QUrl(QStringLiteral("ws://127.0.0.1:9000")));
        // The hello: the link is open at both ends.
        QTRY_VERIFY(greeted);
        QCOMPARE(probe::label(window.get(), "pluginStatusLabel")->text(), QStringLiteral("Connected"));

        const auto pick = [&](const char *kind, const char *field) {
            plugin.sendTextMessage(QStringLiteral("{\"type\":\"picked\",\"kind\":\"%1\",\"url\":\"https://shop.example/order\",\"field\":%2}")
                                       .arg(QLatin1String(kind), QLatin1String(field)));
        };
        QVERIFY(!window->isVisible());
        pick("field", "{\"label\":\"Qty\",\"tag\":\"input\",\"type\":\"number\"}");
        QTRY_COMPARE(probe::edit(window.get(), "destFieldEdit")->text(), QStringLiteral("Qty  [input/number]"));
        QCOMPARE(probe::edit(window.get(), "destUrlEdit")->text(), QStringLiteral("https://shop.example/order"));
        QVERIFY(window->isVisible());
        pick("button", "{\"label\":\"Save\",\"tag\":\"button\"}");
        QTRY_COMPARE(probe::edit(window.get(), "buttonEdit")->text(), QStringLiteral("Save  [button]"));

        probe::find<QCheckBox>(window.get(), "simulateEnterCheck")->click();
        probe::find<QCheckBox>(window.get(), "clickButtonCheck")->click();
        // The options are the core's: stored at once, read at the next start.
        for (const char *name : {"soundOnFailureCheck", "soundOnSuccessCheck", "flashFieldCheck"})
            probe::find<QCheckBox>(window.get(), name)->click();
        probe::find<QSpinBox>(window.get(), "repeatWindowSpinBox")->setValue(3);
        QCOMPARE(QSettings().value(QStringLiteral("soundOnFailure")), QVariant(false));
        QCOMPARE(QSettings().value(QStringLiteral("soundOnSuccess")), QVariant(true));
        QCOMPARE(QSettings().value(QStringLiteral("flashField")), QVariant(false));
        QCOMPARE(QSettings().value(QStringLiteral("repeatWindowSeconds")).toInt(), 3);
        QLineEdit *value = probe::edit(window.get(), "testValueEdit");
        value->setText(QStringLiteral("T-1"));
        QTest::keyClick(value, Qt::Key_Return);
        probe::button(window.get(), "accent")->click();
        QTRY_COMPARE(fills.size(), 2);
        for (const QJsonObject &fill : fills) {
            QCOMPARE(fill.value(QLatin1String("value")).toString(), QStringLiteral("T-1"));
            QCOMPARE(fill.value(QLatin1String("pressEnter")).toBool(), false);
            QCOMPARE(fill.value(QLatin1String("clickButton")).toBool(), true);
        }
    }
};

FIELDPOST_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
