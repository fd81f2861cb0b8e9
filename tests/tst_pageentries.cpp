// A destination per page: which entry serves an address, the settings stores
// and the pages file.
#include "TestMain.h"

#include "PageEntries.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

const QString shop = QStringLiteral("https://shop.example/orders/new");

// "[deployed ]kind pattern", with a one-field destination.
PageEntry entry(const QString &written)
{
    QString text = written;
    PageEntry e;
    if (text.startsWith(QLatin1String("deployed "))) {
        e.deployed = true;
        text = text.mid(9);
    }
    const qsizetype space = text.indexOf(u' ');
    e.match = pageMatchFromKey(text.left(space)).value();
    e.pattern = text.mid(space + 1);
    e.destination.fields = {{{QStringLiteral("label"), QStringLiteral("Order")}}};
    return e;
}

QString json(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

// Every member spelled out, so that a member lost on the way shows.
QStringList describe(const QList<PageEntry> &entries)
{
    QStringList out;
    for (const PageEntry &e : entries) {
        const Destination &d = e.destination;
        QStringList fields;
        for (const QJsonObject &field : d.fields)
            fields.append(json(field));
        out.append(QStringList{e.pattern, QString::number(int(e.match)), d.url, d.title, fields.join(u','),
                               QString::number(int(d.mode)), d.splitSeparator, d.ais.join(u','),
                               QString::number(d.pressEnter), json(d.button), QString::number(d.clickButton),
                               QString::number(e.deployed)}
                       .join(u'|'));
    }
    return out;
}

// No member at its default.
PageEntry fullEntry()
{
    PageEntry e = entry(QStringLiteral("prefix https://shop.example/receiving/"));
    const auto object = [](const char *text) { return QJsonDocument::fromJson(text).object(); };
    e.destination = {QStringLiteral("https://shop.example/receiving/42?tab=1"), QStringLiteral("Goods in"),
                     {object(R"({"label":"GTIN","tag":"input"})"), object(R"({"label":"Expiry","type":"date"})")},
                     FieldsMode::Gs1, u';', QStringList{QStringLiteral("01"), QStringLiteral("17")}, false,
                     object(R"({"label":"Book"})"), true};
    return e;
}

QByteArray pagesFile(int version, const QJsonArray &pages)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("fieldpostPages"), version}, {QStringLiteral("pages"), pages}})
        .toJson();
}

} // namespace

