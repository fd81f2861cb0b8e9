// The rules editor as a user drives it from the window.
#include "RulesDialog.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

using Kind = LineRule::Kind;

namespace {

template<typename T>
T *child(const QWidget &dialog, const char *name)
{
    T *found = dialog.findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no widget named %s", name);
    return found;
}

QStringList texts(const QWidget &dialog, const char *listName)
{
    const auto *list = child<QListWidget>(dialog, listName);
    QStringList out;
    for (int row = 0; row < list->count(); ++row)
        out << list->item(row)->text();
    return out;
}

void click(const QWidget &dialog, const char *buttonName)
{
    QTest::mouseClick(child<QPushButton>(dialog, buttonName), Qt::LeftButton);
}

void type(const QWidget &dialog, const char *editName, const QString &text)
{
    auto *edit = child<QLineEdit>(dialog, editName);
    edit->clear();
    QTest::keyClicks(edit, text);
}

// A rule of `kind` added after the selected one, with its pattern typed in.
void add(const QWidget &dialog, Kind kind, const QString &pattern = {})
{
    auto *kinds = child<QComboBox>(dialog, "addKindBox");
    kinds->setCurrentIndex(kinds->findData(ruleKindKey(kind)));
    click(dialog, "addRuleButton");
    if (!pattern.isEmpty())
        type(dialog, "patternEdit", pattern);
}

} // namespace

class TestRulesDialog : public QObject
{
    Q_OBJECT

private slots:
    // Adding and ordering rules, the sample's steps, OK refused for a bad
    // expression, and the accepted rules back from the settings.
    void editRules()
    {
        QSettings().setValue(QStringLiteral("tcpPort"), 0);
        auto window = std::make_unique<MainWindow>(testParts());
        const auto openRules = [&window] {
            probe::button(window.get(), "rulesButton")->click();
            return window->findChild<RulesDialog *>();
        };
        RulesDialog &dialog = *openRules();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        add(dialog, Kind::Prefix, QStringLiteral("X"));
        add(dialog, Kind::Gs1);
        add(dialog, Kind::Accept, QStringLiteral("^\\d+$"));
        child<QListWidget>(dialog, "ruleList")->setCurrentRow(1);
        click(dialog, "ruleUpButton");
        QCOMPARE(texts(dialog, "ruleList"),
                 (QStringList{QStringLiteral("1. Keep GS1 element 01"), QStringLiteral("2. Add prefix \"X\""),
                              QStringLiteral("3. Accept only lines matching \"^\\d+$\"")}));
        // The default sample is the GS1 example GTIN 09501101530003 with a batch and an expiry date.
        QCOMPARE(texts(dialog, "previewView"),
                 (QStringList{QStringLiteral("1. Keep GS1 element 01 \u2192 09501101530003"),
                              QStringLiteral("2. Add prefix \"X\" \u2192 X09501101530003"),
                              QStringLiteral("3. Accept only lines matching \"^\\d+$\" \u2192 rejected: line does not "
                                             "match ^\\d+$"),
                              QStringLiteral("\u2192 Rejected: line does not match ^\\d+$")}));
        type(dialog, "sampleEdit", QStringLiteral("]C1") + QStringLiteral("10AB<GS>21C"));
        QCOMPARE(texts(dialog, "previewView").constLast(),
                 QStringLiteral("\u2192 Rejected: GS1 element (01) not in the line"));

        const auto *reason = child<QLabel>(dialog, "ruleErrorLabel");
        QVERIFY(!reason->isVisible());
        // Added after the selected rule, the GS1 one.
        add(dialog, Kind::Replace, QStringLiteral("(0"));
        click(dialog, "okButton");
        QVERIFY(dialog.isVisible());
        QVERIFY(reason->isVisible());
        QCOMPARE(reason->text(), QStringLiteral("Rule 2: invalid regular expression: missing closing parenthesis at "
                                                "offset 2"));
        click(dialog, "removeRuleButton");
        QVERIFY(!reason->isVisible());
        type(dialog, "separatorEdit", QStringLiteral("%"));
        click(dialog, "okButton");
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        const QStringList accepted = texts(dialog, "ruleList");

        // Kept in the settings: the next start shows them and runs them.
        window = std::make_unique<MainWindow>(testParts());
        RulesDialog &reread = *openRules();
        QCOMPARE(texts(reread, "ruleList"), accepted);
        QCOMPARE(child<QLineEdit>(reread, "separatorEdit")->text(), QStringLiteral("%"));
    }
};

FIELDPOST_TEST_MAIN(TestRulesDialog)
#include "tst_rulesdialog.moc"
