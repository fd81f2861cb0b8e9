#pragma once

#include "PageEntries.h"

#include <QDialog>
#include <QJsonObject>
#include <QList>

#include <functional>

class Gateway;
class QLabel;
class QPushButton;
class QTableWidget;

// The fields in order by label, "Parcel code (1), Batch (2)"; one field as
// describeField() writes it; "none" without a field.
QString describeFields(const QList<QJsonObject> &fields);

// What a page's entry does after filling: "Enter, click button", or "—".
QString describeOptions(const Destination &destination);

// The file Export… writes or Import… reads, asked of the user; empty when
// they cancelled. `saving` tells which.
using ChoosePagesFile = std::function<QString(QWidget *parent, bool saving)>;

// The destinations kept per page: the user's entries editable (pattern and
// how it matches) and removable, those an administrator deployed shown
// greyed. OK hands the user's entries to the core, refused while a pattern
// is invalid; Import… replaces them at once through the core, or changes
// nothing and says why.
class PagesDialog : public QDialog
{
    Q_OBJECT
public:
    PagesDialog(Gateway *gateway, ChoosePagesFile chooseFile = {}, QWidget *parent = nullptr);

    // The user's entries as edited; the deployed ones are the core's to keep.
    QList<PageEntry> userEntries() const;

    void accept() override;

private:
    void load(const QList<PageEntry> &entries);
    void removeSelected();
    void exportFile();
    void importFile();
    void showError(const QString &text);
    void enableRemove();

    Gateway *gateway;
    ChoosePagesFile chooseFile;
    QList<PageEntry> entries;

    QTableWidget *pagesTable;
    QPushButton *removePageButton;
    QPushButton *exportPagesButton;
    QPushButton *importPagesButton;
    QLabel *pageErrorLabel;
};
