#include "PagesDialog.h"

#include "DescribeField.h"
#include "Gateway.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column { PageColumn, MatchColumn, FieldsColumn, OptionsColumn };

const std::pair<PageMatch, QString> matchNames[] = {
    {PageMatch::Page, QStringLiteral("Same page")},
    {PageMatch::Site, QStringLiteral("Same site")},
    {PageMatch::Prefix, QStringLiteral("Starts with")},
    {PageMatch::Regex, QStringLiteral("Regular expression")},
};

QString matchName(PageMatch match)
{
    for (const auto &[m, name] : matchNames) {
        if (m == match)
            return name;
    }
    return {};
}

const QString deployedTip = QStringLiteral("Deployed by the administrator");

QString defaultChooser(QWidget *parent, bool saving)
{
    const QString filter = QStringLiteral("Pages (*.json);;All files (*)");
    return saving ? QFileDialog::getSaveFileName(parent, QStringLiteral("Export pages"), QStringLiteral("pages.json"), filter)
                  : QFileDialog::getOpenFileName(parent, QStringLiteral("Import pages"), QString(), filter);
}

} // namespace

QString describeFields(const QList<QJsonObject> &fields)
{
    if (fields.isEmpty())
        return QStringLiteral("none");
    if (fields.size() == 1)
        return describeField(fields.first());
    QStringList parts;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        QString label = fields.at(i).value(QLatin1String("label")).toString().simplified();
        if (label.isEmpty())
            label = QStringLiteral("(no name)");
        parts << QStringLiteral("%1 (%2)").arg(label).arg(i + 1);
    }
    return parts.join(QStringLiteral(", "));
}

QString describeOptions(const Destination &destination)
{
    QStringList parts;
    if (destination.pressEnter)
        parts << QStringLiteral("Enter");
    if (destination.clickButton && !destination.button.isEmpty())
        parts << QStringLiteral("click button");
    return parts.isEmpty() ? QStringLiteral("\u2014") : parts.join(QStringLiteral(", "));
}

PagesDialog::PagesDialog(Gateway *gateway, ChoosePagesFile chooseFile, QWidget *parent)
    : QDialog(parent)
    , gateway(gateway)
    , chooseFile(chooseFile ? std::move(chooseFile) : defaultChooser)
{
    setWindowTitle(QStringLiteral("Pages"));
    resize(640, 320);
    auto *layout = new QVBoxLayout(this);

    pagesTable = new QTableWidget(0, 4);
    pagesTable->setHorizontalHeaderLabels(
        {QStringLiteral("Page"), QStringLiteral("Match"), QStringLiteral("Fields"), QStringLiteral("Options")});
    pagesTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    pagesTable->setSelectionMode(QAbstractItemView::SingleSelection);
    pagesTable->verticalHeader()->hide();
    pagesTable->horizontalHeader()->setSectionResizeMode(PageColumn, QHeaderView::Stretch);
    for (int column : {MatchColumn, FieldsColumn, OptionsColumn})
        pagesTable->horizontalHeader()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    layout->addWidget(pagesTable, 1);

    pageErrorLabel = new QLabel;
    pageErrorLabel->setWordWrap(true);
    pageErrorLabel->setStyleSheet(QStringLiteral("color:#c0392b; font-weight:bold;"));
    pageErrorLabel->hide();
    layout->addWidget(pageErrorLabel);

    auto *row = new QHBoxLayout;
    removePageButton = new QPushButton(QStringLiteral("Remove"));
    exportPagesButton = new QPushButton(QStringLiteral("Export\u2026"));
    importPagesButton = new QPushButton(QStringLiteral("Import\u2026"));
    row->addWidget(removePageButton);
    row->addStretch(1);
    row->addWidget(exportPagesButton);
    row->addWidget(importPagesButton);
    layout->addLayout(row);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    layout->addWidget(buttons);

    pagesTable->setObjectName(QStringLiteral("pagesTable"));
    removePageButton->setObjectName(QStringLiteral("removePageButton"));
    exportPagesButton->setObjectName(QStringLiteral("exportPagesButton"));
    importPagesButton->setObjectName(QStringLiteral("importPagesButton"));
    pageErrorLabel->setObjectName(QStringLiteral("pageErrorLabel"));

    connect(buttons, &QDialogButtonBox::accepted, this, &PagesDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &PagesDialog::reject);
    connect(removePageButton, &QPushButton::clicked, this, &PagesDialog::removeSelected);
    connect(exportPagesButton, &QPushButton::clicked, this, &PagesDialog::exportFile);
    connect(importPagesButton, &QPushButton::clicked, this, &PagesDialog::importFile);
    connect(pagesTable, &QTableWidget::currentCellChanged, this, &PagesDialog::enableRemove);
    // A corrected pattern clears the last complaint; OK checks again.
    connect(pagesTable, &QTableWidget::itemChanged, this, [this] { showError({}); });

    load(gateway->pageEntries());
}

