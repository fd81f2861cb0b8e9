// The dark theme as the user sees it: the compiled-in images and what the
// palette and the style sheet actually paint on real widgets.
#include "TestMain.h"
#include "Theme.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStyleFactory>
#include <QVBoxLayout>

class TestTheme : public QObject
{
    Q_OBJECT

    QWidget host;

    // Rendered inside a real top-level window so that the style sheet polishes it.
    QImage render(QWidget *widget, QSize size = {120, 40})
    {
        widget->setParent(&host);
        widget->setFixedSize(size);
        host.layout()->addWidget(widget);
        widget->show();
        const QImage image = widget->grab().toImage();
        delete widget;
        return image;
    }

    static QString colourAt(const QImage &image, int x, int y) { return QColor(image.pixel(x, y)).name(); }

private slots:
    void initTestCase()
    {
        // Start from another style: what is painted below must come from the theme alone.
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Windows")));
        applyTheme(*qApp);
        new QVBoxLayout(&host);
        host.resize(400, 400);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
    }

    // How many pixels of a region show a colour: -1 every one, 0 none, n at least n.
    void painted_data()
    {
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QRect>("region");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<int>("pixels");
        const QRect centre(60, 20, 1, 1), whole(0, 0, 160, 40);
        // A few widgets the window uses, each showing one rule of the theme at work.
        QTest::newRow("button") << "button" << centre << "#343941" << -1;
        QTest::newRow("accent button") << "accent" << centre << "#1d4ed8" << -1;
        // The full-coverage pixels of bold glyphs carry the text colour itself.
        QTest::newRow("disabled button text") << "disabled text" << whole << "#6b7078" << 1;
        QTest::newRow("disabled button text, not enabled") << "disabled text" << whole << "#e6e8eb" << 0;
        QTest::newRow("line edit") << "lineedit" << centre << "#1b1d21" << -1;
        // Indicator: 18 x 18 inside a 1 px border at the left; the blue check mark.
        QTest::newRow("check mark") << "checked" << QRect(2, 12, 16, 16) << "#1d4ed8" << 10;
        // Right of the digit, the field's background runs up to the border: no arrow column.
        QTest::newRow("spin box without arrows") << "spinbox" << QRect(40, 20, 78, 1) << "#1b1d21" << -1;
    }

    void painted()
    {
        QFETCH(QString, widget);
        QFETCH(QRect, region);
        QFETCH(QString, colour);
        QFETCH(int, pixels);
        QWidget *w = widget == "lineedit"   ? new QLineEdit
            : widget == "spinbox"           ? new QSpinBox
            : widget == "checked"           ? static_cast<QWidget *>(new QCheckBox)
            : widget.endsWith("text")       ? new QPushButton(QStringLiteral("MMMM HHHH"))
                                            : new QPushButton;
        w->setObjectName(widget);
        w->setEnabled(!widget.startsWith("disabled"));
        if (auto *check = qobject_cast<QCheckBox *>(w))
            check->setChecked(true);
        if (auto *spin = qobject_cast<QSpinBox *>(w))
            spin->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
        const QImage image = render(w, {widget.endsWith("text") ? 160 : 120, 40});
        int matching = 0;
        for (int y = region.top(); y <= region.bottom(); ++y)
            for (int x = region.left(); x <= region.right(); ++x)
                matching += colourAt(image, x, y) == colour;
        if (pixels < 0)
            QCOMPARE(matching, region.width() * region.height());
        else
            QVERIFY2(pixels ? matching >= pixels : matching == 0, qPrintable(QString::number(matching)));
    }
};

FIELDPOST_TEST_MAIN(TestTheme)
#include "tst_theme.moc"
