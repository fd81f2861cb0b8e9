// The dark theme as the user sees it: the compiled-in images, the palette and
// what the style sheet actually paints on real widgets.
#include "TestMain.h"
#include "Theme.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResource>
#include <QSpinBox>
#include <QStyle>
#include <QStyleFactory>
#include <QVBoxLayout>

namespace {

QString colourAt(const QImage &image, QPoint at)
{
    return QColor(image.pixel(at)).name();
}

// Every pixel of the widget's rendering, by colour name.
QSet<QString> coloursOf(const QImage &image)
{
    QSet<QString> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            colours.insert(colourAt(image, {x, y}));
    return colours;
}

} // namespace

class TestTheme : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void resources_data();
    void resources();
    void fusionStyle();
    void palette_data();
    void palette();
    void painted_data();
    void painted();
    void buttonTextColour_data();
    void buttonTextColour();
    void checkMarkShows();
    void spinBoxHasNoStepArrows();

private:
    // Shown inside a real top-level window so the style sheet polishes it.
    template<typename W> W *shown(W *widget, QSize size);
    QWidget host;
};

void TestTheme::initTestCase()
{
    // Start from another style so that the theme has to install Fusion itself.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Windows")));
    applyTheme(*qApp);
    new QVBoxLayout(&host);
    host.resize(400, 400);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
}

template<typename W> W *TestTheme::shown(W *widget, QSize size)
{
    widget->setParent(&host);
    widget->setFixedSize(size);
    host.layout()->addWidget(widget);
    widget->show();
    widget->ensurePolished();
    return widget;
}

void TestTheme::resources_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("app icon") << ":/appicon.png" << QSize(128, 128);
    QTest::newRow("check mark") << ":/check.png" << QSize(32, 32);
    QTest::newRow("down arrow") << ":/down.png" << QSize(24, 24);
    QTest::newRow("target") << ":/target.png" << QSize(95, 91);
}

void TestTheme::resources()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);

    const QResource resource(path);
    QVERIFY2(resource.isValid(), qPrintable(path));
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);

    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), size);
    // The artwork sits on a transparent background: trays and buttons show through.
    QVERIFY(image.hasAlphaChannel());
    const QList<QPoint> corners{{0, 0}, {size.width() - 1, 0}, {0, size.height() - 1},
                                {size.width() - 1, size.height() - 1}};
    for (const QPoint corner : corners)
        QCOMPARE(qAlpha(image.pixel(corner)), 0);
    // ... and is not empty.
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            opaque += qAlpha(image.pixel(x, y)) == 255;
    QVERIFY2(opaque >= 16, qPrintable(QString::number(opaque)));
}

void TestTheme::fusionStyle()
{
    // The style sheet wraps the installed style; both live under the application.
    const QList<QStyle *> styles = qApp->findChildren<QStyle *>();
    QStringList names;
    for (const QStyle *style : styles)
        if (!style->name().isEmpty())
            names << style->name().toLower();
    QCOMPARE(names, QStringList{QStringLiteral("fusion")});
}

void TestTheme::palette_data()
{
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("colour");

    const struct
    {
        QPalette::ColorRole role;
        const char *name;
        const char *colour;
        const char *disabled;
    } roles[] = {
        {QPalette::Window, "Window", "#1e2024", "#1e2024"},
        {QPalette::WindowText, "WindowText", "#e6e8eb", "#6b7078"},
        {QPalette::Base, "Base", "#26292e", "#26292e"},
        {QPalette::AlternateBase, "AlternateBase", "#2a2d33", "#2a2d33"},
        {QPalette::ToolTipBase, "ToolTipBase", "#2a2d33", "#2a2d33"},
        {QPalette::ToolTipText, "ToolTipText", "#e6e8eb", "#e6e8eb"},
        {QPalette::Text, "Text", "#e6e8eb", "#6b7078"},
        {QPalette::Button, "Button", "#2a2d33", "#2a2d33"},
        {QPalette::ButtonText, "ButtonText", "#e6e8eb", "#6b7078"},
        {QPalette::BrightText, "BrightText", "#ffffff", "#ffffff"},
        {QPalette::Highlight, "Highlight", "#1d4ed8", "#1d4ed8"},
        {QPalette::HighlightedText, "HighlightedText", "#ffffff", "#ffffff"},
        {QPalette::PlaceholderText, "PlaceholderText", "#9aa0a8", "#9aa0a8"},
    };
    const struct
    {
        QPalette::ColorGroup group;
        const char *name;
    } groups[] = {{QPalette::Active, "Active"}, {QPalette::Inactive, "Inactive"}, {QPalette::Disabled, "Disabled"}};

    for (const auto &g : groups)
        for (const auto &r : roles)
            QTest::addRow("%s %s", g.name, r.name)
                << int(g.group) << int(r.role)
                << QString::fromLatin1(g.group == QPalette::Disabled ? r.disabled : r.colour);
}

