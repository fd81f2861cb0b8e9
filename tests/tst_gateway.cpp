// The gateway's core without a window, through its real sockets: a WebSocket
// client plays the plugin (with the pairing's proof), a TCP client plays the companion product.
#include "FailureNotices.h"
#include "FrameFormat.h"
#include "Gateway.h"
#include "PairingRecord.h"
#include "PluginSocket.h"
#include "TestMain.h"
#include "TestSupport.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

using support::texts;

namespace {

// JSON written with single quotes: this moc mis-parses raw string literals.
QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text).replace('\'', '"')).object();
}

// Picked in the browser whose plugin says it is b-1.
const QJsonObject qtyField = json("{'label':'Qty','tag':'input','type':'number','id':'qty','css':'form > input:nth-of-type(2)','instance':'b-1'}");
const QJsonObject saveButton = json("{'label':'Save','tag':'button','id':'save','frame':[0],'instance':'b-1'}");
const QString order = QStringLiteral("https://shop.example/order");
// Two more fields of the order page, and one of another page.
const QJsonObject batchField = json("{'label':'Batch','tag':'input','type':'text','id':'batch','origin':'https://shop.example','path':'/order','instance':'b-1'}");
const QJsonObject expiryField = json("{'label':'Expiry','tag':'input','type':'date','id':'expiry','origin':'https://shop.example','path':'/order','instance':'b-1'}");
const QJsonObject otherPageField = json("{'label':'Note','tag':'input','type':'text','id':'note','origin':'https://shop.example','path':'/notes','instance':'b-1'}");

QJsonObject onOrderPage(QJsonObject field)
{
    field.insert(QStringLiteral("origin"), QStringLiteral("https://shop.example"));
    field.insert(QStringLiteral("path"), QStringLiteral("/order"));
    return field;
}

} // namespace

class TestGateway : public QObject
{
    Q_OBJECT

    std::unique_ptr<Gateway> gateway;
    std::unique_ptr<QSignalSpy> logs, notFilled, notClicked;
    QTcpSocket product;

    // Both servers on ports the system chooses; a stored port of 0 asks for that.
    void startGateway(bool storePort = true)
    {
        if (storePort)
            QSettings().setValue(QStringLiteral("tcpPort"), 0);
        logs.reset();
        gateway = std::make_unique<Gateway>(PortRange{0, 0});
        logs = std::make_unique<QSignalSpy>(gateway.get(), &Gateway::logMessage);
        notFilled = std::make_unique<QSignalSpy>(gateway.get(), &Gateway::lineNotFilled);
        notClicked = std::make_unique<QSignalSpy>(gateway.get(), &Gateway::buttonNotClicked);
        gateway->start();
        QVERIFY(!storePort || gateway->isIntakeListening());
    }

