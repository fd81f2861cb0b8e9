#include "TestMain.h"
#include "TestSupport.h"

#include "DescribeField.h"
#include "LinkTrust.h"
#include "LogThrottle.h"
#include "PluginProtocol.h"

#include <QJsonDocument>

using Type = PluginMessage::Type;

namespace {

// JSON written with single quotes for readability.
QByteArray j(QByteArray json) { return json.replace('\'', '"'); }

QString summary(const PluginMessage &m)
{
    const auto compact = [](const auto &v) { return QString::fromUtf8(QJsonDocument(v).toJson(QJsonDocument::Compact)); };
    const QString ok = m.ok ? QStringLiteral("true") : QStringLiteral("false");
    switch (m.type) {
    case Type::Dropped: return QStringLiteral("dropped");
    case Type::Hello: return QStringList{"hello", m.version, m.instance, m.browser, QString::fromLatin1(m.nonce)}.join('|');
    case Type::Proof: return QStringList{"proof", QString::fromLatin1(m.proof)}.join('|');
    case Type::PickMode: return QStringList{"pickMode", m.enabled ? "on" : "off", m.kind, m.add ? "add" : ""}.join('|');
    case Type::Keepalive: return QStringLiteral("keepalive");
    case Type::Fields: return QStringList{"fields", m.url, m.title, compact(m.fields)}.join('|');
    case Type::Picked: return QStringList{"picked", m.kind, m.url, compact(m.field), m.add ? "add" : ""}.join('|');
    case Type::FillResult:
        return QStringList{"fillResult", ok, m.error, QString::number(m.id), QString::number(m.failedField)}.join('|');
    case Type::ButtonClicked: return QStringList{"buttonClicked", ok, m.error, QString::number(m.id)}.join('|');
    case Type::Error: return QStringList{"error", m.error}.join('|');
    case Type::ActivePage: return QStringList{"activePage", m.url, m.title}.join('|');
    case Type::SequenceReset: return QStringLiteral("sequenceReset");
    }
    return {};
}

} // namespace

