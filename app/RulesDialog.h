#pragma once

#include "LineRules.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

// Edits the ordered line rules and the GS1 group separator, with a sample line
// run through them as they are edited. OK is refused while a rule is invalid.
class RulesDialog : public QDialog
{
    Q_OBJECT
public:
    RulesDialog(QList<LineRule> rules, QChar gs1Separator, QWidget *parent = nullptr);

    QList<LineRule> rules() const { return edited; }
    QChar gs1Separator() const;

    void accept() override;

private:
    void addRule();
    void removeRule();
    void moveRule(int by);
    void showSelected();
    void editSelected();
    void showKindFields(LineRule::Kind kind);
    void refresh();
    void refreshPreview();
    int firstInvalid() const;

    QList<LineRule> edited;
    // Set while the editor is filled from a rule, so that it does not write back.
    bool loading = false;

    QListWidget *ruleList;
    QComboBox *addKindBox;
    QPushButton *addRuleButton;
    QPushButton *removeRuleButton;
    QPushButton *ruleUpButton;
    QPushButton *ruleDownButton;
    QComboBox *ruleKindBox;
    QLabel *patternLabel;
    QLineEdit *patternEdit;
    QCheckBox *controlCheck;
    QLabel *replacementLabel;
    QLineEdit *replacementEdit;
    QLineEdit *separatorEdit;
    QLineEdit *sampleEdit;
    QListWidget *previewView;
    QLabel *ruleErrorLabel;
    QDialogButtonBox *buttons;
};
