#include "RulesDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace {

using Kind = LineRule::Kind;

const QString kindNames[] = {
    QStringLiteral("Trim spaces"),  QStringLiteral("Remove characters"), QStringLiteral("Replace"),
    QStringLiteral("Add prefix"),   QStringLiteral("Add suffix"),        QStringLiteral("Upper case"),
    QStringLiteral("Keep one GS1 element"), QStringLiteral("Accept only matching lines"),
};

const QString gsName = QStringLiteral("<GS>");
// The colour the window gives its warnings.
const QColor errorColour(0xe6, 0x7e, 0x22);

// Control characters written so that they can be seen: <GS>, or two hex digits.
QString readable(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == LineRules::defaultGs1Separator)
            out += gsName;
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += QStringLiteral("<%1>").arg(uint(u), 2, 16, QLatin1Char('0')).toUpper();
        else
            out += c;
    }
    return out;
}

// The sample as typed: the forms readable() writes stand for their characters.
QString fromReadable(const QString &text)
{
    static const QRegularExpression escape(QStringLiteral("<(GS|[0-9A-F]{2})>"));
    QString out;
    qsizetype last = 0;
    for (const QRegularExpressionMatch &m : escape.globalMatch(text)) {
        out += QStringView(text).mid(last, m.capturedStart() - last);
        const QString code = m.captured(1);
        const uint u = code == QLatin1String("GS") ? uint(LineRules::defaultGs1Separator.unicode()) : code.toUInt(nullptr, 16);
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += QChar(u);
        else
            out += m.captured();
        last = m.capturedEnd();
    }
    out += QStringView(text).mid(last);
    return out;
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + readable(text) + QLatin1Char('"');
}

QString describe(const LineRule &rule)
{
    switch (rule.kind) {
    case Kind::Trim:
        return QStringLiteral("Trim spaces");
    case Kind::Remove:
        return rule.pattern == removeControl ? QStringLiteral("Remove control characters")
                                             : QStringLiteral("Remove characters %1").arg(quoted(rule.pattern));
    case Kind::Replace:
        return QStringLiteral("Replace %1 with %2").arg(quoted(rule.pattern), quoted(rule.replacement));
    case Kind::Prefix:
        return QStringLiteral("Add prefix %1").arg(quoted(rule.pattern));
    case Kind::Suffix:
        return QStringLiteral("Add suffix %1").arg(quoted(rule.pattern));
    case Kind::Upper:
        return QStringLiteral("Upper case");
    case Kind::Gs1:
        return QStringLiteral("Keep GS1 element %1").arg(rule.pattern);
    case Kind::Accept:
        return QStringLiteral("Accept only lines matching %1").arg(quoted(rule.pattern));
    }
    return {};
}

QString numbered(int row, const QString &text)
{
    return QStringLiteral("%1. %2").arg(row + 1).arg(text);
}

void fillKinds(QComboBox *box)
{
    for (int k = 0; k <= int(Kind::Accept); ++k)
        box->addItem(kindNames[k], ruleKindKey(Kind(k)));
}

Kind kindAt(const QComboBox *box)
{
    return ruleKindFromKey(box->currentData().toString()).value_or(Kind::Trim);
}

} // namespace