void TestTheme::palette()
{
    QFETCH(int, group);
    QFETCH(int, role);
    QFETCH(QString, colour);

    const QBrush brush = QApplication::palette().brush(QPalette::ColorGroup(group), QPalette::ColorRole(role));
    QCOMPARE(brush.style(), Qt::SolidPattern);
    QCOMPARE(brush.color().alpha(), 255);
    QCOMPARE(brush.color().name(), colour);
}

void TestTheme::painted_data()
{
    QTest::addColumn<QString>("widget");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QString>("colour");

    // Button: 120 x 40, rounded 6 px, 1 px border.
    QTest::newRow("button") << "button" << true << QPoint(60, 20) << "#343941";
    QTest::newRow("button border") << "button" << true << QPoint(60, 0) << "#424854";
    QTest::newRow("disabled button") << "button" << false << QPoint(60, 20) << "#2a2d33";
    QTest::newRow("disabled button border") << "button" << false << QPoint(60, 0) << "#34383f";
    QTest::newRow("accent button") << "accent" << true << QPoint(60, 20) << "#1d4ed8";
    QTest::newRow("line edit") << "lineedit" << true << QPoint(60, 20) << "#1b1d21";
    QTest::newRow("line edit border") << "lineedit" << true << QPoint(60, 0) << "#3a3f48";
    QTest::newRow("log view") << "plaintext" << true << QPoint(60, 20) << "#16181b";
    QTest::newRow("group box") << "groupbox" << true << QPoint(60, 30) << "#2a2d33";
    // Indicator: 18 x 18 inside a 1 px border at the left, centred vertically;
    // the check mark leaves its upper middle free.
    QTest::newRow("unchecked indicator") << "unchecked" << true << QPoint(9, 12) << "#1b1d21";
    QTest::newRow("checked indicator") << "checked" << true << QPoint(9, 12) << "#ffffff";
    QTest::newRow("checked indicator border") << "checked" << true << QPoint(9, 10) << "#1d4ed8";
}

void TestTheme::painted()
{
    QFETCH(QString, widget);
    QFETCH(bool, enabled);
    QFETCH(QPoint, at);
    QFETCH(QString, colour);

    const QSize size(120, 40);
    QWidget *w = nullptr;
    if (widget == QLatin1String("button")) {
        w = shown(new QPushButton, size);
    } else if (widget == QLatin1String("accent")) {
        auto *accent = new QPushButton;
        accent->setObjectName(QStringLiteral("accent"));
        w = shown(accent, size);
    } else if (widget == QLatin1String("lineedit")) {
        w = shown(new QLineEdit, size);
    } else if (widget == QLatin1String("plaintext")) {
        w = shown(new QPlainTextEdit, size);
    } else if (widget == QLatin1String("groupbox")) {
        w = shown(new QGroupBox, QSize(120, 60));
    } else {
        auto *check = shown(new QCheckBox, size);
        check->setChecked(widget == QLatin1String("checked"));
        w = check;
    }
    w->setEnabled(enabled);
    const QImage image = w->grab().toImage();
    QCOMPARE(colourAt(image, at), colour);
    delete w;
}

void TestTheme::buttonTextColour_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("absent");
    QTest::newRow("enabled") << true << "#e6e8eb" << "#6b7078";
    QTest::newRow("disabled") << false << "#6b7078" << "#e6e8eb";
}

void TestTheme::buttonTextColour()
{
    QFETCH(bool, enabled);
    QFETCH(QString, expected);
    QFETCH(QString, absent);

    auto *button = shown(new QPushButton(QStringLiteral("MMMM HHHH")), QSize(160, 40));
    button->setEnabled(enabled);
    const QSet<QString> colours = coloursOf(button->grab().toImage());
    delete button;
    // The full-coverage pixels of the bold glyphs carry the text colour itself.
    QVERIFY2(colours.contains(expected), qPrintable(QStringList(colours.values()).join(u' ')));
    QVERIFY(!colours.contains(absent));
}

void TestTheme::checkMarkShows()
{
    auto *check = shown(new QCheckBox, QSize(120, 40));
    check->setChecked(true);
    const QImage image = check->grab().toImage();
    delete check;
    // Inside the white indicator, the blue check image.
    int blue = 0;
    for (int y = 12; y < 28; ++y)
        for (int x = 2; x < 18; ++x)
            blue += QColor(image.pixel(x, y)).name() == QLatin1String("#1d4ed8");
    QVERIFY2(blue >= 10, qPrintable(QString::number(blue)));
}

void TestTheme::spinBoxHasNoStepArrows()
{
    auto *spin = shown(new QSpinBox, QSize(120, 40));
    spin->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    const QImage image = spin->grab().toImage();
    delete spin;
    // Right of the digit, the field's background runs up to the border: no arrow column.
    for (int x = 40; x < 118; ++x)
        QCOMPARE(colourAt(image, {x, 20}), QStringLiteral("#1b1d21"));
}

FIELDPOST_TEST_MAIN(TestTheme)
#include "tst_theme.moc"
