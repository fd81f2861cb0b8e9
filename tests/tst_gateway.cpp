// The gateway's core without a window, through its real sockets: a WebSocket
// client plays the plugin, a TCP client plays the companion product.
#include "FailureNotices.h"
#include "FrameFormat.h"
#include "Gateway.h"
#include "PluginSocket.h"
#include "TestMain.h"
#include "TestSupport.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpSocket>

#include <memory>

using support::texts;

namespace {

// JSON written with single quotes: this moc mis-parses raw string literals.
QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text).replace('\'', '"')).object();
}

const QJsonObject qtyField = json("{'label':'Qty','tag':'input','type':'number','id':'qty','css':'form > input:nth-of-type(2)'}");
const QJsonObject saveButton = json("{'label':'Save','tag':'button','id':'save','frame':[0]}");
const QString order = QStringLiteral("https://shop.example/order");

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

    bool open(quint16 port)
    {
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
        // The hello tells that the gateway has counted us as connected.
        return QTest::qWaitFor([&] { return !ofType("hello").isEmpty(); }, 5000);
    }

    void send(const QJsonObject &message)
    {
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }

    void pick(const QString &kind, const QString &url, const QJsonObject &field)
    {
        send({{"type", "picked"}, {"kind", kind}, {"url", url}, {"field", field}});
    }

    void answer(const char *type, qint64 id, bool ok, const QString &error = QString())
    {
        QJsonObject message{{"type", type}, {"ok", ok}, {"error", error}};
        if (id >= 0)
            message.insert(QStringLiteral("id"), id);
        send(message);
    }

    QList<QJsonObject> ofType(const char *type) const
    {
        QList<QJsonObject> found;
        for (const QJsonObject &message : received)
            if (message.value(QLatin1String("type")).toString() == QLatin1String(type))
                found << message;
        return found;
    }

    bool waitFor(const char *type, int count = 1)
    {
        return QTest::qWaitFor([&] { return ofType(type).size() >= count; }, 5000);
    }
};

} // namespace

class TestGateway : public QObject
{
    Q_OBJECT

    quint16 tcpPort = 0;
    quint16 pluginPort = 0;
    std::unique_ptr<Gateway> gateway;
    std::unique_ptr<QSignalSpy> logs, notFilled, notClicked;
    QTcpSocket product;

