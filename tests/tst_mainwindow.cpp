// What the window adds to the core: start-up, the title, the badges, the
// widgets that show and drive the core's choices, and showing itself on a pick.
#include "BuildVersion.h"
#include "FrameFormat.h"
#include "PluginSocket.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QComboBox>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QListWidget>
#include <QRadioButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    quint16 port = 0;

    // The intake on a port the system chooses; the plugin link on the first free port from 9000.
    std::unique_ptr<MainWindow> makeWindow()
    {
        QSettings().setValue(QStringLiteral("tcpPort"), 0);
        auto window = std::make_unique<MainWindow>(testParts());
        port = probe::pairing().intakePort;
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
        const int listening = log.indexOf(QStringLiteral("TCP: listening on port 0"));
        const int linkListening = log.indexOf(QStringLiteral("WebSocket: listening on ws://127.0.0.1:%1").arg(probe::pairing().port));
        QVERIFY2(listening >= 0 && linkListening >= 0 && ready > listening && ready > linkListening,
                 qPrintable(log.join(QLatin1Char('\n'))));
        QCOMPARE(probe::label(window.get(), "intakeAddressLabel")->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(probe::label(window.get(), "pluginStatusLabel")->text(), QStringLiteral("Disconnected"));
        QVERIFY(probe::label(window.get(), "pluginStatusLabel")->styleSheet().contains(QStringLiteral("background:#c0392b")));
    }

    // A stored port the spin box cannot show is brought into its range.
    void storedPortIsClamped()
    {
        for (const auto &[stored, shown] : {std::pair{QVariant(), 20296}, {QVariant(70000), 65535}, {QVariant("x"), 0}}) {
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
        QTRY_VERIFY2(badge->text() == QLatin1String("Connected"), qPrintable(probe::logMessages(window.get()).join('\n')));
        QVERIFY(badge->styleSheet().contains(QStringLiteral("background:#1e8449")));
        product.disconnectFromHost();
        QTRY_COMPARE(badge->text(), QStringLiteral("Listening (waiting)"));

        // "Reset" takes the spin box's port; onto one someone else holds it ends at "Stopped".
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        probe::find<QSpinBox>(window.get(), "portSpinBox")->setValue(squatter.serverPort());
        probe::button(window.get(), "resetButton")->click();
        QCOMPARE(badge->text(), QStringLiteral("Stopped"));
        QCOMPARE(QSettings().value(QStringLiteral("tcpPort")).toInt(), int(squatter.serverPort()));

        // Other computers only when asked; the label says what the intake binds.
        probe::find<QSpinBox>(window.get(), "portSpinBox")->setValue(0);
        probe::button(window.get(), "resetButton")->click();
        QCOMPARE(badge->text(), QStringLiteral("Listening (waiting)"));
        probe::find<QCheckBox>(window.get(), "acceptRemoteCheck")->click();
        QCOMPARE(badge->text(), QStringLiteral("Listening (waiting)"));
        QCOMPARE(probe::label(window.get(), "intakeAddressLabel")->text(), QStringLiteral("all addresses"));
        QCOMPARE(QSettings().value(QStringLiteral("acceptRemoteCompanions")), QVariant(true));
    }

    // Picks show in the window and bring it up; the options and the test value drive the core.
    void widgetsShowAndDriveTheCore()
    {
        auto window = makeWindow();
        ProvenPlugin plugin;
        QVERIFY(plugin.link(probe::pairing().port, probe::pairing().key));
        QTRY_COMPARE(probe::label(window.get(), "pluginStatusLabel")->text(), QStringLiteral("Connected"));
        QTRY_COMPARE(probe::label(window.get(), "chromiumStatusLabel")->text(), QStringLiteral("Linked (v1.3.0)"));

        const auto pick = [&](const char *kind, const char *field) {
            plugin.pick(QLatin1String(kind), QStringLiteral("https://shop.example/order"),
                        QJsonDocument::fromJson(QByteArray(field)).object());
        };
        QVERIFY(!window->isVisible());
        pick("field", "{\"label\":\"Qty\",\"tag\":\"input\",\"type\":\"number\",\"instance\":\"b-1\"}");
        QTRY_COMPARE(probe::edit(window.get(), "destFieldEdit")->text(), QStringLiteral("Qty  [input/number]"));
        // One field: nothing of several fields takes room.
        QVERIFY(!probe::find(window.get(), "fieldsModeGroup")->isVisibleTo(window.get()));
        QVERIFY(!probe::find(window.get(), "destFieldsList")->isVisibleTo(window.get()));
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
        QVERIFY(plugin.waitFor("fill", 2));
        for (const QJsonObject &fill : plugin.ofType("fill")) {
            QCOMPARE(fill.value(QLatin1String("value")).toString(), QStringLiteral("T-1"));
            QCOMPARE(fill.value(QLatin1String("pressEnter")).toBool(), false);
            QCOMPARE(fill.value(QLatin1String("clickButton")).toBool(), true);
        }
    }

    // Three fields kept from the last run: the Destination line, the part for
    // several fields, a mode, the AIs and separator edits, and Remove.
    void severalFields()
    {
        const QJsonArray fields{support::json(R"({"label":"Parcel code","tag":"input","type":"text"})"),
                                support::json(R"({"label":"","tag":"input","type":"text"})"),
                                support::json(R"({"label":"Expiry","tag":"input","type":"date"})")};
        QSettings settings;
        settings.setValue(QStringLiteral("lastDestField"), QJsonDocument(fields.at(0).toObject()).toJson(QJsonDocument::Compact));
        settings.setValue(QStringLiteral("lastDestUrl"), QStringLiteral("https://depot.example/receive"));
        settings.setValue(QStringLiteral("lastDestFields"), QJsonDocument(fields).toJson(QJsonDocument::Compact));
        settings.setValue(QStringLiteral("fieldsMode"), QStringLiteral("split"));
        settings.sync();
        auto window = makeWindow();
        QWidget *w = window.get();

        QLineEdit *destination = probe::edit(w, "destFieldEdit");
        QCOMPARE(destination->text(), QStringLiteral("Parcel code (1), (no name) (2), Expiry (3)"));
        QVERIFY(probe::find(w, "fieldsModeGroup")->isVisibleTo(w));
        QVERIFY(probe::find(w, "destFieldsList")->isVisibleTo(w));
        QVERIFY(probe::find<QRadioButton>(w, "splitModeRadio")->isChecked());
        QVERIFY(!probe::edit(w, "fieldAisEdit")->isEnabled());

        // The separator: a named one or any one character; anything else goes back.
        auto *separator = probe::find<QComboBox>(w, "splitSeparatorCombo");
        separator->setEditText(QStringLiteral("#"));
        emit separator->lineEdit()->editingFinished();
        QCOMPARE(QSettings().value(QStringLiteral("splitSeparator")).toString(), QStringLiteral("#"));
        separator->setEditText(QStringLiteral("ab"));
        emit separator->lineEdit()->editingFinished();
        QCOMPARE(separator->currentText(), QStringLiteral("#"));

        probe::find<QRadioButton>(w, "gs1ModeRadio")->click();
        QCOMPARE(QSettings().value(QStringLiteral("fieldsMode")).toString(), QStringLiteral("gs1"));
        QVERIFY(!separator->isEnabled());
        // Refused AIs stay for correction with the reason beside them.
        QLineEdit *ais = probe::edit(w, "fieldAisEdit");
        QLabel *aisError = probe::label(w, "fieldAisErrorLabel");
        ais->setText(QStringLiteral("01,1x,17"));
        emit ais->editingFinished();
        QVERIFY(aisError->isVisibleTo(w));
        QVERIFY2(aisError->text().contains(QStringLiteral("1x")), qPrintable(aisError->text()));
        QCOMPARE(ais->text(), QStringLiteral("01,1x,17"));
        ais->setText(QStringLiteral("01,10,17"));
        emit ais->editingFinished();
        QVERIFY(!aisError->isVisibleTo(w));
        QCOMPARE(QSettings().value(QStringLiteral("fieldAIs")).toString(), QStringLiteral("01,10,17"));

        probe::find<QRadioButton>(w, "perLineModeRadio")->click();
        QCOMPARE(probe::label(w, "nextFieldLabel")->text(), QStringLiteral("Next: field 1 of 3 (Parcel code)"));
        QVERIFY(probe::button(w, "resetSequenceButton")->isEnabled());

        // Remove drops the selected field; down to one the part for several fields goes.
        probe::find<QListWidget>(w, "destFieldsList")->setCurrentRow(1);
        probe::button(w, "removeFieldButton")->click();
        QCOMPARE(destination->text(), QStringLiteral("Parcel code (1), Expiry (2)"));
        probe::find<QListWidget>(w, "destFieldsList")->setCurrentRow(0);
        probe::button(w, "removeFieldButton")->click();
        QCOMPARE(destination->text(), QStringLiteral("Expiry  [input/date]"));
        QVERIFY(!probe::find(w, "fieldsModeGroup")->isVisibleTo(w));
        QVERIFY(!probe::find(w, "destFieldsList")->isVisibleTo(w));
    }
};

FIELDPOST_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
