#include "TestMain.h"

#include "PluginProtocol.h"

#include <QJsonDocument>

using Type = PluginMessage::Type;
Q_DECLARE_METATYPE(PluginMessage::Type)

namespace {

// JSON written with single quotes for readability.
QByteArray j(QByteArray json)
{
    return json.replace('\'', '"');
}
QJsonObject object(const QByteArray &json)
{
    return QJsonDocument::fromJson(j(json)).object();
}

const QJsonArray noFields;
const QJsonObject noField;

// One incoming case: `text1` is the first member of the type (version, url, kind
// or error), `text2` the second (title or url).
void row(const char *name, const QByteArray &json, Type type, const QString &text1 = {}, const QString &text2 = {},
         const QJsonArray &fields = noFields, const QJsonObject &field = noField, bool ok = false)
{
    QTest::newRow(name) << j(json) << type << text1 << text2 << fields << field << ok;
}

} // namespace

class TestPluginProtocol : public QObject
{
    Q_OBJECT

private slots:
    // Every incoming message type with its member defaults, and everything that is dropped.
    void incoming_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<Type>("type");
        QTest::addColumn<QString>("text1");
        QTest::addColumn<QString>("text2");
        QTest::addColumn<QJsonArray>("fields");
        QTest::addColumn<QJsonObject>("field");
        QTest::addColumn<bool>("ok");

        const QString v1 = QStringLiteral("1.4.2"), url = QStringLiteral("https://a.example/"),
                      fieldKind = QStringLiteral("field");
        const QByteArray emailJson = "{'label':'Email','tag':'input','type':'email','xpath':'/html/body/input[2]'}";
        const QJsonObject email = object(emailJson), button = object("{'tag':'button'}");

        row("hello", "{'type':'hello','version':'1.4.2'}", Type::Hello, v1);
        row("hello without version", "{'type':'hello'}", Type::Hello);
        row("hello among blanks and unknown members", " {\n 'extra' : [1,2], 'type' : 'hello' , 'version':'1.4.2' }\n",
            Type::Hello, v1);
        row("fields", "{'type':'fields','url':'https://a.example/','title':'Form','fields':[" + emailJson
                          + ",{'tag':'button'}]}",
            Type::Fields, url, QStringLiteral("Form"), QJsonArray{email, button});
        row("fields without url and title", "{'type':'fields','fields':[]}", Type::Fields);
        row("fields array of anything passes through", "{'type':'fields','fields':[1,'x',null]}", Type::Fields, {},
            {}, QJsonArray{1, "x", QJsonValue::Null});
        row("picked field", "{'type':'picked','kind':'field','url':'https://a.example/','field':" + emailJson + "}",
            Type::Picked, fieldKind, url, noFields, email);
        row("picked button", "{'type':'picked','kind':'button','field':{'tag':'button'}}", Type::Picked,
            QStringLiteral("button"), {}, noFields, button);
        row("picked without kind", "{'type':'picked'}", Type::Picked, fieldKind);
        row("picked with numeric kind", "{'type':'picked','kind':5}", Type::Picked, fieldKind);
        row("picked with empty kind stays empty", "{'type':'picked','kind':''}", Type::Picked, QString(""));
        row("fillResult ok", "{'type':'fillResult','ok':true}", Type::FillResult, {}, {}, noFields, noField, true);
        row("fillResult failed", "{'type':'fillResult','ok':false,'error':'not found'}", Type::FillResult,
            QStringLiteral("not found"));
        row("fillResult ok as string", "{'type':'fillResult','ok':'true'}", Type::FillResult);
        row("buttonClicked ok", "{'type':'buttonClicked','ok':true,'error':''}", Type::ButtonClicked, QString(""), {},
            noFields, noField, true);
        row("buttonClicked ok as string", "{'type':'buttonClicked','ok':'true','error':'gone'}", Type::ButtonClicked,
            QStringLiteral("gone"));
        row("error", "{'type':'error','error':'Page non prise en charge'}", Type::Error,
            QStringLiteral("Page non prise en charge"));
        row("error without error", "{'type':'error'}", Type::Error);