class TestPluginProtocol : public QObject
{
    Q_OBJECT

private slots:
    // Every incoming message type with its member defaults, and what is dropped.
    void incoming_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *payload, const char *expected) {
            QTest::newRow(payload) << j(payload) << QString::fromUtf8(j(expected));
        };
        row("{'type':'hello','version':'1.4.2','instance':'b-1','browser':'Edge','nonce':'bm9uY2U='}",
            "hello|1.4.2|b-1|Edge|bm9uY2U=");
        row("{'type':'hello','nonce':5}", "hello||||");
        row("{'type':'proof','proof':'cHJvb2Y='}", "proof|cHJvb2Y=");
        row("{'type':'pickMode','enabled':true,'kind':'button'}", "pickMode|on|button|");
        row("{'type':'pickMode','enabled':'yes'}", "pickMode|off|field|");
        row("{'type':'pickMode','enabled':true,'add':true}", "pickMode|on|field|add");
        row("{'type':'keepalive'}", "keepalive");
        row("{'type':'fields','url':'https://a.example/','title':'Form','fields':[{'label':'Email','tag':'input'},{'tag':'button'}]}",
            "fields|https://a.example/|Form|[{'label':'Email','tag':'input'},{'tag':'button'}]");
        row("{'type':'fields','fields':[]}", "fields|||[]");
        row("{'type':'picked','kind':'field','url':'https://a.example/','field':{'tag':'input'}}",
            "picked|field|https://a.example/|{'tag':'input'}|");
        row("{'type':'picked','kind':'button','field':{'tag':'button'},'add':1}", "picked|button||{'tag':'button'}|");
        // A missing or non-string kind reads as a field; an empty one stays empty.
        row("{'type':'picked','add':true}", "picked|field||{}|add");
        row("{'type':'picked','kind':5}", "picked|field||{}|");
        row("{'type':'picked','kind':''}", "picked|||{}|");
        // Only a literal true is a success.
        row("{'type':'fillResult','ok':true,'id':7}", "fillResult|true||7|-1");
        row("{'type':'fillResult','ok':false,'error':'not found','failedField':2}", "fillResult|false|not found|-1|2");
        row("{'type':'fillResult','ok':false,'failedField':1.5}", "fillResult|false||-1|-1");
        row("{'type':'fillResult','ok':'true'}", "fillResult|false||-1|-1");
        row("{'type':'activePage','url':'https://a.example/x','title':'X'}", "activePage|https://a.example/x|X");
        row("{'type':'sequenceReset'}", "sequenceReset");
        row("{'type':'buttonClicked','ok':'true','error':'gone','id':9007199254740991}", "buttonClicked|false|gone|9007199254740991");
        // An id is a whole number the gateway counted; anything else is an answer without one.
        for (const char *id : {"'7'", "1.5", "-3", "1e300", "null"})
            QTest::addRow("id %s", id) << j(QByteArray("{'type':'fillResult','ok':true,'id':") + id + "}") << "fillResult|true||-1|-1";
        row("{'type':'error','error':'Page non prise en charge'}", "error|Page non prise en charge");
        // A message reads the same in any form JSON allows: blanks, escapes, text
        // beyond ASCII, numbers with a fraction or exponent, nested or repeated
        // members, many members; what is no JSON object stays dropped.
        row("{ 'type' : 'fillResult' ,\t'ok':true, 'id' : 7 }", "fillResult|true||7|-1");
        row("{'type':'fill\\u0052esult','ok':true,'error':'a\\'b\\\\c\\u00e9'}", "fillResult|true|a'b\\c\u00e9|-1|-1");
        row("{'type':'error','error':'Champ non trouv\xc3\xa9 \xe2\x80\x94 \x7f'}", "error|Champ non trouv\xc3\xa9 \xe2\x80\x94 \x7f");
        row("{'type':'fillResult','ok':true,'id':7.0,'failedField':2e0}", "fillResult|true||7|2");
        row("{'type':'fillResult','ok':true,'id':1234567890123456,'failedField':-0}", "fillResult|true||1234567890123456|0");
        row("{'type':'fillResult','ok':true,'id':123456789012345,'failedField':64}", "fillResult|true||123456789012345|-1");
        row("{'type':'fillResult','ok':true,'target':{'tag':'input'},'id':3,'n':null}", "fillResult|true||3|-1");
        row("{'type':'fillResult','ok':false,'ok':true,'error':'a','error':'b'}", "fillResult|true|b|-1|-1");
        row("{'type':'keepalive','a':1,'b':2,'c':3,'d':4,'e':5,'f':6,'g':7,'h':8,'i':9,'j':10,'k':11,'l':12,'m':13,'n':14,'o':15,'p':16}",
            "keepalive");
        row("\xef\xbb\xbf{'type':'keepalive'}", "keepalive");
        row("{'type':'error','error':'a\tb'}", "error|a\tb");
        for (const char *payload : {"{'type':'fillResult','ok':true,'id':07}", "{'type':'fillResult','ok':true}x",
                                    "{'type':'fillResult','ok':true", "{'type':'fillResult','ok':tru}",
                                    "{'type':'error','error':'\xc3'}", "{}", ""})
            row(payload, "dropped");
        // Types match exactly; what only goes out, or is no object, is dropped.
        for (const char *payload : {"{'type':'Hello','version':'1'}", "{'type':'FILLRESULT','ok':true}",
                                    "{'type':'scan'}", "{'version':'1'}", "{'type':5}", "[{'type':'hello'}]"})
            row(payload, "dropped");
    }

    void incoming()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, expected);
        QCOMPARE(summary(parsePluginMessage(payload)), expected);
    }

    void outgoing()
    {
        QCOMPARE(pluginHelloMessage(), j("{'type':'hello','from':'app'}"));
        QCOMPARE(pluginScanMessage(), j("{'type':'scan'}"));
        QCOMPARE(support::json(serializePluginMessage(pluginPickModeMessage(true, QStringLiteral("button")))),
                 (QJsonObject{{"type", "pickMode"}, {"enabled", true}, {"kind", "button"}}));

        // A fill always carries its seven members.
        const QJsonObject target = support::json(j("{'label':'Code article','tag':'input','path':[1,{'n':'a b'}]}"));
        const QJsonObject button = support::json(j("{'label':'OK','tag':'button'}"));
        const QString value = QStringLiteral("with blanks\tand \"quotes\"");
        const QByteArray fill = serializePluginMessage(pluginFillMessage(target, value, true, button, true, 300));
        QCOMPARE(support::json(fill), (QJsonObject{{"type", "fill"}, {"target", target}, {"value", value}, {"pressEnter", true},
                                                   {"button", button}, {"clickButton", true}, {"clickDelayMs", 300}}));
        // With an id, and the field's flash when asked for.
        QCOMPARE(pluginFillMessage(target, value, false, {}, false, 300, 42, true).value(QLatin1String("id")).toInteger(), 42);
        QCOMPARE(pluginFillMessage(target, value, false, {}, false, 300, 42, true).value(QLatin1String("flash")), QJsonValue(true));
        QCOMPARE(pluginFeedbackMessage(target, FeedbackSound::failure, QStringLiteral("no browser answered")),
                 (QJsonObject{{"type", "feedback"}, {"sound", "failure"}, {"bar", "no browser answered"}, {"target", target}}));
    }

    // The pairing's proof: HMAC-SHA256 over role, both nonces and the port. The
    // vectors were computed apart, with Python's hmac module.
    void proofVectors()
    {
        QByteArray key(32, Qt::Uninitialized);
        for (int i = 0; i < 32; ++i)
            key[i] = char(i);
        const QByteArray nc = "AAAAAAAAAAAAAAAAAAAAAA==", ng = "AQEBAQEBAQEBAQEBAQEBAQ==";
        QCOMPARE(LinkTrust::proof(key, "gateway", nc, ng, 9000), QByteArray("dTiNrGVphAqaKeVvqFVEgYudY56hAW0I+8H9aQufrdE="));
        QCOMPARE(LinkTrust::proof(key, "plugin", nc, ng, 9000), QByteArray("CswUkaLwq4+7bv109C8OwklDCOem2gDF3z7i3Yc6cvg="));

        // The steps of one link: a hello with a nonce gets the gateway's proof; only the plugin's own proof proves it.
        LinkTrust trust(key, 9000, ng);
        PluginMessage m;
        m.type = Type::Picked;
        QCOMPARE(int(trust.take(m).kind), int(LinkTrust::Step::Kind::Ignore));
        m.type = Type::Hello;
        m.nonce = nc;
        const LinkTrust::Step reply = trust.take(m);
        QCOMPARE(int(reply.kind), int(LinkTrust::Step::Kind::Reply));
        QCOMPARE(support::json(reply.reply), (QJsonObject{{"type", "proof"}, {"nonce", QString::fromLatin1(ng)},
                                                         {"proof", "dTiNrGVphAqaKeVvqFVEgYudY56hAW0I+8H9aQufrdE="}}));
        QCOMPARE(int(trust.take(m).kind), int(LinkTrust::Step::Kind::Ignore));
        m.type = Type::Proof;
        m.proof = "CswUkaLwq4+7bv109C8OwklDCOem2gDF3z7i3Yc6cvg=";
        QCOMPARE(int(trust.take(m).kind), int(LinkTrust::Step::Kind::Proven));
        QVERIFY(trust.proven());

        // Nonces are base64 of exactly 16 bytes; a gateway without a key refuses rather than proves.
        for (const char *bad : {"", "AAAA", "AAAAAAAAAAAAAAAAAAAAAAAA", "!!AAAAAAAAAAAAAAAAAAAA=="})
            QVERIFY2(!LinkTrust::isNonce(bad), bad);
        QVERIFY(LinkTrust::isNonce(LinkTrust::newNonce()) && LinkTrust::newNonce() != LinkTrust::newNonce());
        LinkTrust keyless({}, 9000, ng);
        m.type = Type::Hello;
        QCOMPARE(int(keyless.take(m).kind), int(LinkTrust::Step::Kind::Refuse));
    }

    // A flood costs one line a minute, and the next line counts what was held back.
    void logThrottle()
    {
        LogThrottle throttle(60000);
        QCOMPARE(throttle.take(0, "x").value_or("-"), QStringLiteral("x"));
        QVERIFY(!throttle.take(100, "x") && !throttle.take(59999, "x"));
        QCOMPARE(throttle.take(60000, "x").value_or("-"), QStringLiteral("x (and 2 more since the last such line)"));
        QCOMPARE(throttle.take(200000, "y").value_or("-"), QStringLiteral("y"));
    }

    // How the window names a picked element, past the plain cases its suites see.
    void describe()
    {
        const std::pair<const char *, const char *> rows[] = {{"{'label':'Code','tag':'textarea'}", "Code  [textarea]"},
            {"{'label':'','tag':'','type':'text'}", "(no name)  [/text]"}, {"{'label':5,'tag':'input'}", "(no name)  [input]"},
            {"{'label':'%2 %1','tag':'%1','type':'%2'}", "%2 %1  [%1/%2]"}};
        for (const auto &[descriptor, shown] : rows)
            QCOMPARE(describeField(support::json(j(descriptor))), QString::fromUtf8(shown));
    }
};

FIELDPOST_TEST_MAIN(TestPluginProtocol)
#include "tst_pluginprotocol.moc"
