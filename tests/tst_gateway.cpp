// The gateway end to end through its real sockets: a WebSocket client plays
// the plugin, a TCP client plays the companion product.
#include "FrameFormat.h"
#include "PluginSocket.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpSocket>

#include <memory>

namespace {

// JSON written with single quotes: this moc mis-parses raw string literals.
QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text).replace('\'', '"')).object();
}

const QJsonObject qtyField = json("{'label':'Qty','tag':'input','type':'number','id':'qty','css':'form > input:nth-of-type(2)'}");
const QJsonObject saveButton = json("{'label':'Save','tag':'button','id':'save','frame':[0]}");

// Stands in for the browser plugin.
class FakePlugin : public QObject
{
public:
    PluginSocket socket;
    QList<QJsonObject> received;

    FakePlugin()
    {
        connect(&socket, &PluginSocket::textMessageReceived, this,
                [this](const QString &text) { received << QJsonDocument::fromJson(text.toUtf8()).object(); });
    }

    bool open()
    {
        QSignalSpy connected(&socket, &PluginSocket::connected);
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:9000")));
        // The hello tells that the gateway has counted us as connected.
        return connected.wait(5000) && waitFor(QStringLiteral("hello"));
    }

    void send(const QJsonObject &message)
    {
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }

    void pick(const QString &kind, const QString &url, const QJsonObject &field)
    {
        send({{"type", "picked"}, {"kind", kind}, {"url", url}, {"field", field}});
    }

    bool waitFor(const QString &type)
    {
        return QTest::qWaitFor([&] { return !messagesOfType(type).isEmpty(); }, 5000);
    }

    QList<QJsonObject> messagesOfType(const QString &type) const
    {
        QList<QJsonObject> found;
        for (const QJsonObject &message : received)
            if (message.value(QLatin1String("type")).toString() == type)
                found << message;
        return found;
    }
};

} // namespace

class TestGateway : public QObject
{
    Q_OBJECT

private:
    quint16 tcpPort = 0;
    std::unique_ptr<MainWindow> window;
    QTcpSocket product;

    void startWindow()
    {
        tcpPort = probe::freePort();
        QSettings().setValue(QStringLiteral("tcpPort"), tcpPort);
        window = std::make_unique<MainWindow>(testParts());
        QVERIFY2(logHas(QStringLiteral("WebSocket: listening on ws://127.0.0.1:9000")),
                 "port 9000 is taken by another program");
    }

    void sendLine(const QByteArray &line)
    {
        if (product.state() != QAbstractSocket::ConnectedState) {
            product.connectToHost(QHostAddress::LocalHost, tcpPort);
            QVERIFY(product.waitForConnected(3000));
        }
        product.write(encodeFrame(line));
        product.flush();
    }

    bool logHas(const QString &line) const { return probe::logMessages(window.get()).contains(line); }

    // The log lines that follow the first occurrence of `line`.
    QStringList logAfter(const QString &line) const
    {
        const QStringList log = probe::logMessages(window.get());
        const int at = log.indexOf(line);
        return at < 0 ? QStringList() : log.mid(at + 1);
    }

private slots:
    void init() { QSettings().clear(); }

    void cleanup()
    {
        product.abort();
        window.reset();
    }

    void fillCarriesTheChoices_data()
    {
        QTest::addColumn<bool>("enter");
        QTest::addColumn<bool>("clickBox");
        QTest::addColumn<bool>("buttonChosen");
        QTest::addColumn<bool>("click");
        QTest::newRow("enter, no button") << true << false << false << false;
        QTest::newRow("click wanted but no button chosen") << true << true << false << false;
        QTest::newRow("click without enter") << false << true << true << true;
    }