    void startGateway()
    {
        tcpPort = support::freePort();
        pluginPort = support::freePort();
        QSettings().setValue(QStringLiteral("tcpPort"), tcpPort);
        logs.reset();
        gateway = std::make_unique<Gateway>(pluginPort);
        logs = std::make_unique<QSignalSpy>(gateway.get(), &Gateway::logMessage);
        notFilled = std::make_unique<QSignalSpy>(gateway.get(), &Gateway::lineNotFilled);
        notClicked = std::make_unique<QSignalSpy>(gateway.get(), &Gateway::buttonNotClicked);
        gateway->start();
        QVERIFY(gateway->isIntakeListening());
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

    bool logged(const QString &line) const { return texts(*logs).contains(line); }

    // The log lines that follow the first occurrence of `line`.
    QStringList logAfter(const QString &line) const
    {
        const QStringList all = texts(*logs);
        const qsizetype at = all.indexOf(line);
        return at < 0 ? QStringList() : all.mid(at + 1);
    }

    void pickQty(FakePlugin &plugin)
    {
        plugin.pick(QStringLiteral("field"), order, qtyField);
        QTRY_VERIFY(logged(QStringLiteral("Field selected: Qty  [input/number]")));
    }

private slots:
    void init() { QSettings().clear(); }

    void cleanup()
    {
        product.abort();
        notClicked.reset();
        notFilled.reset();
        logs.reset();
        gateway.reset();
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
        startGateway();
        gateway->setSimulateEnter(enter);
        gateway->setClickButton(clickBox);
        FakePlugin plugin;
        QVERIFY(plugin.open(pluginPort));
        pickQty(plugin);
        if (buttonChosen) {
            plugin.pick(QStringLiteral("button"), order, saveButton);
            QTRY_VERIFY(logged(QStringLiteral("Button selected: Save  [button]")));
        }

        sendLine("A-1");
        QVERIFY(plugin.waitFor("fill"));
        const QJsonObject expected{{"type", "fill"},          {"target", qtyField},
                                   {"value", "A-1"},          {"pressEnter", enter},
                                   {"button", buttonChosen ? saveButton : QJsonObject()},
                                   {"clickButton", click},    {"clickDelayMs", 300},
                                   {"id", 1},                 {"flash", true}};
        QCOMPARE(plugin.ofType("fill"), QList<QJsonObject>{expected});

        QString sent = QStringLiteral("\u2192 Sent \"A-1\" to field \"Qty  [input/number]\" (Enter: %1)")
                           .arg(enter ? QStringLiteral("yes") : QStringLiteral("no"));
        if (click)
            sent += QStringLiteral(" + click button \"Save  [button]\" after 0.3s");
        QCOMPARE(logAfter(QStringLiteral("TCP received: \"A-1\"")).value(0), sent);
        // The options are kept for the next start.
        QCOMPARE(QSettings().value(QStringLiteral("simulateEnter")).toBool(), enter);
        QCOMPARE(QSettings().value(QStringLiteral("clickButton")).toBool(), clickBox);
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
            QSettings().setValue(QStringLiteral("lastDestUrl"), order);
        }
        startGateway();
        sendLine("ABC");
        QTRY_VERIFY(logged(QStringLiteral("TCP received: \"ABC\"")));
        QCOMPARE(logAfter(QStringLiteral("TCP received: \"ABC\"")), QStringList{reason});
    }

