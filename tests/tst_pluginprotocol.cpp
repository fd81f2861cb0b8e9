#include "TestMain.h"

#include "PluginProtocol.h"

#include <QJsonDocument>

using Type = PluginMessage::Type;
Q_DECLARE_METATYPE(PluginMessage::Type)

namespace {

// JSON written with single quotes for readability.
QByteArray j(const char *json)
{
    return QByteArray(json).replace('\'', '"');
}
QJsonArray array(const char *json)
{
    return QJsonDocument::fromJson(j(json)).array();
}
QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(j(json)).object();
}

// True when no byte outside a JSON string is white space.
bool compact(const QByteArray &json)
{
    bool inString = false;
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            return false;
        }
    }
    return true;
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
        QTest::addColumn<QString>("text1"); // version, url, kind or error: the first member of the type
        QTest::addColumn<QString>("text2"); // title or url
        QTest::addColumn<QJsonArray>("fields");
        QTest::addColumn<QJsonObject>("field");
        QTest::addColumn<bool>("ok");

        const QJsonArray noFields;
        const QJsonObject noField;
        const QString none;
        const QJsonObject email = object("{'label':'Email','tag':'input','type':'email','xpath':'/html/body/input[2]'}");

        QTest::newRow("hello") << j("{'type':'hello','version':'1.4.2'}") << Type::Hello
                               << QStringLiteral("1.4.2") << none << noFields << noField << false;
        QTest::newRow("hello without version") << j("{'type':'hello'}") << Type::Hello << none << none
                                               << noFields << noField << false;
        QTest::newRow("hello with numeric version") << j("{'type':'hello','version':2}") << Type::Hello
                                                    << none << none << noFields << noField << false;
        QTest::newRow("hello among blanks and unknown members")
            << j(" {\n 'extra' : [1,2], 'type' : 'hello' , 'version':'3' }\n") << Type::Hello
            << QStringLiteral("3") << none << noFields << noField << false;

        QTest::newRow("fields")
            << j("{'type':'fields','url':'https://a.example/form','title':'Form','fields':[{'label':'Email','tag':'input','type':'email','xpath':'/html/body/input[2]'},{'tag':'button'}]}")
            << Type::Fields << QStringLiteral("https://a.example/form") << QStringLiteral("Form")
            << QJsonArray{email, object("{'tag':'button'}")} << noField << false;
        QTest::newRow("fields without url and title") << j("{'type':'fields','fields':[]}")
                                                      << Type::Fields << none << none << noFields << noField << false;
        QTest::newRow("fields not an array")
            << j("{'type':'fields','url':1,'title':null,'fields':{'0':{'tag':'input'}}}") << Type::Fields
            << none << none << noFields << noField << false;
        QTest::newRow("fields array of anything passes through")
            << j("{'type':'fields','fields':[1,'x',null]}") << Type::Fields << none << none
            << array("[1,'x',null]") << noField << false;

        QTest::newRow("picked field")
            << j("{'type':'picked','kind':'field','url':'https://a.example/','field':{'label':'Email','tag':'input','type':'email','xpath':'/html/body/input[2]'}}")
            << Type::Picked << QStringLiteral("field") << QStringLiteral("https://a.example/") << noFields << email
            << false;
        QTest::newRow("picked button") << j("{'type':'picked','kind':'button','field':{'tag':'button'}}")
                                       << Type::Picked << QStringLiteral("button") << none << noFields
                                       << object("{'tag':'button'}") << false;
        QTest::newRow("picked without kind") << j("{'type':'picked'}") << Type::Picked
                                             << QStringLiteral("field") << none << noFields << noField << false;
        QTest::newRow("picked with numeric kind") << j("{'type':'picked','kind':5}") << Type::Picked
                                                  << QStringLiteral("field") << none << noFields << noField << false;
        QTest::newRow("picked with null kind") << j("{'type':'picked','kind':null}") << Type::Picked
                                               << QStringLiteral("field") << none << noFields << noField << false;
        QTest::newRow("picked with empty kind stays empty")
            << j("{'type':'picked','kind':''}") << Type::Picked << QString("") << none << noFields
            << noField << false;
        QTest::newRow("picked field not an object")
            << j("{'type':'picked','kind':'field','url':['x'],'field':[{'tag':'input'}]}")
            << Type::Picked << QStringLiteral("field") << none << noFields << noField << false;

        QTest::newRow("fillResult ok") << j("{'type':'fillResult','ok':true}") << Type::FillResult
                                       << none << none << noFields << noField << true;
        QTest::newRow("fillResult failed") << j("{'type':'fillResult','ok':false,'error':'not found'}")
                                           << Type::FillResult << QStringLiteral("not found") << none << noFields
                                           << noField << false;
        QTest::newRow("fillResult ok as string") << j("{'type':'fillResult','ok':'true'}")
                                                 << Type::FillResult << none << none << noFields << noField << false;
        QTest::newRow("fillResult ok as number") << j("{'type':'fillResult','ok':1,'error':7}")
                                                 << Type::FillResult << none << none << noFields << noField << false;
        QTest::newRow("fillResult without members") << j("{'type':'fillResult'}") << Type::FillResult
                                                    << none << none << noFields << noField << false;
        QTest::newRow("buttonClicked ok") << j("{'type':'buttonClicked','ok':true,'error':''}")
                                          << Type::ButtonClicked << QString("") << none << noFields << noField
                                          << true;
        QTest::newRow("buttonClicked ok as string")
            << j("{'type':'buttonClicked','ok':'true','error':'gone'}") << Type::ButtonClicked
            << QStringLiteral("gone") << none << noFields << noField << false;
        QTest::newRow("error") << j("{'type':'error','error':'Page non prise en charge'}")
                               << Type::Error << QStringLiteral("Page non prise en charge") << none << noFields
                               << noField << false;
        QTest::newRow("error without error") << j("{'type':'error'}") << Type::Error << none << none
                                             << noFields << noField << false;
        QTest::newRow("error with object error") << j("{'type':'error','error':{'m':'x'}}")
                                                 << Type::Error << none << none << noFields << noField << false;

        const QList<QByteArray> dropped{
            j("{'type':'Hello','version':'1'}"), j("{'type':'HELLO'}"), j("{'type':'FillResult','ok':true}"),
            j("{'type':'fillresult','ok':true}"), j("{'type':' hello'}"), j("{'type':'scan'}"),
            j("{'type':'fill'}"), j("{'type':''}"), j("{'version':'1'}"), j("{'type':5}"), j("{'type':null}"),
            j("{'type':['hello']}"), j("[{'type':'hello'}]"), j("'hello'"), "", "null", "42",
            j("{'type':'hello'"), j("{'type':'hello'} trailing"), "\xff\xfe"};
        for (const QByteArray &payload : dropped) {
            QTest::newRow(("dropped: " + payload).constData())
                << payload << Type::Dropped << none << none << noFields << noField << false;
        }
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
        switch (type) {
        case Type::Dropped:
            break;
        case Type::Hello:
            QCOMPARE(m.version, text1);
            break;
        case Type::Fields:
            QCOMPARE(m.url, text1);
            QCOMPARE(m.title, text2);
            QCOMPARE(m.fields, fields);
            break;
        case Type::Picked:
            QCOMPARE(m.kind, text1);
            QCOMPARE(m.kind.isNull(), text1.isNull()); // "" stays "" rather than turning into nothing
            QCOMPARE(m.url, text2);
            QCOMPARE(m.field, field);
            break;
        case Type::FillResult:
        case Type::ButtonClicked:
            QCOMPARE(m.ok, ok);
            QCOMPARE(m.error, text1);
            break;
        case Type::Error:
            QCOMPARE(m.error, text1);
            break;
        }
    }

    void helloIsFixedText()
    {
        QCOMPARE(pluginHelloMessage(), j("{'type':'hello','from':'app'}"));
        QCOMPARE(pluginHelloMessage().size(), 29);
    }

    void scanAndPickMode()
    {
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
        QTest::newRow("empty value, large delay") << QJsonObject() << QString() << true << QJsonObject() << false
                                                  << 2147483647;
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
        QVERIFY2(compact(json), json.constData());
        QVERIFY2(QRegularExpression(QStringLiteral("[{,]\"clickDelayMs\":%1[,}]").arg(delay))
                     .match(QString::fromUtf8(json))
                     .hasMatch(),
                 json.constData());

        const QJsonObject back = QJsonDocument::fromJson(json).object();
        QCOMPARE(back.size(), 7);
        QCOMPARE(back.value("type"), QJsonValue("fill"));
        QCOMPARE(back.value("target"), QJsonValue(target));
        QCOMPARE(back.value("value"), QJsonValue(value));
        QCOMPARE(back.value("pressEnter"), QJsonValue(pressEnter));
        QCOMPARE(back.value("button"), QJsonValue(button));
        QCOMPARE(back.value("clickButton"), QJsonValue(clickButton));
        QCOMPARE(back.value("clickDelayMs").toInteger(-1), qint64(delay));
    }
};

FIELDPOST_TEST_MAIN(TestPluginProtocol)
#include "tst_pluginprotocol.moc"