    void fillCarriesTheChoices()
    {
        QFETCH(bool, enter);
        QFETCH(bool, clickBox);
        QFETCH(bool, buttonChosen);
        QFETCH(bool, click);
        QSettings().setValue(QStringLiteral("simulateEnter"), enter);
        QSettings().setValue(QStringLiteral("clickButton"), clickBox);
        startWindow();
        FakePlugin plugin;
        QVERIFY(plugin.open());

        plugin.pick(QStringLiteral("field"), QStringLiteral("https://shop.example/order"), qtyField);
        QTRY_VERIFY(logHas(QStringLiteral("Field selected: Qty  [input/number]")));
        if (buttonChosen) {
            plugin.pick(QStringLiteral("button"), QStringLiteral("https://shop.example/order"), saveButton);
            QTRY_VERIFY(logHas(QStringLiteral("Button selected: Save  [button]")));
        }

        sendLine("A-1");
        QVERIFY(plugin.waitFor(QStringLiteral("fill")));
        const QJsonObject expected{{"type", "fill"},
                                   {"target", qtyField},
                                   {"value", "A-1"},
                                   {"pressEnter", enter},
                                   {"button", buttonChosen ? saveButton : QJsonObject()},
                                   {"clickButton", click},
                                   {"clickDelayMs", 300}};
        QCOMPARE(plugin.messagesOfType(QStringLiteral("fill")), QList<QJsonObject>{expected});

        QString sent = QStringLiteral("\u2192 Sent \"A-1\" to field \"Qty  [input/number]\" (Enter: %1)")
                           .arg(enter ? QStringLiteral("yes") : QStringLiteral("no"));
        if (click)
            sent += QStringLiteral(" + click button \"Save  [button]\" after 0.3s");
        QCOMPARE(logAfter(QStringLiteral("TCP received: \"A-1\"")).value(0), sent);
    }

    void answersAreLogged()
    {
        startWindow();
        FakePlugin plugin;
        QVERIFY(plugin.open());
        plugin.send({{"type", "fillResult"}, {"ok", true}});
        plugin.send({{"type", "fillResult"}, {"ok", false}, {"error", "field not found"}});
        plugin.send({{"type", "fillResult"}, {"ok", "true"}});
        plugin.send({{"type", "buttonClicked"}, {"ok", true}});
        plugin.send({{"type", "buttonClicked"}, {"ok", false}, {"error", "button is disabled"}});
        QTRY_VERIFY(logHas(QStringLiteral("Button click FAILED: button is disabled")));
        QCOMPARE(logAfter(QStringLiteral("Ready. Connect the browser plugin.")).filter(QRegularExpression("^(Fill|Button)")),
                 (QStringList{QStringLiteral("Fill OK."), QStringLiteral("Fill FAILED: field not found"),
                              QStringLiteral("Fill FAILED: "), QStringLiteral("Button clicked."),
                              QStringLiteral("Button click FAILED: button is disabled")}));
    }

    void linesAreIgnoredWithAReason_data()
    {
        QTest::addColumn<bool>("destination");
        QTest::addColumn<QString>("reason");
        // Without a plugin either: the destination is the first thing missing.
        QTest::newRow("nothing chosen") << false << QStringLiteral("\u2192 No destination field selected, ignored.");
        QTest::newRow("chosen, no plugin") << true << QStringLiteral("\u2192 Plugin not connected, ignored.");
    }

    void linesAreIgnoredWithAReason()
    {
        QFETCH(bool, destination);
        QFETCH(QString, reason);
        if (destination) {
            QSettings().setValue(QStringLiteral("lastDestField"), QJsonDocument(qtyField).toJson(QJsonDocument::Compact));
            QSettings().setValue(QStringLiteral("lastDestUrl"), QStringLiteral("https://shop.example/order"));
        }
        startWindow();
        sendLine("ABC");
        QTRY_VERIFY(logHas(QStringLiteral("TCP received: \"ABC\"")));
        QCOMPARE(logAfter(QStringLiteral("TCP received: \"ABC\"")), QStringList{reason});
    }