void PagesDialog::load(const QList<PageEntry> &list)
{
    entries = list;
    const QSignalBlocker quiet(pagesTable);
    pagesTable->setRowCount(0);
    pagesTable->setRowCount(int(entries.size()));
    for (int row = 0; row < entries.size(); ++row) {
        const PageEntry &entry = entries.at(row);
        auto *pattern = new QTableWidgetItem(entry.pattern);
        auto *fields = new QTableWidgetItem(describeFields(entry.destination.fields));
        auto *options = new QTableWidgetItem(describeOptions(entry.destination));
        fields->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        options->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        pagesTable->setItem(row, PageColumn, pattern);
        pagesTable->setItem(row, FieldsColumn, fields);
        pagesTable->setItem(row, OptionsColumn, options);
        if (entry.deployed) {
            // Not enabled: drawn greyed, and neither edited nor selected for Remove.
            auto *match = new QTableWidgetItem(matchName(entry.match));
            pagesTable->setItem(row, MatchColumn, match);
            for (QTableWidgetItem *item : {pattern, match, fields, options}) {
                item->setFlags(Qt::NoItemFlags);
                item->setToolTip(deployedTip);
            }
            continue;
        }
        auto *match = new QComboBox;
        for (const auto &[m, name] : matchNames)
            match->addItem(name, int(m));
        match->setCurrentIndex(match->findData(int(entry.match)));
        connect(match, &QComboBox::currentIndexChanged, this, [this] { showError({}); });
        pagesTable->setCellWidget(row, MatchColumn, match);
    }
    enableRemove();
}

QList<PageEntry> PagesDialog::userEntries() const
{
    QList<PageEntry> out;
    for (int row = 0; row < entries.size(); ++row) {
        if (entries.at(row).deployed)
            continue;
        PageEntry entry = entries.at(row);
        entry.pattern = pagesTable->item(row, PageColumn)->text().trimmed();
        if (const auto *match = qobject_cast<QComboBox *>(pagesTable->cellWidget(row, MatchColumn)))
            entry.match = PageMatch(match->currentData().toInt());
        out << entry;
    }
    return out;
}

void PagesDialog::accept()
{
    const QList<PageEntry> edited = userEntries();
    for (int row = 0, user = 0; row < entries.size(); ++row) {
        if (entries.at(row).deployed)
            continue;
        const PageEntry &entry = edited.at(user++);
        const QString error = patternError(entry.pattern, entry.match);
        if (!error.isEmpty()) {
            showError(QStringLiteral("Page %1: %2").arg(row + 1).arg(error));
            pagesTable->setCurrentCell(row, PageColumn);
            return;
        }
    }
    gateway->setPageEntries(edited);
    QDialog::accept();
}

void PagesDialog::removeSelected()
{
    const int row = pagesTable->currentRow();
    if (row < 0 || row >= entries.size() || entries.at(row).deployed)
        return;
    entries.removeAt(row);
    pagesTable->removeRow(row);
    showError({});
    enableRemove();
}

void PagesDialog::enableRemove()
{
    const int row = pagesTable->currentRow();
    removePageButton->setEnabled(row >= 0 && row < entries.size() && !entries.at(row).deployed);
}

// What is kept, not unapplied edits: the file is what the next start would use.
void PagesDialog::exportFile()
{
    const QString path = chooseFile(this, true);
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(gateway->exportPages()) < 0 || !file.commit()) {
        showError(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return;
    }
    showError({});
}

void PagesDialog::importFile()
{
    const QString path = chooseFile(this, false);
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        showError(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        return;
    }
    // One byte past the bound is enough for the core to refuse a file too large.
    const QString error = gateway->importPages(file.read(maxPagesFileBytes + 1));
    if (!error.isEmpty()) {
        showError(error);
        return;
    }
    load(gateway->pageEntries());
    showError({});
}

void PagesDialog::showError(const QString &text)
{
    pageErrorLabel->setText(text);
    pageErrorLabel->setVisible(!text.isEmpty());
}