        for (const char *payload : {"{'type':'Hello','version':'1'}", "{'type':'FILLRESULT','ok':true}",
                                    "{'type':'scan'}", "{'version':'1'}", "{'type':5}", "[{'type':'hello'}]",
                                    "'hello'", "", "{'type':'hello'"})
            row(qPrintable(QStringLiteral("dropped: ") + QString::fromLatin1(j(payload))), payload, Type::Dropped);
    }

    void incoming()
    {
        QFETCH(QByteArray, payload);
        QFETCH(Type, type);
        QFETCH(QString, text1);
        QFETCH(QString, text2);
        QFETCH(QJsonArray, fields);
        QFETCH(QJsonObject, field);
        QFETCH(bool, ok);

        const PluginMessage m = parsePluginMessage(payload);
        QCOMPARE(m.type, type);
        QString PluginMessage::*first = &PluginMessage::error, PluginMessage::*second = nullptr;
        if (type == Type::Hello) {
            first = &PluginMessage::version;
        } else if (type == Type::Fields) {
            first = &PluginMessage::url;
            second = &PluginMessage::title;
        } else if (type == Type::Picked) {
            first = &PluginMessage::kind;
            second = &PluginMessage::url;
            QCOMPARE(m.kind.isNull(), text1.isNull()); // "" stays "" rather than turning into nothing
        }
        QCOMPARE(m.*first, text1);
        if (second)
            QCOMPARE(m.*second, text2);
        QCOMPARE(m.fields, fields);
        QCOMPARE(m.field, field);
        QCOMPARE(m.ok, ok);
    }

    void outgoing()
    {
        QCOMPARE(pluginHelloMessage(), j("{'type':'hello','from':'app'}"));
        QCOMPARE(serializePluginMessage(pluginScanMessage()), j("{'type':'scan'}"));
        const QJsonObject pick = QJsonDocument::fromJson(
                                     serializePluginMessage(pluginPickModeMessage(true, QStringLiteral("button"))))
                                     .object();
        QCOMPARE(pick, (QJsonObject{{"type", "pickMode"}, {"enabled", true}, {"kind", "button"}}));
        QVERIFY(pick.value("enabled").isBool());
    }

    void fill_data()
    {
        QTest::addColumn<QJsonObject>("target");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("pressEnter");
        QTest::addColumn<QJsonObject>("button");
        QTest::addColumn<bool>("clickButton");
        QTest::addColumn<int>("delay");

        const QJsonObject target = object("{'label':'Code article','tag':'input','type':'text','path':[1,2,{'n':'a b'}]}");
        QTest::newRow("no button") << target << QStringLiteral("12345") << false << QJsonObject() << false << 300;
        QTest::newRow("button and click") << target << QStringLiteral("with blanks\tand \"quotes\"") << true
                                          << object("{'label':'OK','tag':'button'}") << true << 300;
    }

    // A fill always carries its seven members, compact, with an integer delay.
    void fill()
    {
        QFETCH(QJsonObject, target);
        QFETCH(QString, value);
        QFETCH(bool, pressEnter);
        QFETCH(QJsonObject, button);
        QFETCH(bool, clickButton);
        QFETCH(int, delay);

        const QByteArray json =
            serializePluginMessage(pluginFillMessage(target, value, pressEnter, button, clickButton, delay));
        // Compact: no white space left once the strings are taken out.
        const QString outside = QString::fromUtf8(json).remove(QRegularExpression(QStringLiteral("\"(\\\\.|[^\"\\\\])*\"")));
        QVERIFY2(!outside.contains(QRegularExpression(QStringLiteral("\\s"))), json.constData());
        QVERIFY2(QString::fromUtf8(json).contains(
                     QRegularExpression(QStringLiteral("[{,]\"clickDelayMs\":%1[,}]").arg(delay))),
                 json.constData());
        QCOMPARE(QJsonDocument::fromJson(json).object(),
                 (QJsonObject{{"type", "fill"}, {"target", target}, {"value", value}, {"pressEnter", pressEnter},
                              {"button", button}, {"clickButton", clickButton}, {"clickDelayMs", delay}}));
    }
};

FIELDPOST_TEST_MAIN(TestPluginProtocol)
#include "tst_pluginprotocol.moc"