    void testGroupSendsTheTypedValue()
    {
        startWindow();
        QLineEdit *value = probe::lineEdits(window.get(), QStringLiteral("Test")).value(0);
        QVERIFY(value);
        QPushButton *test = probe::button(window.get(), QStringLiteral("Test (send to browser)"));

        test->click();
        QCOMPARE(probe::logMessages(window.get()).last(), QStringLiteral("Test: no destination field selected."));

        FakePlugin plugin;
        QVERIFY(plugin.open());
        plugin.pick(QStringLiteral("field"), QStringLiteral("https://shop.example/order"), qtyField);
        QTRY_VERIFY(logHas(QStringLiteral("Field selected: Qty  [input/number]")));

        // Return in the value field sends exactly as the button does, empty value included.
        value->clear();
        QTest::keyClick(value, Qt::Key_Return);
        QVERIFY(plugin.waitFor(QStringLiteral("fill")));
        QCOMPARE(plugin.messagesOfType(QStringLiteral("fill")).first().value(QLatin1String("value")).toString(),
                 QString());
        QCOMPARE(probe::logMessages(window.get()).last(),
                 QStringLiteral("\u2192 Sent \"\" to field \"Qty  [input/number]\" (Enter: yes)"));
        QVERIFY(probe::logMessages(window.get()).filter(QStringLiteral("TCP received")).isEmpty());

        plugin.socket.close();
        QTRY_COMPARE(probe::pluginBadge(window.get())->text(), QStringLiteral("Disconnected"));
        test->click();
        QCOMPARE(probe::logMessages(window.get()).last(), QStringLiteral("Test: plugin not connected."));
    }

    void pickModeAsksThePluginAndAPickShowsTheWindow()
    {
        startWindow();
        QPushButton *pickField = probe::button(window.get(), QStringLiteral("Select a field in the browser "));
        QPushButton *pickButton = probe::button(window.get(), QStringLiteral("Select a button in the browser "));
        QVERIFY(pickField && pickButton);

        pickField->click();
        QCOMPARE(probe::logMessages(window.get()).last(), QStringLiteral("Plugin not connected."));

        FakePlugin plugin;
        QVERIFY(plugin.open());
        QCOMPARE(probe::pluginBadge(window.get())->text(), QStringLiteral("Connected"));
        QVERIFY(probe::pluginBadge(window.get())->styleSheet().contains(QStringLiteral("background:#1e8449")));
        pickField->click();
        pickButton->click();
        QTRY_COMPARE(plugin.messagesOfType(QStringLiteral("pickMode")).size(), 2);
        QCOMPARE(plugin.messagesOfType(QStringLiteral("pickMode")),
                 (QList<QJsonObject>{{{"type", "pickMode"}, {"enabled", true}, {"kind", "field"}},
                                     {{"type", "pickMode"}, {"enabled", true}, {"kind", "button"}}}));
        QVERIFY(logHas(QStringLiteral("Pick mode enabled \u2014 click the target field in the browser.")));
        QVERIFY(logHas(QStringLiteral("Pick mode enabled \u2014 click the target button in the browser.")));

        QVERIFY(!window->isVisible());
        // Only "button" exactly picks the button; any other kind picks the field.
        plugin.pick(QStringLiteral("Button"), QStringLiteral("https://a.example/"), saveButton);
        QTRY_VERIFY(logHas(QStringLiteral("Field selected: Save  [button]")));
        QVERIFY(window->isVisible());
        // A pick ends pick mode in every other connected browser too.
        QTRY_COMPARE(plugin.messagesOfType(QStringLiteral("pickMode")).size(), 3);
        QCOMPARE(plugin.messagesOfType(QStringLiteral("pickMode")).last(),
                 (QJsonObject{{"type", "pickMode"}, {"enabled", false}, {"kind", "Button"}}));
        plugin.pick(QString(), QStringLiteral("https://a.example/"), qtyField);
        QTRY_VERIFY(logHas(QStringLiteral("Field selected: Qty  [input/number]")));
    }

    void choicesSurviveARestart()
    {
        startWindow();
        {
            FakePlugin plugin;
            QVERIFY(plugin.open());
            plugin.pick(QStringLiteral("field"), QStringLiteral("https://shop.example/order"), qtyField);
            plugin.pick(QStringLiteral("button"), QStringLiteral("https://shop.example/order"), saveButton);
            QTRY_VERIFY(logHas(QStringLiteral("Button selected: Save  [button]")));
        }
        QCOMPARE(QSettings().value(QStringLiteral("dest/https://shop.example/order")).toString(),
                 QString::fromUtf8(QJsonDocument(qtyField).toJson(QJsonDocument::Compact)));
        window.reset();

        startWindow();
        QVERIFY(logHas(QStringLiteral("Last destination restored: Qty  [input/number]")));
        QVERIFY(logHas(QStringLiteral("Last button restored: Save  [button]")));
        const QList<QLineEdit *> dest = probe::lineEdits(window.get(), QStringLiteral("Web browser field destination"));
        QCOMPARE(dest.value(0)->text(), QStringLiteral("Qty  [input/number]"));
        QCOMPARE(dest.value(1)->text(), QStringLiteral("https://shop.example/order"));

        // The restored descriptors go back to the plugin untouched.
        probe::checkBox(window.get(), QStringLiteral("Click this button after filling"))->setChecked(true);
        FakePlugin plugin;
        QVERIFY(plugin.open());
        sendLine("7");
        QVERIFY(plugin.waitFor(QStringLiteral("fill")));
        const QJsonObject fill = plugin.messagesOfType(QStringLiteral("fill")).first();
        QCOMPARE(fill.value(QLatin1String("target")).toObject(), qtyField);
        QCOMPARE(fill.value(QLatin1String("button")).toObject(), saveButton);
        QCOMPARE(fill.value(QLatin1String("clickButton")).toBool(), true);
    }