class TestPageEntries : public QObject
{
    Q_OBJECT

private slots:
    void find_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("found");
        const auto row = [](const char *name, const QStringList &entries, const QString &url, int found) {
            QTest::newRow(name) << entries << url << found;
        };
        const QString pageEntry = QStringLiteral("page ") + shop;
        row("page: query and fragment aside", {pageEntry}, shop + "?id=3#top", 0);
        row("page: a longer path is another page", {pageEntry}, shop + "/2", -1);
        row("site: any case, port and path", {"site Shop.Example"}, "https://shop.example:8443/a", 0);
        row("site: the whole host", {"site example"}, "https://shop.example/", -1);
        row("prefix", {"prefix https://shop.example/orders/"}, shop + "?x", 0);
        row("regex: anywhere in the address", {"regex orders/\\w+$"}, shop, 0);
        row("regex: an invalid one matches nothing", {"regex ("}, "https://x.example/(", -1);
        row("page before prefix, regex and site",
            {"site shop.example", "regex orders", "prefix https://shop.example/", pageEntry}, shop, 3);
        row("the longest prefix before regex and site",
            {"site shop.example", "prefix https://shop.example/", "regex orders",
             "prefix https://shop.example/orders/"},
            shop, 3);
        row("regex before site", {"site shop.example", "regex orders"}, shop, 1);
        row("the user's before a deployed one",
            {"deployed prefix https://shop.example/", "prefix https://shop.example/"}, shop, 1);
        row("a longer deployed prefix before a shorter one of the user's",
            {"prefix https://shop.example/", "deployed prefix https://shop.example/orders/"}, shop, 1);
        row("then the list's order", {"site shop.example", "site SHOP.example"}, shop, 0);
        row("none", {"page https://shop.example/orders"}, shop, -1);
    }

    void find()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, url);
        QFETCH(int, found);
        QList<PageEntry> list;
        for (const QString &written : entries)
            list.append(entry(written));
        QCOMPARE(findPageEntry(list, url), found);
    }

    // A pick's pattern serves the page it was made on, and not its neighbour.
    void defaultPattern_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("match");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("neighbour");
        const auto row = [](const char *match, const QString &url, const QString &pattern, const QString &neighbour) {
            QTest::newRow(match) << url << QString::fromLatin1(match) << pattern << neighbour;
        };
        const QString picked = shop + "?id=3#top";
        row("page", picked, shop, shop + "er");
        row("site", picked, "shop.example", "https://shop.example.org/orders/new");
        row("prefix", picked, shop, "https://shop.example/orders/");
        row("regex", picked, "^https://shop\\.example/orders/new(?:[?#]|$)", shop + "er");
        QTest::newRow("regex of characters the engine reads")
            << QStringLiteral("https://h.example/a+(b)?x=1") << QStringLiteral("regex")
            << QStringLiteral("^https://h\\.example/a\\+\\(b\\)(?:[?#]|$)")
            << QStringLiteral("https://h.example/aa(b)");
    }

    void defaultPattern()
    {
        QFETCH(QString, url);
        QFETCH(QString, match);
        QFETCH(QString, pattern);
        QFETCH(QString, neighbour);
        PageEntry e;
        e.match = pageMatchFromKey(match).value();
        e.pattern = ::defaultPattern(url, e.match);
        QCOMPARE(e.pattern, pattern);
        QCOMPARE(::patternError(e.pattern, e.match), QString());
        QVERIFY(pageMatches(e, url));
        QVERIFY(!pageMatches(e, neighbour));
    }

    void patternError_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("match");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const QString &pattern, const char *match, const QString &error) {
            QTest::newRow(name) << pattern << QString::fromLatin1(match) << error;
        };
        row("empty", "", "page", "empty pattern");
        row("bad regex", "a(b", "regex", "invalid regular expression: missing closing parenthesis at offset 3");
        row("an address as site", "shop.example/orders", "site",
            "\"shop.example/orders\" is not a host name such as example.com");
        row("a host", "shop.example", "site", "");
    }

    void patternError()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, match);
        QFETCH(QString, error);
        QCOMPARE(::patternError(pattern, pageMatchFromKey(match).value()), error);
    }

    void settingsRoundTrip()
    {
        // The system store where the user store's fallback finds it.
        QTemporaryDir systemDir;
        QVERIFY(systemDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemDir.path());
        QSettings system(QSettings::SystemScope, testOrganization, QCoreApplication::applicationName());
        QVERIFY(system.fileName().startsWith(systemDir.path()));
        writePageEntries(system, {entry("site shop.example"), entry("regex ^https://intra\\.")});
        system.setValue(QStringLiteral("pages/3/entry"), QStringLiteral("{}"));
        system.setValue(QStringLiteral("pages/size"), 3);

        QSettings user;
        writePageEntries(user, {fullEntry(), entry("deployed page https://x.example/"), entry("page " + shop)});

        QStringList skipped;
        QSettings reread;
        QList<PageEntry> expected = {fullEntry(), entry("page " + shop), entry("deployed site shop.example"),
                                     entry("deployed regex ^https://intra\\.")};
        QCOMPARE(describe(readPageEntries(reread, &system, &skipped)), describe(expected));
        QCOMPARE(skipped, QStringList{"Pages: deployed entry 3 left out: unknown match \"\""});
        QVERIFY(reread.fallbacksEnabled());

        // A bad entry of the user's, then no entries of the user's at all: the
        // deployed ones come once, from the system store.
        skipped.clear();
        reread.setValue(QStringLiteral("pages/1/entry"), QStringLiteral("{\"pattern\""));
        expected.removeFirst();
        QCOMPARE(describe(readPageEntries(reread, &system, &skipped)), describe(expected));
        QCOMPARE(skipped.size(), 2); // and the deployed one as before
        QVERIFY2(skipped.first().startsWith("Pages: entry 1 left out: not JSON: "), qPrintable(skipped.first()));
        reread.remove(QStringLiteral("pages"));
        expected.removeFirst();
        QCOMPARE(describe(readPageEntries(reread, &system, nullptr)), describe(expected));

        writePageEntries(user, {fullEntry(), entry("page " + shop)});
        writePageEntries(user, {fullEntry()});
        user.setFallbacksEnabled(false);
        QVERIFY(!user.contains(QStringLiteral("pages/2/entry")));
    }

    void exportImport()
    {
        const QList<PageEntry> entries = {fullEntry(), entry("deployed site intra.example"),
                                          entry("site Shop.Example")};
        QString error;
        const std::optional<QList<PageEntry>> imported = importPageEntries(exportPageEntries(entries), &error);
        QVERIFY2(imported, qPrintable(error));
        QCOMPARE(describe(*imported), describe({entries.at(0), entries.at(2)}));
    }

    void importRefused_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("error");
        const QJsonObject good = pageEntryToJson(fullEntry());
        const auto withDestination = [&](const char *member, const QJsonValue &value) {
            QJsonObject o = good;
            QJsonObject d = o.value(QLatin1String("destination")).toObject();
            d.insert(QLatin1String(member), value);
            o.insert(QLatin1String("destination"), d);
            return o;
        };
        QJsonObject badRegex = good;
        badRegex.insert(QLatin1String("match"), QStringLiteral("regex"));
        badRegex.insert(QLatin1String("pattern"), QStringLiteral("(x"));
        QJsonArray seventeen;
        for (int i = 0; i < 17; ++i)
            seventeen.append(QJsonObject{});

        const auto row = [](const char *name, const QByteArray &file, const QString &error) {
            QTest::newRow(name) << file << error;
        };
        row("not JSON", "{\"fieldpostPages\": 1,", "not JSON: ");
        row("no version", "{\"pages\": []}", "not a Fieldpost pages file");
        row("a later version", pagesFile(2, {good}), "a pages file of version 2, this gateway reads version 1");
        row("bad regex in entry 2", pagesFile(1, {good, badRegex}),
            "entry 2: invalid regular expression: missing closing parenthesis at offset 2");
        row("17 fields", pagesFile(1, {withDestination("fields", seventeen)}),
            "entry 1: destination: 17 fields, 16 at most");
        row("unknown mode", pagesFile(1, {withDestination("mode", "columns")}),
            "entry 1: destination: unknown mode \"columns\"");
        row("pressEnter as text", pagesFile(1, {withDestination("pressEnter", "yes")}),
            "entry 1: destination: pressEnter is not true or false");
    }

    void importRefused()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, error);
        QString got;
        QVERIFY(!importPageEntries(file, &got));
        QVERIFY2(got.startsWith(error) && (got == error || error.endsWith(u' ')), qPrintable(got));
    }
};

FIELDPOST_TEST_MAIN(TestPageEntries)
#include "tst_pageentries.moc"
