#include "DescribeField.h"
#include "TestMain.h"

#include <QJsonDocument>

class TestDescribeField : public QObject
{
    Q_OBJECT
private slots:
    void describe_data()
    {
        QTest::addColumn<QByteArray>("descriptor");
        QTest::addColumn<QString>("description");
        QTest::newRow("full") << QByteArray("{'label':'Email','tag':'input','type':'email'}")
                              << "Email  [input/email]";
        QTest::newRow("no label") << QByteArray("{'tag':'input','type':'text'}") << "(no name)  [input/text]";
        QTest::newRow("empty label") << QByteArray("{'label':'','tag':'input'}") << "(no name)  [input]";
        QTest::newRow("no type") << QByteArray("{'label':'Code','tag':'textarea'}") << "Code  [textarea]";
        QTest::newRow("empty tag") << QByteArray("{'label':'X','tag':'','type':'text'}") << "X  [/text]";
        QTest::newRow("neither") << QByteArray("{'label':'X'}") << "X  []";
        QTest::newRow("label is a number") << QByteArray("{'label':5,'tag':'input'}") << "(no name)  [input]";
        QTest::newRow("placeholders kept") << QByteArray("{'label':'%2 %1','tag':'%1','type':'%2'}")
                                           << "%2 %1  [%1/%2]";
    }

    void describe()
    {
        QFETCH(QByteArray, descriptor);
        QFETCH(QString, description);
        // Rows write JSON with single quotes: this moc mis-parses raw string literals.
        QCOMPARE(describeField(QJsonDocument::fromJson(descriptor.replace('\'', '"')).object()), description);
    }
};

FIELDPOST_TEST_MAIN(TestDescribeField)
#include "tst_describefield.moc"
