#pragma once

#include <QChar>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <optional>

class QSettings;

// One step of the user's line rules.
struct LineRule
{
    enum class Kind { Trim, Remove, Replace, Prefix, Suffix, Upper, Gs1, Accept };

    LineRule() = default;
    LineRule(Kind kind, QString pattern = {}, QString replacement = {})
        : kind(kind), pattern(std::move(pattern)), replacement(std::move(replacement))
    {
    }

    Kind kind = Kind::Trim;
    // Remove: the characters to remove, or removeControl; Replace, Accept: a
    // regular expression; Prefix, Suffix: the text; Gs1: the AI whose value is
    // kept. Trim and Upper take none.
    QString pattern;
    // Replace only; \1 stands for the first capture.
    QString replacement;
};

// The pattern of a Remove rule that takes out control characters (C0, DEL, C1).
inline const QString removeControl = QStringLiteral("control");

// The stored names of the kinds: "trim", "remove", "replace", "prefix", "suffix",
// "upper", "gs1", "accept".
QString ruleKindKey(LineRule::Kind kind);
std::optional<LineRule::Kind> ruleKindFromKey(const QString &key);

// Why a rule cannot run, or an empty text when it can.
QString ruleError(const LineRule &rule);

// What one rule made of the line; `rejection` is set when the rule rejected it,
// and `line` is then the line the rule was given.
struct RuleStep
{
    QString line;
    QString rejection;
};

struct ShapedLine
{
    QString line;
    bool rejected = false;
    QString reason;
};

// The rules as they run: patterns compiled once, applied to every line.
class LineRules
{
public:
    // Rules with an error are left out; callers check ruleError first.
    void setRules(QList<LineRule> rules, QChar gs1Separator = defaultGs1Separator);
    bool isEmpty() const { return compiled.isEmpty(); }
    // The first rule that rejects the line stops the others. `steps`, when
    // given, gets one entry per rule that ran.
    ShapedLine apply(const QString &line, QList<RuleStep> *steps = nullptr) const;

    static constexpr QChar defaultGs1Separator = QChar(0x1D);

private:
    struct Compiled
    {
        LineRule rule;
        QRegularExpression expression;
        QList<uint> characters; // Remove: sorted code points
    };
    QList<Compiled> compiled;
    QChar separator = defaultGs1Separator;

    RuleStep run(const Compiled &rule, const QString &line) const;
};

// The rules under the settings array "rules". An unknown kind or an invalid rule
// is left out, with one log line for it in `skipped`.
QList<LineRule> readRules(QSettings &settings, QStringList *skipped);
void writeRules(QSettings &settings, const QList<LineRule> &rules);
// The group separator of GS1 element strings; the control character GS unless
// the user named another.
QChar readGs1Separator(QSettings &settings);
void writeGs1Separator(QSettings &settings, QChar separator);