    // The stored button comes back only with a stored destination, even one that cannot be read.
    void restoreRules_data()
    {
        QTest::addColumn<QString>("lastDestField");
        QTest::addColumn<QString>("shownButton");
        QTest::newRow("no destination stored") << QString() << "";
        QTest::newRow("destination not JSON") << "{oops" << "Save  [button]";
    }

    void restoreRules()
    {
        QFETCH(QString, lastDestField);
        QFETCH(QString, shownButton);
        QSettings settings;
        settings.setValue(QStringLiteral("lastButton"), QJsonDocument(saveButton).toJson(QJsonDocument::Compact));
        if (!lastDestField.isNull()) {
            settings.setValue(QStringLiteral("lastDestField"), lastDestField);
            settings.setValue(QStringLiteral("lastDestUrl"), QStringLiteral("https://x/"));
        }
        startWindow();
        QCOMPARE(probe::lineEdits(window.get(), QStringLiteral("Web browser field destination")).value(0)->text(),
                 QStringLiteral("none"));
        QCOMPARE(probe::lineEdits(window.get(), QStringLiteral("Web browser button action")).value(0)->text(),
                 shownButton);
    }

    void pickWithoutAddressIsUsedButNotStored()
    {
        QSettings().setValue(QStringLiteral("lastDestField"), QJsonDocument(saveButton).toJson(QJsonDocument::Compact));
        QSettings().setValue(QStringLiteral("lastDestUrl"), QStringLiteral("https://old.example/"));
        startWindow();
        FakePlugin plugin;
        QVERIFY(plugin.open());
        plugin.pick(QStringLiteral("field"), QString(), qtyField);
        QTRY_VERIFY(logHas(QStringLiteral("Field selected: Qty  [input/number]")));
        QCOMPARE(QSettings().value(QStringLiteral("lastDestUrl")).toString(), QStringLiteral("https://old.example/"));

        sendLine("9");
        QVERIFY(plugin.waitFor(QStringLiteral("fill")));
        QCOMPARE(plugin.messagesOfType(QStringLiteral("fill")).first().value(QLatin1String("target")).toObject(),
                 qtyField);

        // A button pick is stored even without an address.
        plugin.pick(QStringLiteral("button"), QString(), saveButton);
        QTRY_VERIFY(logHas(QStringLiteral("Button selected: Save  [button]")));
        QCOMPARE(QSettings().value(QStringLiteral("lastButton")).toString(),
                 QString::fromUtf8(QJsonDocument(saveButton).toJson(QJsonDocument::Compact)));
    }

    void fieldListChoosesItsFirstField()
    {
        startWindow();
        FakePlugin plugin;
        QVERIFY(plugin.open());
        QLineEdit *destEdit = probe::lineEdits(window.get(), QStringLiteral("Web browser field destination")).value(0);

        plugin.send({{"type", "fields"}, {"url", "https://b.example/"}, {"fields", QJsonArray{qtyField, saveButton}}});
        QTRY_COMPARE(destEdit->text(), QStringLiteral("Qty  [input/number]"));
        QCOMPARE(QSettings().value(QStringLiteral("lastDestUrl")).toString(), QStringLiteral("https://b.example/"));
    }
};

FIELDPOST_TEST_MAIN(TestGateway)
#include "tst_gateway.moc"
