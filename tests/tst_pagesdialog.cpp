// The destinations kept per page as a user edits them from the window:
// deployed rows stay as they are, OK waits for valid patterns, and files in
// and out through the core.
#include "PagesDialog.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTableWidget>

namespace {

QSettings systemSettings()
{
    return QSettings(QSettings::SystemScope, QCoreApplication::organizationName(), QCoreApplication::applicationName());
}

// Two entries of the user's, as the core keeps them between runs.
void storeUserPages()
{
    const QByteArray entries[] = {
        R"({"pattern":"https://depot.example/receive","match":"page","destination":{"url":"https://depot.example/receive",)"
        R"("fields":[{"label":"Parcel code","tag":"input","type":"text"},{"label":"Batch","tag":"input","type":"text"}],)"
        R"("mode":"split","pressEnter":true}})",
        R"({"pattern":"shop.example","match":"site","destination":{"url":"https://shop.example/order",)"
        R"("fields":[{"label":"Qty","tag":"input","type":"number"}],"pressEnter":false}})",
    };
    QSettings settings;
    settings.beginWriteArray(QStringLiteral("pages"));
    for (int i = 0; i < 2; ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("entry"), QJsonDocument::fromJson(entries[i]).toJson(QJsonDocument::Compact));
    }
    settings.endArray();
}

QStringList column(const QTableWidget *table, int col)
{
    QStringList out;
    for (int row = 0; row < table->rowCount(); ++row)
        out << table->item(row, col)->text();
    return out;
}

} // namespace

class TestPagesDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir files;
    QString chosen; // the file the user "chooses" in Export… and Import…

    std::unique_ptr<MainWindow> makeWindow()
    {
        QSettings().setValue(QStringLiteral("tcpPort"), 0);
        WindowParts parts = testParts();
        parts.choosePagesFile = [this](QWidget *, bool) { return chosen; };
        return std::make_unique<MainWindow>(std::move(parts));
    }

    static PagesDialog *openPages(MainWindow *window)
    {
        probe::button(window, "pagesButton")->click();
        // The one closed before is deleted only on the next turn of the event loop.
        return window->findChildren<PagesDialog *>().constLast();
    }