RulesDialog::RulesDialog(QList<LineRule> rules, QChar gs1Separator, QWidget *parent)
    : QDialog(parent), edited(std::move(rules))
{
    setWindowTitle(QStringLiteral("Rules"));
    resize(700, 640);
    auto *layout = new QVBoxLayout(this);
    // Long patterns and samples wrap rather than hide behind a scroll bar.
    const auto wrapping = [](QListWidget *list) {
        list->setWordWrap(true);
        list->setResizeMode(QListView::Adjust);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    };

    auto *rulesGroup = new QGroupBox(QStringLiteral("Rules, applied in order to each line"));
    auto *rulesLayout = new QHBoxLayout(rulesGroup);
    ruleList = new QListWidget;
    ruleList->setObjectName(QStringLiteral("ruleList"));
    wrapping(ruleList);
    rulesLayout->addWidget(ruleList, 1);
    auto *listButtons = new QVBoxLayout;
    addKindBox = new QComboBox;
    addKindBox->setObjectName(QStringLiteral("addKindBox"));
    fillKinds(addKindBox);
    addRuleButton = new QPushButton(QStringLiteral("Add"));
    addRuleButton->setObjectName(QStringLiteral("addRuleButton"));
    removeRuleButton = new QPushButton(QStringLiteral("Remove"));
    removeRuleButton->setObjectName(QStringLiteral("removeRuleButton"));
    ruleUpButton = new QPushButton(QStringLiteral("Up"));
    ruleUpButton->setObjectName(QStringLiteral("ruleUpButton"));
    ruleDownButton = new QPushButton(QStringLiteral("Down"));
    ruleDownButton->setObjectName(QStringLiteral("ruleDownButton"));
    for (QWidget *w : {static_cast<QWidget *>(addKindBox), static_cast<QWidget *>(addRuleButton),
                       static_cast<QWidget *>(removeRuleButton), static_cast<QWidget *>(ruleUpButton),
                       static_cast<QWidget *>(ruleDownButton)})
        listButtons->addWidget(w);
    listButtons->addStretch(1);
    rulesLayout->addLayout(listButtons);
    layout->addWidget(rulesGroup, 1);

    auto *ruleGroup = new QGroupBox(QStringLiteral("Selected rule"));
    auto *form = new QFormLayout(ruleGroup);
    ruleKindBox = new QComboBox;
    ruleKindBox->setObjectName(QStringLiteral("ruleKindBox"));
    fillKinds(ruleKindBox);
    form->addRow(QStringLiteral("Kind:"), ruleKindBox);
    patternLabel = new QLabel;
    patternEdit = new QLineEdit;
    patternEdit->setObjectName(QStringLiteral("patternEdit"));
    controlCheck = new QCheckBox(QStringLiteral("control characters"));
    controlCheck->setObjectName(QStringLiteral("controlCheck"));
    auto *patternRow = new QHBoxLayout;
    patternRow->addWidget(patternEdit, 1);
    patternRow->addWidget(controlCheck);
    form->addRow(patternLabel, patternRow);
    replacementLabel = new QLabel(QStringLiteral("With:"));
    replacementEdit = new QLineEdit;
    replacementEdit->setObjectName(QStringLiteral("replacementEdit"));
    replacementEdit->setPlaceholderText(QStringLiteral("\\1 for the first group"));
    form->addRow(replacementLabel, replacementEdit);
    layout->addWidget(ruleGroup);

    auto *sampleGroup = new QGroupBox(QStringLiteral("Try it"));
    auto *sampleForm = new QFormLayout(sampleGroup);
    separatorEdit = new QLineEdit;
    separatorEdit->setObjectName(QStringLiteral("separatorEdit"));
    separatorEdit->setMaxLength(1);
    separatorEdit->setPlaceholderText(gsName + QStringLiteral(" (0x1D)"));
    if (gs1Separator != LineRules::defaultGs1Separator)
        separatorEdit->setText(QString(gs1Separator));
    sampleForm->addRow(QStringLiteral("GS1 group separator:"), separatorEdit);
    sampleEdit = new QLineEdit(QStringLiteral("]C1010950110153000310ABC123") + gsName + QStringLiteral("17271231"));
    sampleEdit->setObjectName(QStringLiteral("sampleEdit"));
    sampleEdit->setToolTip(QStringLiteral("Type %1 for the group separator").arg(gsName));
    sampleForm->addRow(QStringLiteral("Sample line:"), sampleEdit);
    previewView = new QListWidget;
    previewView->setObjectName(QStringLiteral("previewView"));
    previewView->setSelectionMode(QAbstractItemView::NoSelection);
    previewView->setMinimumHeight(120);
    wrapping(previewView);
    sampleForm->addRow(QStringLiteral("Steps:"), previewView);
    layout->addWidget(sampleGroup, 2);

    ruleErrorLabel = new QLabel;
    ruleErrorLabel->setObjectName(QStringLiteral("ruleErrorLabel"));
    ruleErrorLabel->setWordWrap(true);
    ruleErrorLabel->setStyleSheet(QStringLiteral("color:%1; font-weight:bold;").arg(errorColour.name()));
    ruleErrorLabel->hide();
    layout->addWidget(ruleErrorLabel);

    buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &RulesDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &RulesDialog::reject);
    connect(addRuleButton, &QPushButton::clicked, this, &RulesDialog::addRule);
    connect(removeRuleButton, &QPushButton::clicked, this, &RulesDialog::removeRule);
    connect(ruleUpButton, &QPushButton::clicked, this, [this] { moveRule(-1); });
    connect(ruleDownButton, &QPushButton::clicked, this, [this] { moveRule(1); });
    connect(ruleList, &QListWidget::currentRowChanged, this, &RulesDialog::showSelected);
    connect(ruleKindBox, &QComboBox::currentIndexChanged, this, &RulesDialog::editSelected);
    connect(patternEdit, &QLineEdit::textChanged, this, &RulesDialog::editSelected);
    connect(controlCheck, &QCheckBox::toggled, this, &RulesDialog::editSelected);
    connect(replacementEdit, &QLineEdit::textChanged, this, &RulesDialog::editSelected);
    connect(separatorEdit, &QLineEdit::textChanged, this, &RulesDialog::refreshPreview);
    connect(sampleEdit, &QLineEdit::textChanged, this, &RulesDialog::refreshPreview);

    for (int row = 0; row < edited.size(); ++row)
        ruleList->addItem(QString());
    refresh();
    ruleList->setCurrentRow(edited.isEmpty() ? -1 : 0);
    showSelected();
    resize(640, 600);
}