    void sendLine(const QByteArray &line)
    {
        if (product.state() != QAbstractSocket::ConnectedState) {
            product.connectToHost(QHostAddress::LocalHost, gateway->intakePort());
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

    // A plugin of browser `instance`, proven and counted by the gateway.
    bool link(ProvenPlugin &plugin)
    {
        return plugin.link(gateway->pluginPort(), gateway->pairingKey())
               && QTest::qWaitFor([&] { return gateway->pluginLinks().size() > 0 && gateway->isPluginConnected(); });
    }

    void pickQty(ProvenPlugin &plugin)
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
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
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
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
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
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
        const QJsonObject picked = qtyField;
        pickQty(plugin);
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
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
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

        ProvenPlugin plugin;
        QVERIFY(link(plugin));
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

        ProvenPlugin plugin;
        QVERIFY(link(plugin));
        gateway->pickField();
        gateway->pickButton();
        QVERIFY(plugin.waitFor("pickMode", 2));
        QCOMPARE(plugin.ofType("pickMode"), (QList<QJsonObject>{{{"type", "pickMode"}, {"enabled", true}, {"kind", "field"}},
                                                                {{"type", "pickMode"}, {"enabled", true}, {"kind", "button"}}}));
        QCOMPARE(texts(started), (QStringList{"field", "button"}));
        QVERIFY(logged(QStringLiteral("Pick mode enabled \u2014 click the target field in the browser.")));
        QVERIFY(logged(QStringLiteral("Pick mode enabled \u2014 click the target button in the browser.")));

        // Only "button" exactly picks the button; any other kind picks the field.
        const auto rawPick = [&plugin](const QString &kind, const QJsonObject &field) {
            plugin.send({{"type", "picked"}, {"kind", kind}, {"url", "https://a.example/"}, {"field", field}});
        };
        rawPick(QStringLiteral("Button"), saveButton);
        QTRY_VERIFY(logged(QStringLiteral("Field selected: Save  [button]")));
        QCOMPARE(destination.size(), 1);
        QCOMPARE(destination.first().at(1).toJsonObject(), saveButton);
        QCOMPARE(texts(picked), QStringList{"Button"});
        // A pick ends pick mode in every other connected browser too.
        QVERIFY(plugin.waitFor("pickMode", 3));
        QCOMPARE(plugin.ofType("pickMode").last(), (QJsonObject{{"type", "pickMode"}, {"enabled", false}, {"kind", "Button"}}));
        // Pick mode ended with the pick: a click after it picks nothing.
        rawPick(QString(), qtyField);
        QTRY_VERIFY(logged(QStringLiteral("Plugin: a pick outside pick mode was ignored")));
        QCOMPARE(destination.size(), 1);
        gateway->pickField();
        rawPick(QString(), qtyField);
        QTRY_VERIFY(logged(QStringLiteral("Field selected: Qty  [input/number]")));
    }

    void choicesSurviveARestart()
    {
        startGateway();
        {
            ProvenPlugin plugin;
            QVERIFY(link(plugin));
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
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
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
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
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
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
        plugin.send({{"type", "fields"}, {"url", "https://b.example/"}, {"fields", QJsonArray{qtyField, saveButton}}});
        QTRY_COMPARE(gateway->destinationField(), qtyField);
        QCOMPARE(QSettings().value(QStringLiteral("lastDestUrl")).toString(), QStringLiteral("https://b.example/"));
    }

    // An intake port someone else holds is said plainly, tried again, and taken
    // once it is free; "Ready." waits for both servers, and the pairing record
    // names this session's ports until the gateway ends.
    void portsHeldByOthers()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        QSettings().setValue(QStringLiteral("tcpPort"), squatter.serverPort());
        startGateway(false);
        QVERIFY(!gateway->isIntakeListening());
        QVERIFY(logged(QStringLiteral("TCP: port %1 is held by another user or program; trying again every 5 s")
                           .arg(squatter.serverPort())));
        QVERIFY(!logged(QStringLiteral("Ready. Connect the browser plugin.")));
        squatter.close();
        QTRY_VERIFY_WITH_TIMEOUT(gateway->isIntakeListening(), Gateway::ListenRetryMs + 3000);
        QCOMPARE(texts(*logs).filter(QStringLiteral("Ready.")).size(), 1);
        QCOMPARE(gateway->intakePort(), quint16(QSettings().value(QStringLiteral("tcpPort")).toInt()));

        const std::optional<PairingRecord::Contents> record = PairingRecord::read(PairingRecord::defaultPath());
        QVERIFY(record);
        QCOMPARE(record->key, gateway->pairingKey());
        QCOMPARE(record->port, gateway->pluginPort());
        QCOMPARE(record->intakePort, gateway->intakePort());
        QCOMPARE(record->pid, QCoreApplication::applicationPid());
        // A new key, kept, and the links made with the old one closed.
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
        QSignalSpy gone(&plugin.socket, &PluginSocket::disconnected);
        gateway->forgetPairedBrowsers();
        QVERIFY(gone.wait());
        QVERIFY(PairingRecord::read(PairingRecord::defaultPath())->key != record->key);
        gateway.reset();
        QCOMPARE(PairingRecord::read(PairingRecord::defaultPath())->port, quint16(0));
    }

    // A line goes only to the link of the browser that picked its field; an
    // answer from any other link does not count, and when that browser's link
    // closes its lines are reported at once, whoever else is linked.
    void linesGoToThePickingBrowser()
    {
        startGateway();
        gateway->setSimulateEnter(false);
        ProvenPlugin picking(QStringLiteral("b-1")), other(QStringLiteral("b-2"));
        QVERIFY(link(picking) && link(other));
        QTRY_COMPARE(gateway->pluginLinks().size(), 2);
        pickQty(picking);
        sendLine("L1");
        QVERIFY(picking.waitFor("fill"));
        other.answer("fillResult", 1, false, QStringLiteral("forged"));
        QTest::qWait(100);
        QCOMPARE(gateway->linesInFlight(), std::size_t(1));
        QVERIFY(!logged(QStringLiteral("Fill FAILED: forged")));
        QCOMPARE(other.ofType("fill").size(), 0);
        picking.socket.close();
        QTRY_COMPARE(notFilled->size(), 1);
        QVERIFY(logged(QStringLiteral("\u2192 Not filled: no browser answered")));
        QVERIFY(gateway->isPluginConnected());
        sendLine("L2");
        QTRY_VERIFY(logged(QStringLiteral("\u2192 The browser that picked the field is not linked, ignored.")));
        QCOMPARE(other.ofType("fill").size(), 0);
    }

    // Qty, Batch and Expiry of the order page, picked then added.
    void pickThreeFields(ProvenPlugin &plugin)
    {
        plugin.pick(QStringLiteral("field"), order, onOrderPage(qtyField));
        plugin.pick(QStringLiteral("field"), order, batchField, true);
        plugin.pick(QStringLiteral("field"), order, expiryField, true);
        QTRY_COMPARE(gateway->destinationFields().size(), 3);
    }

    // A destination of several fields: who may join it, and a line spread over
    // it all at once or refused before anything is sent.
    void severalFields()
    {
        startGateway();
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
        pickThreeFields(plugin);
        plugin.pick(QStringLiteral("field"), order, otherPageField, true);
        plugin.pick(QStringLiteral("field"), order, batchField, true);
        QTRY_VERIFY(logged(QStringLiteral("Field not added: it is one of the destination's fields already.")));
        QVERIFY(logged(QStringLiteral("Field not added: it is on another page than the destination's fields.")));
        QCOMPARE(gateway->destinationFields(), (QList<QJsonObject>{onOrderPage(qtyField), batchField, expiryField}));
        QVERIFY(plugin.waitFor("destination"));
        QCOMPARE(plugin.ofType("destination").last().value("fields").toArray(), (QJsonArray{"Qty", "Batch", "Expiry"}));

        sendLine("7\tB-12\t2026-12-31");
        QVERIFY(plugin.waitFor("fill"));
        const QJsonObject fill = plugin.ofType("fill").first();
        QCOMPARE(fill.value("targets").toArray(), (QJsonArray{onOrderPage(qtyField), batchField, expiryField}));
        QCOMPARE(fill.value("values").toArray(), (QJsonArray{"7", "B-12", "2026-12-31"}));
        QVERIFY(!fill.contains("target"));
        plugin.send({{"type", "fillResult"}, {"id", fill.value("id")}, {"ok", false}, {"error", "field not found"},
                     {"failedField", 1}});
        QTRY_VERIFY(logged(QStringLiteral("Fill FAILED: field 2 of 3 (Batch) not found")));
        QCOMPARE(texts(*notFilled).last(), QStringLiteral("field 2 of 3 (Batch) not found"));

        sendLine("7\tB-12");
        QTRY_VERIFY(logged(QStringLiteral("\u2192 Rejected: 2 parts for 3 fields")));
        QCOMPARE(notFilled->size(), 2);
        QCOMPARE(plugin.ofType("fill").size(), 1);

        gateway->removeField(0);
        QCOMPARE(gateway->destinationField(), batchField);
        QCOMPARE(gateway->destinationFields().size(), 2);
    }

    // One line per field: Enter after the last, a failed line stays on its
    // field, Reset and a pause start over.
    void perLineSequence()
    {
        QSettings().setValue(QStringLiteral("sequenceIdleSeconds"), 1);
        startGateway();
        gateway->setFieldsMode(FieldsMode::PerLine);
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
        pickThreeFields(plugin);
        QCOMPARE(gateway->nextFieldText(), QStringLiteral("Next: field 1 of 3 (Qty)"));
        int answered = 0;
        const auto line = [&](const QByteArray &value, bool ok = true) {
            sendLine(value);
            if (!plugin.waitFor("fill", answered + 1))
                return QJsonObject();
            const QJsonObject fill = plugin.ofType("fill").at(answered++);
            plugin.answer("fillResult", fill.value("id").toInteger(), ok, ok ? QString() : QStringLiteral("field not found"));
            return fill;
        };
        const auto target = [](const QJsonObject &fill) { return fill.value("target").toObject().value("id").toString(); };

        QCOMPARE(target(line("1")), QStringLiteral("qty"));
        QCOMPARE(target(line("B", false)), QStringLiteral("batch"));
        QTRY_VERIFY(logged(QStringLiteral("Fill FAILED: field 2 of 3 (Batch) not found")));
        QTRY_COMPARE(gateway->nextFieldText(), QStringLiteral("Next: field 2 of 3 (Batch)"));
        QCOMPARE(target(line("B")), QStringLiteral("batch"));
        const QJsonObject last = line("E");
        QCOMPARE(target(last), QStringLiteral("expiry"));
        QCOMPARE(last.value("pressEnter").toBool(), true);
        QCOMPARE(plugin.ofType("fill").first().value("pressEnter").toBool(), false);
        QCOMPARE(target(line("2")), QStringLiteral("qty"));
        gateway->resetSequence();
        QCOMPARE(target(line("3")), QStringLiteral("qty"));
        QTest::qWait(1100);
        QCOMPARE(target(line("4")), QStringLiteral("qty"));
        QVERIFY(logged(QStringLiteral("\u2192 No line for 1 s: back to field 1.")));
        plugin.send({{"type", "sequenceReset"}});
        QTRY_COMPARE(gateway->nextFieldText(), QStringLiteral("Next: field 1 of 3 (Qty)"));
    }

    // With a destination per page, the page in front of the user chooses.
    void pageInFrontChooses()
    {
        startGateway();
        gateway->setSimulateEnter(false);
        gateway->setDestinationPerPage(true);
        ProvenPlugin plugin;
        QVERIFY(link(plugin));
        pickQty(plugin);
        const QString notes = QStringLiteral("https://shop.example/notes");
        plugin.pick(QStringLiteral("field"), notes, otherPageField);
        QTRY_COMPARE(gateway->pageEntries().size(), 2);

        const auto lineGoesTo = [&](const QString &front, const QByteArray &value) {
            plugin.send({{"type", "activePage"}, {"url", front}, {"title", "Front page"}});
            QTest::qWait(50);
            const qsizetype before = plugin.ofType("fill").size();
            sendLine(value);
            return plugin.waitFor("fill", int(before) + 1)
                       ? plugin.ofType("fill").last().value("target").toObject().value("id").toString()
                       : QString();
        };
        QCOMPARE(lineGoesTo(order + QStringLiteral("?step=2#top"), "A"), QStringLiteral("qty"));
        QVERIFY(logged(QStringLiteral("\u2192 For Front page")));
        QCOMPARE(lineGoesTo(notes, "B"), QStringLiteral("note"));
        // No entry for the page in front: the last pick, as without the option.
        QCOMPARE(lineGoesTo(QStringLiteral("https://elsewhere.example/"), "C"), QStringLiteral("note"));

        // A whole file or nothing.
        const QByteArray exported = gateway->exportPages();
        QVERIFY(!gateway->importPages("{\"fieldpostPages\":1,\"pages\":[{\"pattern\":\"(\",\"match\":\"regex\"}]}").isEmpty());
        QCOMPARE(gateway->pageEntries().size(), 2);
        gateway->setPageEntries({});
        QCOMPARE(gateway->importPages(exported), QString());
        QCOMPARE(gateway->pageEntries().size(), 2);
    }
};

FIELDPOST_TEST_MAIN(TestGateway)
#include "tst_gateway.moc"