    // Each answer goes to its line by id, or in order from a plugin without
    // ids; a line nobody answers is reported once the browser has been silent
    // for its budget, and a late answer is only logged.
    void everyLineIsAnswered()
    {
        startGateway();
        FakePlugin plugin;
        QVERIFY(plugin.open(pluginPort));
        pickQty(plugin);
        gateway->setSimulateEnter(false);
        for (const char *line : {"L1", "L2", "L3"})
            sendLine(line);
        QVERIFY(plugin.waitFor("fill", 3));
        plugin.answer("fillResult", 2, false, QStringLiteral("field not found"));
        plugin.answer("fillResult", 1, true);
        QTRY_VERIFY(logged(QStringLiteral("Fill OK.")));
        QCOMPARE(texts(*notFilled), QStringList{"field not found"});
        QCOMPARE(gateway->linesInFlight(), std::size_t(1));

        QElapsedTimer silence;
        silence.start();
        QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("\u2192 Not filled: no browser answered")), 8000);
        QVERIFY2(silence.elapsed() >= Gateway::FillBudgetMs - 1000, qPrintable(QString::number(silence.elapsed())));
        QCOMPARE(texts(*notFilled), (QStringList{"field not found", "no browser answered"}));
        plugin.answer("fillResult", 3, false, QStringLiteral("late"));
        QTRY_VERIFY(logged(QStringLiteral("Fill FAILED: late")));
        QCOMPARE(notFilled->size(), 2);

        // Without an id: the oldest open line; a click's answer to the line waiting for its click.
        gateway->setClickButton(true);
        plugin.pick(QStringLiteral("button"), order, saveButton);
        QTRY_VERIFY(logged(QStringLiteral("Button selected: Save  [button]")));
        sendLine("L4");
        QVERIFY(plugin.waitFor("fill", 4));
        plugin.answer("fillResult", -1, true);
        plugin.answer("buttonClicked", -1, false, QStringLiteral("button is disabled"));
        QTRY_COMPARE(texts(*notClicked), QStringList{"button is disabled"});
        // A click skipped after a failed fill adds nothing to the fill's own failure.
        sendLine("L4b");
        QVERIFY(plugin.waitFor("fill", 5));
        plugin.answer("fillResult", 5, false, QStringLiteral("field not found"));
        plugin.answer("buttonClicked", 5, false, QStringLiteral("button not clicked: the fill failed"));
        QTRY_COMPARE(gateway->linesInFlight(), std::size_t(0));
        QCOMPARE(notFilled->size(), 3);
        QCOMPARE(notClicked->size(), 1);

        // A plugin that leaves cannot answer any more: its lines are reported at once.
        sendLine("L5");
        QVERIFY(plugin.waitFor("fill", 6));
        plugin.socket.close();
        QTRY_COMPARE(notFilled->size(), 4);
        QCOMPARE(texts(*logs).filter(QStringLiteral("no browser answered")).size(), 2);
    }

    // Rules shape each line or reject it (a sound and a tray message), a line
    // repeated within the window is dropped, and the picking browser sounds a
    // failure while it is linked, the gateway itself otherwise, once a second at most.
    void shapingRepeatsAndSounds()
    {
        startGateway();
        int beeps = 0;
        gateway->setLocalFailureSound([&beeps] { ++beeps; });
        FakePlugin plugin;
        QVERIFY(plugin.open(pluginPort));
        plugin.send({{"type", "hello"}, {"version", "1.2.0"}, {"instance", "b-1"}});
        QJsonObject picked = qtyField;
        picked.insert(QStringLiteral("instance"), QStringLiteral("b-1"));
        plugin.pick(QStringLiteral("field"), order, picked);
        QTRY_VERIFY(logged(QStringLiteral("Field selected: Qty  [input/number]")));
        gateway->setRules({LineRule(LineRule::Kind::Trim), LineRule(LineRule::Kind::Accept, QStringLiteral("^\\d+$"))},
                          LineRules::defaultGs1Separator);
        gateway->setRepeatWindowSeconds(1);

        for (const char *line : {" 42 ", "4x2", "42", "43"})
            sendLine(line);
        QVERIFY(plugin.waitFor("fill", 2));
        QTRY_VERIFY(logged(QStringLiteral("TCP received: \"43\"")));
        QCOMPARE(texts(*logs).filter(QRegularExpression(QStringLiteral("^(TCP received|\u2192 )"))),
                 (QStringList{"TCP received: \" 42 \"", "\u2192 Shaped to \"42\"",
                              "\u2192 Sent \"42\" to field \"Qty  [input/number]\" (Enter: yes)", "TCP received: \"4x2\"",
                              "\u2192 Rejected: line does not match ^\\d+$", "TCP received: \"42\"",
                              "\u2192 Same line again within 1 s, ignored.", "TCP received: \"43\"",
                              "\u2192 Sent \"43\" to field \"Qty  [input/number]\" (Enter: yes)"}));
        QCOMPARE(texts(*notFilled), QStringList{"Rejected: line does not match ^\\d+$"});
        QCOMPARE(plugin.ofType("feedback"), (QList<QJsonObject>{{{"type", "feedback"}, {"sound", "failure"},
                                                                 {"bar", "Rejected: line does not match ^\\d+$"}, {"target", picked}}}));
        QCOMPARE(beeps, 0);
        // Past the window the same line goes again.
        QTest::qWait(1100);
        sendLine("43");
        QVERIFY(plugin.waitFor("fill", 3));

        for (qint64 id : {1, 2, 3})
            plugin.answer("fillResult", id, true);
        QTRY_COMPARE(gateway->linesInFlight(), std::size_t(0));
        plugin.socket.close();
        QTRY_VERIFY(!gateway->isPluginConnected());
        sendLine("x1");
        sendLine("x2");
        QTRY_COMPARE(notFilled->size(), 3);
        QCOMPARE(beeps, 1);
    }

    // The bookkeeping alone, on a clock of its own: a slow browser that keeps
    // answering loses nothing, a silent one loses everything past its budget.
    void linesInFlightRules()
    {
        LinesInFlight lines;
        const quint64 a = lines.add(0, 5000, false);
        const quint64 b = lines.add(100, 15000, true);
        const quint64 c = lines.add(200, 5000, false);
        QCOMPARE(lines.nextCheck(), std::optional<qint64>(5000));
        QCOMPARE(lines.fillAnswered(4900, -1).id, a);
        QCOMPARE(int(lines.fillAnswered(4950, qint64(b)).kind), int(LinesInFlight::Outcome::FillAnswered));
        QCOMPARE(int(lines.fillAnswered(4960, qint64(a)).kind), int(LinesInFlight::Outcome::Unmatched));
        // b waits for its click and c behind it; the last answer at 4950 keeps them until 19950.
        QCOMPARE(lines.nextCheck(), std::optional<qint64>(19950));
        QVERIFY(lines.expire(19949).empty());
        const quint64 d = lines.add(19000, 5000, false);
        const std::vector<LinesInFlight::Expired> gone = lines.expire(19950);
        QCOMPARE(gone.size(), std::size_t(2));
        QCOMPARE(gone.front().id, b);
        QVERIFY(gone.front().fillAnswered);
        QCOMPARE(gone.back().id, c);
        QVERIFY(!gone.back().fillAnswered);
        QCOMPARE(lines.nextCheck(), std::optional<qint64>(24000));
        QCOMPARE(lines.expireAll().front().id, d);
        QCOMPARE(lines.openCount(), std::size_t(0));

        for (std::size_t i = 0; i <= LinesInFlight::MaxOpen; ++i)
            lines.add(0, 5000, false);
        QCOMPARE(lines.takeOverflow().size(), std::size_t(1));
        QCOMPARE(lines.openCount(), LinesInFlight::MaxOpen);
    }

    // At most one tray message in 5 s; what came meanwhile is counted into one at the gap's end.
    void failureNotices()
    {
        FailureNotices notices;
        QCOMPARE(notices.failed(0, "Line not filled", "a")->text, QStringLiteral("a"));
        QVERIFY(!notices.failed(1000, "Button not clicked", "b"));
        QCOMPARE(notices.gapEnded(notices.gapEndsAt())->title, QStringLiteral("Button not clicked"));
        QCOMPARE(notices.failed(11000, "Line not filled", "c")->title, QStringLiteral("Line not filled"));
        QVERIFY(!notices.failed(11100, "Line not filled", "d") && !notices.failed(11200, "Line not filled", "e"));
        QVERIFY(!notices.failed(15999, "Button not clicked", "f"));
        const std::optional<FailureNotices::Notice> counted = notices.gapEnded(16000);
        QCOMPARE(counted->title, QStringLiteral("3 lines not filled"));
        QCOMPARE(counted->text, QStringLiteral("f"));
        QVERIFY(!notices.gapEnded(21000));
    }

    void answersWithoutLinesAreOnlyLogged()
    {
        startGateway();
        FakePlugin plugin;
        QVERIFY(plugin.open(pluginPort));
        plugin.answer("fillResult", -1, true);
        plugin.answer("fillResult", -1, false, QStringLiteral("field not found"));
        plugin.send({{"type", "fillResult"}, {"ok", "true"}});
        plugin.answer("buttonClicked", 7, true);
        plugin.answer("buttonClicked", -1, false, QStringLiteral("button is disabled"));
        QTRY_VERIFY(logged(QStringLiteral("Button click FAILED: button is disabled")));
        QCOMPARE(texts(*logs).filter(QRegularExpression("^(Fill|Button)")),
                 (QStringList{"Fill OK.", "Fill FAILED: field not found", "Fill FAILED: ", "Button clicked.",
                              "Button click FAILED: button is disabled"}));
        QCOMPARE(notFilled->size() + notClicked->size(), 0);
    }

    void testValue()
    {
        startGateway();
        gateway->sendTest(QStringLiteral("x"));
        QCOMPARE(texts(*logs).last(), QStringLiteral("Test: no destination field selected."));

        FakePlugin plugin;
        QVERIFY(plugin.open(pluginPort));
        pickQty(plugin);
        // An empty value is sent like any other; no "TCP received" for a test.
        gateway->sendTest(QString());
        QVERIFY(plugin.waitFor("fill"));
        QCOMPARE(plugin.ofType("fill").first().value(QLatin1String("value")).toString(), QString());
        QCOMPARE(texts(*logs).last(), QStringLiteral("\u2192 Sent \"\" to field \"Qty  [input/number]\" (Enter: yes)"));
        QVERIFY(texts(*logs).filter(QStringLiteral("TCP received")).isEmpty());

        plugin.socket.close();
        QTRY_VERIFY(!gateway->isPluginConnected());
        gateway->sendTest(QStringLiteral("x"));
        QCOMPARE(texts(*logs).last(), QStringLiteral("Test: plugin not connected."));
    }

    void pickMode()
    {
        startGateway();
        QSignalSpy started(gateway.get(), &Gateway::pickModeStarted);
        QSignalSpy picked(gateway.get(), &Gateway::picked);
        QSignalSpy destination(gateway.get(), &Gateway::destinationChanged);
        gateway->pickField();
        QCOMPARE(texts(*logs).last(), QStringLiteral("Plugin not connected."));

        FakePlugin plugin;
        QVERIFY(plugin.open(pluginPort));
        gateway->pickField();
        gateway->pickButton();
        QVERIFY(plugin.waitFor("pickMode", 2));
        QCOMPARE(plugin.ofType("pickMode"), (QList<QJsonObject>{{{"type", "pickMode"}, {"enabled", true}, {"kind", "field"}},
                                                                {{"type", "pickMode"}, {"enabled", true}, {"kind", "button"}}}));
        QCOMPARE(texts(started), (QStringList{"field", "button"}));
        QVERIFY(logged(QStringLiteral("Pick mode enabled \u2014 click the target field in the browser.")));
        QVERIFY(logged(QStringLiteral("Pick mode enabled \u2014 click the target button in the browser.")));

        // Only "button" exactly picks the button; any other kind picks the field.
        plugin.pick(QStringLiteral("Button"), QStringLiteral("https://a.example/"), saveButton);
        QTRY_VERIFY(logged(QStringLiteral("Field selected: Save  [button]")));
        QCOMPARE(destination.size(), 1);
        QCOMPARE(destination.first().at(1).toJsonObject(), saveButton);
        QCOMPARE(texts(picked), QStringList{"Button"});
        // A pick ends pick mode in every other connected browser too.
        QVERIFY(plugin.waitFor("pickMode", 3));
        QCOMPARE(plugin.ofType("pickMode").last(), (QJsonObject{{"type", "pickMode"}, {"enabled", false}, {"kind", "Button"}}));
        plugin.pick(QString(), QStringLiteral("https://a.example/"), qtyField);
        QTRY_VERIFY(logged(QStringLiteral("Field selected: Qty  [input/number]")));
    }

    void choicesSurviveARestart()
    {
        startGateway();
        {
            FakePlugin plugin;
            QVERIFY(plugin.open(pluginPort));
            pickQty(plugin);
            plugin.pick(QStringLiteral("button"), order, saveButton);
            QTRY_VERIFY(logged(QStringLiteral("Button selected: Save  [button]")));
        }
        QCOMPARE(QSettings().value(QStringLiteral("dest/") + order).toString(),
                 QString::fromUtf8(QJsonDocument(qtyField).toJson(QJsonDocument::Compact)));
        cleanup();

        startGateway();
        QVERIFY(logged(QStringLiteral("Last destination restored: Qty  [input/number]")));
        QVERIFY(logged(QStringLiteral("Last button restored: Save  [button]")));
        QCOMPARE(gateway->destinationUrl(), order);

        // The restored descriptors go back to the plugin untouched.
        gateway->setClickButton(true);
        FakePlugin plugin;
        QVERIFY(plugin.open(pluginPort));
        sendLine("7");
        QVERIFY(plugin.waitFor("fill"));
        const QJsonObject fill = plugin.ofType("fill").first();
        QCOMPARE(fill.value(QLatin1String("target")).toObject(), qtyField);
        QCOMPARE(fill.value(QLatin1String("button")).toObject(), saveButton);
        QCOMPARE(fill.value(QLatin1String("clickButton")).toBool(), true);
    }

    // The stored button comes back only with a stored destination, even one that cannot be read.
    void restoreRules_data()
    {
        QTest::addColumn<QString>("lastDestField");
        QTest::addColumn<bool>("buttonBack");
        QTest::newRow("no destination stored") << QString() << false;
        QTest::newRow("destination not JSON") << "{oops" << true;
    }

    void restoreRules()
    {
        QFETCH(QString, lastDestField);
        QFETCH(bool, buttonBack);
        QSettings settings;
        settings.setValue(QStringLiteral("lastButton"), QJsonDocument(saveButton).toJson(QJsonDocument::Compact));
        if (!lastDestField.isNull()) {
            settings.setValue(QStringLiteral("lastDestField"), lastDestField);
            settings.setValue(QStringLiteral("lastDestUrl"), QStringLiteral("https://x/"));
        }
        startGateway();
        QVERIFY(gateway->destinationField().isEmpty());
        QCOMPARE(gateway->button(), buttonBack ? saveButton : QJsonObject());
    }

    void pickWithoutAddressIsUsedButNotStored()
    {
        QSettings().setValue(QStringLiteral("lastDestField"), QJsonDocument(saveButton).toJson(QJsonDocument::Compact));
        QSettings().setValue(QStringLiteral("lastDestUrl"), QStringLiteral("https://old.example/"));
        startGateway();
        FakePlugin plugin;
        QVERIFY(plugin.open(pluginPort));
        plugin.pick(QStringLiteral("field"), QString(), qtyField);
        QTRY_VERIFY(logged(QStringLiteral("Field selected: Qty  [input/number]")));
        QCOMPARE(QSettings().value(QStringLiteral("lastDestUrl")).toString(), QStringLiteral("https://old.example/"));

        sendLine("9");
        QVERIFY(plugin.waitFor("fill"));
        QCOMPARE(plugin.ofType("fill").first().value(QLatin1String("target")).toObject(), qtyField);

        // A button pick is stored even without an address.
        plugin.pick(QStringLiteral("button"), QString(), saveButton);
        QTRY_VERIFY(logged(QStringLiteral("Button selected: Save  [button]")));
        QCOMPARE(QSettings().value(QStringLiteral("lastButton")).toString(),
                 QString::fromUtf8(QJsonDocument(saveButton).toJson(QJsonDocument::Compact)));
    }

    void fieldListChoosesItsFirstField()
    {
        startGateway();
        FakePlugin plugin;
        QVERIFY(plugin.open(pluginPort));
        plugin.send({{"type", "fields"}, {"url", "https://b.example/"}, {"fields", QJsonArray{qtyField, saveButton}}});
        QTRY_COMPARE(gateway->destinationField(), qtyField);
        QCOMPARE(QSettings().value(QStringLiteral("lastDestUrl")).toString(), QStringLiteral("https://b.example/"));
    }

    // Reset onto a port someone else holds stops the intake, stores the port and says it reset.
    void restartIntake()
    {
        startGateway();
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        gateway->restartIntake(squatter.serverPort());
        QVERIFY(!gateway->isIntakeListening());
        const QStringList log = texts(*logs);
        QCOMPARE(log.last(), QStringLiteral("TCP: listening restarted (Reset)."));
        QVERIFY(log.at(log.size() - 2).startsWith(QStringLiteral("TCP: failed to listen on port %1 (").arg(squatter.serverPort())));
        QCOMPARE(QSettings().value(QStringLiteral("tcpPort")).toInt(), int(squatter.serverPort()));
    }
};

FIELDPOST_TEST_MAIN(TestGateway)
#include "tst_gateway.moc"