QChar RulesDialog::gs1Separator() const
{
    const QString text = separatorEdit->text();
    return text.size() == 1 ? text.at(0) : LineRules::defaultGs1Separator;
}

void RulesDialog::accept()
{
    const int invalid = firstInvalid();
    if (invalid < 0) {
        QDialog::accept();
        return;
    }
    // The label already says why; show the rule it speaks of.
    ruleList->setCurrentRow(invalid);
    ruleErrorLabel->show();
    patternEdit->setFocus();
}

void RulesDialog::addRule()
{
    LineRule rule(kindAt(addKindBox));
    if (rule.kind == Kind::Remove)
        rule.pattern = removeControl;
    else if (rule.kind == Kind::Gs1)
        rule.pattern = QStringLiteral("01");
    const int row = ruleList->currentRow() + 1;
    edited.insert(row, rule);
    ruleList->insertItem(row, QString());
    refresh();
    ruleList->setCurrentRow(row);
}

void RulesDialog::removeRule()
{
    const int row = ruleList->currentRow();
    if (row < 0)
        return;
    edited.removeAt(row);
    delete ruleList->takeItem(row);
    refresh();
    showSelected();
}

void RulesDialog::moveRule(int by)
{
    const int row = ruleList->currentRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= edited.size())
        return;
    edited.move(row, to);
    refresh();
    ruleList->setCurrentRow(to);
}

void RulesDialog::showSelected()
{
    const int row = ruleList->currentRow();
    const bool any = row >= 0 && row < edited.size();
    removeRuleButton->setEnabled(any);
    ruleUpButton->setEnabled(any && row > 0);
    ruleDownButton->setEnabled(any && row + 1 < edited.size());
    for (QWidget *w : {static_cast<QWidget *>(ruleKindBox), static_cast<QWidget *>(patternEdit),
                       static_cast<QWidget *>(controlCheck), static_cast<QWidget *>(replacementEdit)})
        w->setEnabled(any);
    loading = true;
    const LineRule rule = any ? edited.at(row) : LineRule();
    const bool control = rule.kind == Kind::Remove && rule.pattern == removeControl;
    ruleKindBox->setCurrentIndex(ruleKindBox->findData(ruleKindKey(rule.kind)));
    patternEdit->setText(control ? QString() : rule.pattern);
    controlCheck->setChecked(control);
    replacementEdit->setText(rule.replacement);
    showKindFields(rule.kind);
    loading = false;
}

