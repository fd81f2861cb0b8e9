// The destinations kept per page as a user edits them from the window:
// deployed rows stay as they are, OK waits for valid patterns, and files go
// in and out through the core.
#include "PagesDialog.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QComboBox>
#include <QTableWidget>

namespace {

const QString depotEntry = QStringLiteral(
    R"({"pattern":"https://depot.example/receive","match":"page","destination":{"url":"https://depot.example/receive",)"
    R"("fields":[{"label":"Parcel code","tag":"input"},{"label":"Batch","tag":"input"}],"pressEnter":true}})");
const QString shopEntry = QStringLiteral(
    R"({"pattern":"shop.example","match":"site","destination":{"fields":[{"label":"Qty","tag":"input"}],"pressEnter":false}})");
const QString deployedEntry = QStringLiteral(
    R"({"pattern":"intranet.example","match":"site","destination":{"fields":[{"label":"Badge"}]}})");

// As the core keeps them between runs: the user's store, or the administrator's.
void storePages(QSettings &&settings, const QStringList &entries)
{
    settings.beginWriteArray(QStringLiteral("pages"));
    for (int i = 0; i < entries.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("entry"), entries.at(i));
    }
    settings.endArray();
}

QSettings systemSettings()
{
    return QSettings(QSettings::SystemScope, QCoreApplication::organizationName(), QCoreApplication::applicationName());
}

QStringList column(const QTableWidget *table, int col)
{
    QStringList out;
    for (int row = 0; row < table->rowCount(); ++row)
        out << table->item(row, col)->text();
    return out;
}

int storedUserPages()
{
    return QSettings().beginReadArray(QStringLiteral("pages"));
}

} // namespace

class TestPagesDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir files;
    QString chosen; // the file the user "chooses" in Export… and Import…
    std::unique_ptr<MainWindow> window;
    PagesDialog *dialog = nullptr;
    QTableWidget *table = nullptr;

    void openPages()
    {
        if (!window) {
            QSettings().setValue(QStringLiteral("tcpPort"), 0);
            WindowParts parts = testParts();
            parts.choosePagesFile = [this](QWidget *, bool) { return chosen; };
            window = std::make_unique<MainWindow>(std::move(parts));
        }
        probe::button(window.get(), "pagesButton")->click();
        // The one closed before is deleted only on the next turn of the event loop.
        dialog = window->findChildren<PagesDialog *>().constLast();
        table = probe::find<QTableWidget>(dialog, "pagesTable");
    }

    void click(const char *name) { probe::button(dialog, name)->click(); }
    QLabel *reason() { return probe::label(dialog, "pageErrorLabel"); }

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, files.filePath(QStringLiteral("system")));
    }

    void init()
    {
        QSettings().clear();
        storePages(QSettings(), {depotEntry, shopEntry});
    }

    void cleanup()
    {
        window.reset();
        systemSettings().clear();
    }

    // An administrator's entry comes after the user's, greyed, and is neither edited, removed nor stored as the user's.
    void deployedRowsStayAsTheyAre()
    {
        storePages(systemSettings(), {deployedEntry});
        openPages();
        QCOMPARE(column(table, 0), (QStringList{QStringLiteral("https://depot.example/receive"),
                                                QStringLiteral("shop.example"), QStringLiteral("intranet.example")}));
        QCOMPARE(column(table, 2).at(0), QStringLiteral("Parcel code (1), Batch (2)"));
        QCOMPARE(column(table, 3), (QStringList{QStringLiteral("Enter"), QStringLiteral("\u2014"), QStringLiteral("Enter")}));
        QVERIFY(table->item(0, 0)->flags() & Qt::ItemIsEditable);
        QVERIFY(table->cellWidget(0, 1));
        QVERIFY(!table->cellWidget(2, 1));
        for (int col = 0; col < table->columnCount(); ++col) {
            QVERIFY(!(table->item(2, col)->flags() & (Qt::ItemIsEditable | Qt::ItemIsEnabled)));
            QCOMPARE(table->item(2, col)->toolTip(), QStringLiteral("Deployed by the administrator"));
        }

        // The deployed row cannot be made the one Remove takes.
        table->setCurrentCell(0, 0);
        table->setCurrentCell(2, 0);
        click("removePageButton");
        QCOMPARE(column(table, 0), (QStringList{QStringLiteral("shop.example"), QStringLiteral("intranet.example")}));
        click("okButton");
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(storedUserPages(), 1);
    }

    // An invalid pattern keeps the dialog open with its reason; corrected, OK takes it.
    void badPatternRefusesOk()
    {
        openPages();
        auto *match = qobject_cast<QComboBox *>(table->cellWidget(1, 1));
        match->setCurrentIndex(match->findText(QStringLiteral("Regular expression")));
        table->item(1, 0)->setText(QStringLiteral("shop\\.(example"));
        click("okButton");
        QVERIFY(dialog->isVisible());
        QVERIFY(reason()->isVisibleTo(dialog));
        QVERIFY2(reason()->text().startsWith(QStringLiteral("Page 2: ")), qPrintable(reason()->text()));

        table->item(1, 0)->setText(QStringLiteral("^https://shop\\.example/"));
        click("okButton");
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
    }

    // A file that is no export of pages says why and changes nothing; an
    // export imported again brings back what was removed since.
    void exportAndImport()
    {
        openPages();
        const QStringList patterns = column(table, 0);
        chosen = files.filePath(QStringLiteral("pages.json"));
        click("exportPagesButton");
        QVERIFY2(!reason()->isVisibleTo(dialog), qPrintable(reason()->text()));

        QFile bad(files.filePath(QStringLiteral("bad.json")));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("not json at all");
        bad.close();
        chosen = bad.fileName();
        click("importPagesButton");
        QVERIFY(reason()->isVisibleTo(dialog) && !reason()->text().isEmpty());
        QCOMPARE(column(table, 0), patterns);
        QCOMPARE(storedUserPages(), 2);

        table->setCurrentCell(0, 0);
        click("removePageButton");
        click("okButton");
        QCOMPARE(storedUserPages(), 1);
        openPages();
        chosen = files.filePath(QStringLiteral("pages.json"));
        click("importPagesButton");
        QCOMPARE(column(table, 0), patterns);
        QCOMPARE(storedUserPages(), 2);
    }
};

FIELDPOST_TEST_MAIN(TestPagesDialog)
#include "tst_pagesdialog.moc"