private slots:
    // The administrator's store in the sandbox too.
    void initTestCase()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, files.filePath(QStringLiteral("system")));
    }

    void init()
    {
        QSettings().clear();
        storeUserPages();
    }

    void cleanup()
    {
        chosen.clear();
        QSettings system = systemSettings();
        system.clear();
    }

    // An administrator's entry is shown after the user's, greyed, and neither edited, removed nor kept as the user's.
    void deployedRowsStayAsTheyAre()
    {
        {
            QSettings system = systemSettings();
            system.beginWriteArray(QStringLiteral("pages"));
            system.setArrayIndex(0);
            system.setValue(QStringLiteral("entry"), QStringLiteral(R"({"pattern":"intranet.example","match":"site",)"
                                                                    R"("destination":{"fields":[{"label":"Badge"}]}})"));
            system.endArray();
        }
        auto window = makeWindow();
        PagesDialog *dialog = openPages(window.get());
        auto *table = probe::find<QTableWidget>(dialog, "pagesTable");
        QCOMPARE(table->rowCount(), 3);
        QCOMPARE(table->item(2, 0)->text(), QStringLiteral("intranet.example"));
        QCOMPARE(table->item(2, 1)->text(), QStringLiteral("Same site"));
        QVERIFY(!table->cellWidget(2, 1));
        for (int col = 0; col < table->columnCount(); ++col) {
            QVERIFY(!(table->item(2, col)->flags() & (Qt::ItemIsEditable | Qt::ItemIsEnabled)));
            QCOMPARE(table->item(2, col)->toolTip(), QStringLiteral("Deployed by the administrator"));
        }
        QVERIFY(table->item(0, 0)->flags() & Qt::ItemIsEditable);
        QVERIFY(table->cellWidget(0, 1));

        // The deployed row cannot be made the one Remove takes.
        table->setCurrentCell(0, 0);
        table->setCurrentCell(2, 0);
        QCOMPARE(table->currentRow(), 0);
        probe::button(dialog, "removePageButton")->click();
        QCOMPARE(column(table, 0), (QStringList{QStringLiteral("shop.example"), QStringLiteral("intranet.example")}));
        probe::button(dialog, "okButton")->click();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QSettings user;
        QCOMPARE(user.beginReadArray(QStringLiteral("pages")), 1);
    }

    // An invalid pattern keeps the dialog open with its reason; corrected, OK keeps the edit.
    void badPatternRefusesOk()
    {
        auto window = makeWindow();
        PagesDialog *dialog = openPages(window.get());
        auto *table = probe::find<QTableWidget>(dialog, "pagesTable");
        QCOMPARE(column(table, 0), (QStringList{QStringLiteral("https://depot.example/receive"), QStringLiteral("shop.example")}));
        QCOMPARE(column(table, 2), (QStringList{QStringLiteral("Parcel code (1), Batch (2)"), QStringLiteral("Qty  [input/number]")}));
        QCOMPARE(column(table, 3), (QStringList{QStringLiteral("Enter"), QStringLiteral("\u2014")}));

        auto *match = qobject_cast<QComboBox *>(table->cellWidget(1, 1));
        QVERIFY(match);
        match->setCurrentIndex(match->findText(QStringLiteral("Regular expression")));
        table->item(1, 0)->setText(QStringLiteral("shop\\.(example"));
        probe::button(dialog, "okButton")->click();
        QVERIFY(dialog->isVisible());
        QLabel *reason = probe::label(dialog, "pageErrorLabel");
        QVERIFY(reason->isVisibleTo(dialog));
        QVERIFY2(reason->text().startsWith(QStringLiteral("Page 2: ")), qPrintable(reason->text()));

        table->item(1, 0)->setText(QStringLiteral("^https://shop\\.example/"));
        probe::button(dialog, "okButton")->click();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        PagesDialog *again = openPages(window.get());
        auto *reread = probe::find<QTableWidget>(again, "pagesTable");
        QCOMPARE(reread->item(1, 0)->text(), QStringLiteral("^https://shop\\.example/"));
        QCOMPARE(qobject_cast<QComboBox *>(reread->cellWidget(1, 1))->currentText(), QStringLiteral("Regular expression"));
    }

    // A file that is not an export of pages says why and changes nothing;
    // an export imported again brings back what was removed since.
    void exportAndImport()
    {
        auto window = makeWindow();
        PagesDialog *dialog = openPages(window.get());
        auto *table = probe::find<QTableWidget>(dialog, "pagesTable");
        const QStringList patterns = column(table, 0);
        QLabel *reason = probe::label(dialog, "pageErrorLabel");

        chosen = files.filePath(QStringLiteral("pages.json"));
        probe::button(dialog, "exportPagesButton")->click();
        QVERIFY2(!reason->isVisibleTo(dialog), qPrintable(reason->text()));
        QVERIFY(QFileInfo(chosen).size() > 0);

        // Escaped, not raw: moc loses the class after a raw string that holds "(.
        const QByteArray bad[] = {"not json at all", "{\"pages\":[{\"pattern\":\"(x\",\"match\":\"regex\"}]}"};
        for (const QByteArray &content : bad) {
            QFile file(files.filePath(QStringLiteral("bad.json")));
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(content);
            file.close();
            chosen = file.fileName();
            probe::button(dialog, "importPagesButton")->click();
            QVERIFY2(reason->isVisibleTo(dialog) && !reason->text().isEmpty(), content.constData());
            QCOMPARE(column(table, 0), patterns);
        }

        table->setCurrentCell(0, 0);
        probe::button(dialog, "removePageButton")->click();
        probe::button(dialog, "okButton")->click();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));

        dialog = openPages(window.get());
        table = probe::find<QTableWidget>(dialog, "pagesTable");
        QCOMPARE(column(table, 0), patterns.mid(1));
        chosen = files.filePath(QStringLiteral("pages.json"));
        probe::button(dialog, "importPagesButton")->click();
        QCOMPARE(column(table, 0), patterns);
        QCOMPARE(column(table, 2).at(0), QStringLiteral("Parcel code (1), Batch (2)"));
    }
};

FIELDPOST_TEST_MAIN(TestPagesDialog)
#include "tst_pagesdialog.moc"