void RulesDialog::editSelected()
{
    const int row = ruleList->currentRow();
    if (loading || row < 0 || row >= edited.size())
        return;
    const Kind kind = kindAt(ruleKindBox);
    LineRule &rule = edited[row];
    rule.kind = kind;
    rule.pattern = kind == Kind::Remove && controlCheck->isChecked() ? removeControl : patternEdit->text();
    rule.replacement = kind == Kind::Replace ? replacementEdit->text() : QString();
    showKindFields(kind);
    refresh();
}

void RulesDialog::showKindFields(Kind kind)
{
    static const QString patternCaptions[] = {
        {}, QStringLiteral("Characters:"), QStringLiteral("Regular expression:"), QStringLiteral("Text:"),
        QStringLiteral("Text:"), {}, QStringLiteral("AI:"), QStringLiteral("Regular expression:"),
    };
    const QString caption = patternCaptions[int(kind)];
    patternLabel->setText(caption);
    patternLabel->setVisible(!caption.isEmpty());
    patternEdit->setVisible(!caption.isEmpty());
    controlCheck->setVisible(kind == Kind::Remove);
    patternEdit->setEnabled(ruleList->currentRow() >= 0 && !(kind == Kind::Remove && controlCheck->isChecked()));
    replacementLabel->setVisible(kind == Kind::Replace);
    replacementEdit->setVisible(kind == Kind::Replace);
}

// The list's lines, the first invalid rule's reason and the preview, from `edited`.
void RulesDialog::refresh()
{
    for (int row = 0; row < edited.size(); ++row) {
        QListWidgetItem *item = ruleList->item(row);
        const QString error = ruleError(edited.at(row));
        item->setText(numbered(row, describe(edited.at(row))));
        item->setForeground(error.isEmpty() ? ruleList->palette().text() : QBrush(errorColour));
        item->setToolTip(error);
    }
    const int invalid = firstInvalid();
    if (invalid >= 0)
        ruleErrorLabel->setText(QStringLiteral("Rule %1: %2").arg(invalid + 1).arg(ruleError(edited.at(invalid))));
    ruleErrorLabel->setVisible(invalid >= 0);
    refreshPreview();
}

void RulesDialog::refreshPreview()
{
    QList<LineRule> valid;
    for (const LineRule &rule : std::as_const(edited)) {
        if (ruleError(rule).isEmpty())
            valid.append(rule);
    }
    LineRules shaper;
    shaper.setRules(valid, gs1Separator());
    QList<RuleStep> steps;
    const ShapedLine shaped = shaper.apply(fromReadable(sampleEdit->text()), &steps);

    previewView->clear();
    // Rules after a rejection do not run, and are not listed.
    qsizetype step = 0;
    bool stopped = false;
    for (int row = 0; row < edited.size() && !stopped; ++row) {
        const LineRule &rule = edited.at(row);
        const QString error = ruleError(rule);
        QString text;
        if (!error.isEmpty()) {
            text = QStringLiteral("%1: skipped, %2").arg(describe(rule), error);
        } else {
            const RuleStep &s = steps.at(step++);
            stopped = !s.rejection.isEmpty();
            text = s.rejection.isEmpty() ? QStringLiteral("%1 \u2192 %2").arg(describe(rule), readable(s.line))
                                         : QStringLiteral("%1 \u2192 rejected: %2").arg(describe(rule), s.rejection);
        }
        previewView->addItem(numbered(row, text));
    }
    previewView->addItem(shaped.rejected ? QStringLiteral("\u2192 Rejected: %1").arg(shaped.reason)
                                         : QStringLiteral("\u2192 Sent: %1").arg(readable(shaped.line)));
}

int RulesDialog::firstInvalid() const
{
    for (int row = 0; row < edited.size(); ++row) {
        if (!ruleError(edited.at(row)).isEmpty())
            return row;
    }
    return -1;
}
